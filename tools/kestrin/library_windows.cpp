#include "library.h"

#include "kestrin.h"
#include "windows_error.h"

#include <windows.h>

namespace kestrin {

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

ExportNames exportNames()
{
    // The names Microsoft's compiler gives the declarations, as a host built
    // with it looks them up; the pointer types make them differ by width.
    return {KESTRIN_POLL_UART_NAME, KESTRIN_VERSION_NAME, KESTRIN_ABOUT_NAME};
}

std::string defaultLibraryPath()
{
    return executableDirectory() + "\\" + libraryFile;
}

bool loadLibrary(const std::string& path, Library& library, std::string& error)
{
    const std::string file = path.empty() ? defaultLibraryPath() : path;
    // A full path, and no dialog box for a missing or broken file.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryA(file.c_str());
    const DWORD loadError = GetLastError();
    SetErrorMode(previousMode);
    if (module == nullptr) {
        error = "cannot load the library " + file + ": " + windowsErrorText(loadError);
        return false;
    }
    const ExportNames names = exportNames();
    FARPROC poll = GetProcAddress(module, names.pollUart);
    FARPROC version = GetProcAddress(module, names.version);
    FARPROC about = GetProcAddress(module, names.about);
    const char* missing = poll == nullptr ? names.pollUart : version == nullptr ? names.version
                        : about == nullptr ? names.about : nullptr;
    if (missing != nullptr) {
        FreeLibrary(module);
        error = "the library " + file + " does not export " + missing;
        return false;
    }
    library.path = file;
    library.module = module;
    library.pollUart = reinterpret_cast<PollUartFn*>(reinterpret_cast<void*>(poll));
    library.version = reinterpret_cast<KestrinVersionFn*>(reinterpret_cast<void*>(version));
    library.about = reinterpret_cast<KestrinAboutFn*>(reinterpret_cast<void*>(about));
    return true;
}

void unloadLibrary(Library& library)
{
    if (library.module != nullptr) {
        FreeLibrary(static_cast<HMODULE>(library.module));
    }
    library = Library{};
}

} // namespace kestrin
