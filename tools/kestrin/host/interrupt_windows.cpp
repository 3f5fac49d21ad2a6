// Windows runs a console control handler on a thread it starts for the
// event, which is just what InterruptGuard promises: the handler does its
// work there while the poll carries on, then ends the process.
#include "host/interrupt.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

namespace kestrin {

namespace {

struct Guard {
    std::mutex mutex;
    std::function<void()> onInterrupt;
    bool installed = false;
    bool running = false;
};

// Never destroyed: a control event may arrive while the process exits.
Guard& guard()
{
    static Guard* const g = new Guard;
    return *g;
}

[[noreturn]] void endProcess()
{
    std::fflush(stdout);
    std::fflush(stderr);
    // Not ExitProcess: that runs the C runtime's exit work and unloads the
    // DLLs while the interrupted thread may be inside the library or hold
    // the runtime's locks.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(interruptedExitCode));
    // TerminateProcess does not return for the calling process.
    for (;;) {
        Sleep(INFINITE);
    }
}

BOOL WINAPI onControlEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        break;
    default:
        // Log-off and shut-down: left to the next handler.
        return FALSE;
    }
    Guard& g = guard();
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        if (!g.installed) {
            return FALSE;
        }
        if (g.running) {
            // A second Ctrl-C while the first is being handled: that one
            // ends the process.
            return TRUE;
        }
        g.running = true;
        handler = g.onInterrupt;
    }
    try {
        if (handler) {
            handler();
        }
    } catch (...) {
        // Whatever went wrong, the process still ends as interrupted.
    }
    endProcess();
}

} // namespace

InterruptGuard::InterruptGuard(std::function<void()> onInterrupt)
{
    Guard& g = guard();
    std::lock_guard<std::mutex> lock(g.mutex);
    g.onInterrupt = std::move(onInterrupt);
    g.installed = true;
    g.running = false;
    SetConsoleCtrlHandler(&onControlEvent, TRUE);
}

InterruptGuard::~InterruptGuard()
{
    Guard& g = guard();
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        if (!g.running) {
            g.installed = false;
            g.onInterrupt = nullptr;
            SetConsoleCtrlHandler(&onControlEvent, FALSE);
            return;
        }
    }
    // The handler has begun and uses what this guard's owner is about to
    // tear down; it ends the process when done, so wait for that.
    for (;;) {
        Sleep(INFINITE);
    }
}

} // namespace kestrin
