#include "host/library.h"

#include "base/error.h"
#include "host/windows_text.h"

#include <fmt/format.h>

#include <windows.h>

#include <string>

namespace kestrin::module {

namespace {

const wchar_t libraryFile[] = L"kestrin.dll";

// Empty when the system cannot say where this program is: guessing "."
// would load whatever kestrin.dll the current directory holds.
std::wstring executableDirectory()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

} // namespace

std::string defaultPath()
{
    const std::wstring directory = executableDirectory();
    return directory.empty() ? std::string() : utf8(directory + L"\\" + libraryFile);
}

void* open(const std::string& path)
{
    const auto failure = [&path](const std::string& cause) {
        return Error(fmt::format("cannot load the library {}: {}", path, cause));
    };
    if (path.empty()) {
        throw failure("cannot tell where this program is, so not where its library is (use --library)");
    }
    // Always a full path: given only a name, LoadLibrary also searches the
    // current directory, where anyone may have left a kestrin.dll. A
    // relative --library is taken, like any file argument, from there.
    const std::wstring given = wide(path);
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) {
            throw failure(windowsErrorText(GetLastError()));
        }
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n);
    }
    // The library's own imports are then looked for beside it first; and no
    // dialog box for a missing or broken file.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryExW(full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD loadError = GetLastError();
    SetErrorMode(previousMode);
    if (module == nullptr) {
        throw failure(windowsErrorText(loadError));
    }
    return module;
}

void* symbol(void* module, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void close(void* module) noexcept
{
    FreeLibrary(static_cast<HMODULE>(module));
}

} // namespace kestrin::module
