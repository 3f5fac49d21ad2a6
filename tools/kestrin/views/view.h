// A command's report as it happens and at its end: text for people, JSON
// for test stations. Both render the same outcome (base/outcome.h).
#ifndef KESTRIN_TOOL_VIEWS_VIEW_H
#define KESTRIN_TOOL_VIEWS_VIEW_H

#include "base/bytes.h"
#include "base/outcome.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kestrin {

class View {
public:
    virtual ~View() = default;

    // The port is open: `run.identity` says what it is, and how long it was
    // waited for.
    virtual void opened(const Outcome& run) = 0;

    // Poll number `number` of a --repeat run is done; `run` holds the
    // request, the library and the summary so far.
    virtual void pollDone(const Outcome& run, std::int64_t number, const PollResult& poll) = 0;

    // monitor: it watches `run.subject` at `baud`; until stopped when
    // `untilStopped`, else for its duration.
    virtual void monitoring(const Outcome& run, std::uint32_t baud, bool untilStopped) = 0;
    // monitor: bytes that came `atUs` after it began.
    virtual void arrived(std::int64_t atUs, const Bytes& bytes) = 0;
    // relay: bytes it passed on `atUs` after it began, to the device or
    // from it.
    virtual void relayed(std::int64_t atUs, const Bytes& bytes, bool toDevice) = 0;
    // monitor and relay --reconnect: the device went away `atUs` after it began
    // (`back` false: `cause` says how), or came back (as run.identity).
    virtual void deviceEvent(const Outcome& run, std::int64_t atUs, bool back, const std::string& cause) = 0;

    // The end: a result, a summary, a listing or a failure. A report that
    // cannot be written throws Error.
    virtual void finished(const Outcome& outcome) = 0;
};

std::unique_ptr<View> makeTextView();
std::unique_ptr<View> makeJsonView();

// A JUnit XML file at `path` for CI servers (one test case per poll), written
// beside it and renamed once whole, so that a crash or Ctrl-C never leaves
// half a file.
std::unique_ptr<View> makeJUnitView(const std::string& path);

// Both views, each told everything, `first` first.
std::unique_ptr<View> bothViews(std::unique_ptr<View> first, std::unique_ptr<View> second);

} // namespace kestrin

#endif
