#include "commands/polling.h"

#include "views/live_status.h"
#include "views/output.h"

namespace kestrin {

namespace {

[[noreturn]] void endInterrupted(Run& run, const PollSession& session, LiveStatus& status)
{
    session.restoreSettings();
    status.wipe();
    run.outcome.status = Status::interrupted;
    try {
        run.view.finished(run.outcome);
    } catch (const std::exception&) {
        // The port is back; the exit status says the rest.
    }
    endProcess(exitCode(run.outcome));
}

} // namespace

PollResult pollWatched(Run& run, PollSession& session, Background& worker, bool trace)
{
    session.prepare();
    const PollRequest& request = *run.outcome.request;
    LiveStatus status(stderrIsTerminal(), request.port, request.timeoutMs);
    PollResult poll;
    if (!worker.run([&] { poll = session.poll(trace); }, LiveStatus::tickMs, [&status] { status.tick(); })) {
        endInterrupted(run, session, status);
    }
    status.wipe();
    return poll;
}

} // namespace kestrin
