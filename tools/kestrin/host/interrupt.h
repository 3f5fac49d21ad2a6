// Ctrl-C and the signals that stop a command. The library's poll cannot be
// cut short, so the command waits for it and for an interrupt at once (see
// Background), and its own thread puts the port back and writes the report.
//
// Signals and console events are the process's, and so is the state their
// handlers need: it is kept in one place, interrupt.cpp, and one guard at a
// time owns it. The handlers only note the interrupt and wake the waits.
#ifndef KESTRIN_TOOL_HOST_INTERRUPT_H
#define KESTRIN_TOOL_HOST_INTERRUPT_H

#include <functional>

namespace kestrin {

class InterruptGuard {
public:
    // Handlers up: SIGINT, SIGTERM and SIGHUP on Linux; Ctrl-C, Ctrl-Break
    // and closing the console on Windows. On Linux a write to a closed pipe
    // also becomes an error (EPIPE) rather than a SIGPIPE that would end the
    // tool with the port as it left it. Throws Error when a guard lives.
    InterruptGuard();
    // Handlers down: the signals are handled as before the guard.
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    bool interrupted() const;


    // Waits until `done()` holds or an interrupt comes, whichever is first;
    // `done` is checked again on each notify(). Meanwhile runs `tick` every
    // `tickMs` on this thread. Returns false on an interrupt.
    bool waitFor(const std::function<bool()>& done, int tickMs, const std::function<void()>& tick);

    // From any thread: what a waitFor waits for may now hold.
    void notify();
};

// While it lives, runs `wake` on the interrupt's own thread when one comes
// (at once if one has come), for a command that waits in a system call of
// its own, as the sim waits in poll(). `wake` must do no more than wake that
// wait: it runs with the interrupt's state locked.
class InterruptWaker {
public:
    InterruptWaker(InterruptGuard& guard, std::function<void()> wake);
    ~InterruptWaker();
    InterruptWaker(const InterruptWaker&) = delete;
    InterruptWaker& operator=(const InterruptWaker&) = delete;

private:
    std::function<void()> wake_;
};

// Ends the process at once with `exitCode`, without unwinding: for an
// interrupt that comes while the library still polls on another thread,
// whose objects must not be destroyed under it.
[[noreturn]] void endProcess(int exitCode);

// Keeps the stop signals from the process for the rest of its life: for a
// command that has ended and reported, while its guard still lives, so that
// a signal then, with nothing left to stop, cannot turn its exit status
// into a death by signal.
void holdStopSignals() noexcept;

// The platform's handlers, for interrupt.cpp: each signal or event calls
// noteInterrupt(), from a thread on which it may lock and call wakers.
namespace interrupts {
void install();
void remove() noexcept;
void noteInterrupt();
} // namespace interrupts

} // namespace kestrin

#endif
