#include "library.h"

#include "kestrin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace kestrin {

namespace {

const char libraryFile[] = "libkestrin.so";

// Without a file beside the executable (an installed tool), the loader's own
// search finds an installed library by its soname.
const char installedSoname[] = "libkestrin.so.1";

std::string executableDirectory()
{
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return ".";
    }
    std::string path(buffer, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

} // namespace

ExportNames exportNames()
{
    return {KESTRIN_POLL_UART_NAME, KESTRIN_VERSION_NAME, KESTRIN_ABOUT_NAME};
}

std::string defaultLibraryPath()
{
    return executableDirectory() + "/" + libraryFile;
}

bool loadLibrary(const std::string& path, Library& library, std::string& error)
{
    std::string file = path.empty() ? defaultLibraryPath() : path;
    if (path.empty() && access(file.c_str(), F_OK) != 0) {
        file = installedSoname;
    }
    dlerror();
    void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* cause = dlerror();
        error = "cannot load the library " + file + ": " + (cause != nullptr ? cause : "unknown error");
        return false;
    }
    const ExportNames names = exportNames();
    void* poll = dlsym(module, names.pollUart);
    void* version = dlsym(module, names.version);
    void* about = dlsym(module, names.about);
    const char* missing = poll == nullptr ? names.pollUart : version == nullptr ? names.version
                        : about == nullptr ? names.about : nullptr;
    if (missing != nullptr) {
        dlclose(module);
        error = "the library " + file + " does not export " + missing;
        return false;
    }
    library.path = file;
    library.module = module;
    library.pollUart = reinterpret_cast<PollUartFn*>(poll);
    library.version = reinterpret_cast<KestrinVersionFn*>(version);
    library.about = reinterpret_cast<KestrinAboutFn*>(about);
    return true;
}

void unloadLibrary(Library& library)
{
    if (library.module != nullptr) {
        dlclose(library.module);
    }
    library = Library{};
}

} // namespace kestrin
