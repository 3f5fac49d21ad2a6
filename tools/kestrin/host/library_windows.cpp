#include "host/library.h"
#include "host/windows_error.h"

#include <windows.h>

namespace kestrin::module {

namespace {

const char libraryFile[] = "kestrin.dll";

std::string executableDirectory()
{
    char buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return ".";
    }
    std::string path(buffer, n);
    const auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

} // namespace

std::string defaultPath()
{
    return executableDirectory() + "\\" + libraryFile;
}

void* open(const std::string& path, std::string& error)
{
    // A full path, and no dialog box for a missing or broken file.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryA(path.c_str());
    const DWORD loadError = GetLastError();
    SetErrorMode(previousMode);
    if (module == nullptr) {
        error = windowsErrorText(loadError);
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
