// Windows runs a console control handler on a thread it starts for the
// event, which may lock and wake the command's waits directly.
#include "host/interrupt.h"

#include <windows.h>

namespace kestrin {

namespace {

BOOL WINAPI onControlEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        interrupts::noteInterrupt();
        // Handled: the command's own thread ends the process.
        return TRUE;
    case CTRL_CLOSE_EVENT:
        interrupts::noteInterrupt();
        // The system ends the process as soon as this returns: wait for the
        // command's thread to put the port back and end it first.
        Sleep(INFINITE);
        return TRUE;
    default:
        // Log-off and shut-down: left to the next handler.
        return FALSE;
    }
}

} // namespace

void interrupts::install()
{
    SetConsoleCtrlHandler(&onControlEvent, TRUE);
}

void interrupts::remove() noexcept
{
    SetConsoleCtrlHandler(&onControlEvent, FALSE);
}

void holdStopSignals() noexcept
{
    // Ctrl-C and Ctrl-Break ignored from here on; closing the console still
    // ends the process, which has nothing left to do.
    SetConsoleCtrlHandler(nullptr, TRUE);
}

void endProcess(int exitCode)
{
    // Not ExitProcess: that runs the C runtime's exit work and unloads the
    // DLLs while another thread may be inside the library or hold the
    // runtime's locks.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    // TerminateProcess does not return for the calling process.
    for (;;) {
        Sleep(INFINITE);
    }
}

} // namespace kestrin
