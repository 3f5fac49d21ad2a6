#include "host/windows_text.h"

#include <fmt/format.h>

namespace kestrin {

std::string utf8(const wchar_t* text, std::size_t length)
{
    if (length == 0) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
    }
    return out;
}

std::wstring wide(const std::string& text)
{
    for (UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int n = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
        if (n > 0) {
            std::wstring result(static_cast<std::size_t>(n), L'\0');
            MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), result.data(), n);
            return result;
        }
    }
    return {};
}

std::string windowsErrorText(DWORD code)
{
    wchar_t buffer[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                             sizeof buffer / sizeof buffer[0], nullptr);
    while (n > 0 && (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n' || buffer[n - 1] == L' ' ||
                     buffer[n - 1] == L'.')) {
        --n;
    }
    const std::string text = utf8(buffer, n);
    return fmt::format("{} (error {})", text.empty() ? "system error" : text, code);
}

} // namespace kestrin
