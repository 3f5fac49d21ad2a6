#include "base/status.h"

namespace kestrin {

const char* statusName(Status status)
{
    switch (status) {
    case Status::ok: return "ok";
    case Status::matched: return "matched";
    case Status::noMatch: return "no_match";
    case Status::done: return "done";
    case Status::stopped: return "stopped";
    case Status::interrupted: return "interrupted";
    case Status::busy: return "busy";
    case Status::deviceGone: return "device_gone";
    case Status::usage:
    case Status::error: break;
    }
    return "error";
}

int exitCode(Status status, bool strictLate)
{
    switch (status) {
    case Status::ok:
    case Status::done:
    case Status::stopped: return 0;
    case Status::matched: return strictLate ? 1 : 0;
    case Status::noMatch: return 1;
    case Status::interrupted: return 130;
    case Status::usage:
    case Status::error:
    case Status::busy:
    case Status::deviceGone: break;
    }
    return 2;
}

bool isFailure(Status status)
{
    return exitCode(status) == 2;
}

} // namespace kestrin
