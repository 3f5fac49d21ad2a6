// GetLastError codes as the system words them, on one line.
#ifndef KESTRIN_TOOL_HOST_WINDOWS_ERROR_H
#define KESTRIN_TOOL_HOST_WINDOWS_ERROR_H

#include <windows.h>

#include <fmt/format.h>

#include <string>

namespace kestrin {

// In UTF-8, whatever the system's language: the text also goes into JSON.
inline std::string windowsErrorText(DWORD code)
{
    wchar_t buffer[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                             sizeof buffer / sizeof buffer[0], nullptr);
    while (n > 0 && (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n' || buffer[n - 1] == L' ' ||
                     buffer[n - 1] == L'.')) {
        --n;
    }
    std::string text;
    if (n > 0) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
        text.resize(static_cast<std::size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), text.data(), size, nullptr, nullptr);
    }
    return fmt::format("{} (error {})", text.empty() ? "system error" : text, code);
}

} // namespace kestrin

#endif
