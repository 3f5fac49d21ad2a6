// A command's report as it happens and at its end: text for people, JSON
// for test stations. Both render the same outcome (base/outcome.h).
#ifndef KESTRIN_TOOL_VIEWS_VIEW_H
#define KESTRIN_TOOL_VIEWS_VIEW_H

#include "base/bytes.h"
#include "base/outcome.h"

#include <cstdint>
#include <memory>

namespace kestrin {

class View {
public:
    virtual ~View() = default;

    // Poll number `number` of a --repeat run is done; `run` holds the
    // request, the library and the summary so far.
    virtual void pollDone(const Outcome& run, std::int64_t number, const PollResult& poll) = 0;

    // monitor: it watches `run.subject` at `baud`; until stopped when
    // `untilStopped`, else for its duration.
    virtual void monitoring(const Outcome& run, std::uint32_t baud, bool untilStopped) = 0;
    // monitor: bytes that came `atUs` after it began.
    virtual void arrived(std::int64_t atUs, const Bytes& bytes) = 0;

    // The end: a result, a summary, a listing or a failure. A report that
    // cannot be written throws Error.
    virtual void finished(const Outcome& outcome) = 0;
};

std::unique_ptr<View> makeTextView();
std::unique_ptr<View> makeJsonView();

} // namespace kestrin

#endif
