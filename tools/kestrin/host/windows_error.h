// GetLastError codes as the system words them, on one line.
#ifndef KESTRIN_TOOL_HOST_WINDOWS_ERROR_H
#define KESTRIN_TOOL_HOST_WINDOWS_ERROR_H

#include <windows.h>

#include <fmt/format.h>

#include <string>

namespace kestrin {

inline std::string windowsErrorText(DWORD code)
{
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                             sizeof buffer, nullptr);
    while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ' || buffer[n - 1] == '.')) {
        --n;
    }
    return fmt::format("{} (error {})", n > 0 ? std::string(buffer, n) : "system error", code);
}

} // namespace kestrin

#endif
