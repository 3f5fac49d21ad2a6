// Text between the tool (UTF-8 throughout) and Windows' wide-character
// calls, and GetLastError codes as the system words them.
#ifndef KESTRIN_TOOL_HOST_WINDOWS_TEXT_H
#define KESTRIN_TOOL_HOST_WINDOWS_TEXT_H

#include <windows.h>

#include <string>

namespace kestrin {

// Names from the system are read through the wide calls, whatever the
// ANSI code page, and written as UTF-8.
std::string utf8(const wchar_t* text, std::size_t length);
inline std::string utf8(const std::wstring& text)
{
    return utf8(text.data(), text.size());
}

// UTF-8 for the wide calls. Text that is not UTF-8 is read in the ANSI
// code page, as a path typed in an old console may come.
std::wstring wide(const std::string& text);

// "The system cannot find the file specified (error 2)", in UTF-8 whatever
// the system's language: the text also goes into JSON.
std::string windowsErrorText(DWORD code);

} // namespace kestrin

#endif
