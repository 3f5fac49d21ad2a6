// The Kestrin library loaded the way a host program loads it: by path at run
// time, its three exports resolved by their decorated names. The tool never
// links the library, so it exercises exactly what a third-party host relies on.
#ifndef KESTRIN_TOOL_LIBRARY_H
#define KESTRIN_TOOL_LIBRARY_H

#include <string>

namespace kestrin {

using PollUartFn = int(void*, int, unsigned char*, int);
using KestrinVersionFn = int();
using KestrinAboutFn = char*();

struct Library {
    std::string path;
    void* module = nullptr;
    PollUartFn* pollUart = nullptr;
    KestrinVersionFn* version = nullptr;
    KestrinAboutFn* about = nullptr;
};

struct ExportNames {
    const char* pollUart;
    const char* version;
    const char* about;
};

// The names this platform and width resolve.
ExportNames exportNames();

// The library file beside the running executable.
std::string defaultLibraryPath();

// Loads `path` (or the default when empty) and resolves all three exports.
// On failure returns false with `error` naming the file and the cause, and
// leaves nothing loaded.
bool loadLibrary(const std::string& path, Library& library, std::string& error);

void unloadLibrary(Library& library);


} // namespace kestrin

#endif
