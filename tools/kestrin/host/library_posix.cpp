#include "host/library.h"

#include "base/error.h"

#include <fmt/format.h>

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace kestrin::module {

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

std::string defaultPath()
{
    const std::string beside = executableDirectory() + "/" + libraryFile;
    return access(beside.c_str(), F_OK) == 0 ? beside : installedSoname;
}

void* open(const std::string& path)
{
    dlerror();
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* cause = dlerror();
        throw Error(fmt::format("cannot load the library {}: {}", path, cause != nullptr ? cause : "unknown error"));
    }
    return module;
}

void* symbol(void* module, const char* name)
{
    return dlsym(module, name);
}

void close(void* module) noexcept
{
    dlclose(module);
}

} // namespace kestrin::module
