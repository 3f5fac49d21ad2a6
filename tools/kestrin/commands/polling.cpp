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

PollResult pollWatched(Run& run, PollSession& session, Background& worker, bool trace,
                       const std::vector<LineStep>& lines)
{
    const PollRequest& request = *run.outcome.request;
    LiveStatus status(stderrIsTerminal(), request.port, request.timeoutMs);
    PollResult poll;
    // The reset's waits too, so that Ctrl-C does not wait for them.
    const auto prepareAndPoll = [&] {
        session.prepare(lines);
        poll = session.poll(trace);
    };
    if (!worker.run(prepareAndPoll, LiveStatus::tickMs, [&status] { status.tick(); })) {
        endInterrupted(run, session, status);
    }
    status.wipe();
    return poll;
}

} // namespace kestrin
