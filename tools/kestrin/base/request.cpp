#include "base/request.h"

#include "base/error.h"
#include "kestrin.h"

#include <fmt/format.h>

namespace kestrin {

void checkRequest(const PollRequest& request)
{
    if (request.expect.empty()) {
        throw usageError("the expected reply is empty");
    }
    if (request.expect.size() > static_cast<std::size_t>(kestrinMaxLength)) {
        throw usageError(
            fmt::format("the expected reply is {} bytes; the most is {}", request.expect.size(), kestrinMaxLength));
    }
    if (request.timeoutMs < 0) {
        throw usageError("the time-out must not be negative");
    }
    checkSettings(request.settings);
}

} // namespace kestrin
