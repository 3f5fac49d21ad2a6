// Polls as a host does them: open and configure the port once, then for
// each poll discard stale input, send the request, call pollUart, time it,
// and tell a device that went away from one that did not answer.
#ifndef KESTRIN_TOOL_HOST_POLL_SESSION_H
#define KESTRIN_TOOL_HOST_POLL_SESSION_H

#include "base/outcome.h"
#include "base/request.h"
#include "host/library.h"
#include "host/serial_port.h"

namespace kestrin {

class PollSession {
public:
    // Polls on `port`, opened for the request.
    PollSession(const Library& library, const PollRequest& request, SerialPort port);

    // Throws away stale input, drives the modem lines through `lines` (a
    // reset, say), then sends the request. Throws Error.
    void prepare(const std::vector<LineStep>& lines);

    // The port again after the device went away and came back.
    void replacePort(SerialPort port) { port_ = std::move(port); }

    // One call of pollUart on the calling thread, and what came of it: a
    // match (late or not), no match, or the device gone; how many bytes the
    // library read and, for no match, what kind of reply that was. With
    // `trace`, every byte the library read. Throws Error when a trace is
    // asked for and cannot be made.
    PollResult poll(bool trace);

    // For an interrupt while a poll runs on another thread: the port's
    // settings back, its exclusive use let go.
    void restoreSettings() const noexcept { port_.restoreSettings(); }

private:
    const Library& library_;
    const PollRequest& request_;
    SerialPort port_;
};

} // namespace kestrin

#endif
