#include "host/library.h"

#include "base/error.h"
#include "kestrin.h"

#include <fmt/format.h>

namespace kestrin {

namespace {

template <typename Function>
Function resolve(void* module, const std::string& path, const char* name)
{
    void* address = module::symbol(module, name);
    if (address == nullptr) {
        throw Error(fmt::format("the library {} does not export {}", path, name));
    }
    // Object to function pointer, as dlsym and GetProcAddress require.
    return reinterpret_cast<Function>(address);
}

} // namespace

Library Library::load(const std::string& path)
{
    Library library;
    library.path_ = path.empty() ? module::defaultPath() : path;
    library.module_.reset(module::open(library.path_));
    // Owned from here: a missing export unloads it again.
    library.pollUart_ = resolve<kestrin_poll_uart_fn>(library.module(), library.path_, KESTRIN_POLL_UART_NAME);
    library.version_ = resolve<kestrin_version_fn>(library.module(), library.path_, KESTRIN_VERSION_NAME);
    library.about_ = resolve<kestrin_about_fn>(library.module(), library.path_, KESTRIN_ABOUT_NAME);
    return library;
}

int Library::pollUart(void* port, int length, unsigned char* pattern, int timeoutMs) const
{
    return pollUart_(port, length, pattern, timeoutMs);
}

int Library::version() const
{
    return version_();
}

std::string Library::about() const
{
    const char* text = about_();
    return text != nullptr ? text : "";
}

} // namespace kestrin
