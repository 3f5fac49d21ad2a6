// Ctrl-C while a command runs. The library's poll cannot be cut short, so an
// interrupt does not wait for it: the handler runs on a thread of its own,
// does what must not be skipped (put the port's settings back, clear the live
// status line, print the interrupted report) and ends the process with 130.
// One file per platform: POSIX signals, Windows console control events.
#ifndef KESTRIN_TOOL_HOST_INTERRUPT_H
#define KESTRIN_TOOL_HOST_INTERRUPT_H

#include <functional>

namespace kestrin {

const int interruptedExitCode = 130;

// While it lives, Ctrl-C (SIGINT, SIGTERM, SIGHUP on Linux; CTRL_C, CTRL_BREAK
// and CTRL_CLOSE on Windows) runs `onInterrupt` once and exits with 130.
// Only one at a time; the handler must not return to the interrupted code.
class InterruptGuard {
public:
    explicit InterruptGuard(std::function<void()> onInterrupt);
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

} // namespace kestrin

#endif
