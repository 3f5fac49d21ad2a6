// The Kestrin library loaded the way a host program loads it: by path at run
// time, its three exports resolved by their decorated names. The tool never
// links the library, so it exercises exactly what a third-party host relies on.
#ifndef KESTRIN_TOOL_HOST_LIBRARY_H
#define KESTRIN_TOOL_HOST_LIBRARY_H

#include "base/owned.h"

#include <string>

namespace kestrin {

// The system calls behind Library, one file per platform.
namespace module {

// The library beside the running executable, or, where the platform's
// loader can find an installed one by name, that name.
std::string defaultPath();

// The loaded module. Throws Error: "cannot load the library PATH: cause".
void* open(const std::string& path);

void* symbol(void* module, const char* name);

void close(void* module) noexcept;

struct Traits {
    static void* none() noexcept { return nullptr; }
    static void close(void* module) noexcept { module::close(module); }
};

} // namespace module

// Loaded for as long as the object lives; moving hands the library on.
class Library {
public:
    // Loads `path`, or the library beside this program when it is empty,
    // and resolves all three exports. Throws Error naming the file and the
    // cause; nothing stays loaded then.
    static Library load(const std::string& path);

    bool loaded() const { return static_cast<bool>(module_); }
    // The system's handle of the loaded module (HMODULE, dlopen handle).
    void* module() const { return module_.get(); }
    const std::string& path() const { return path_; }

    int pollUart(void* port, int length, unsigned char* pattern, int timeoutMs) const;
    int version() const;
    std::string about() const;

private:
    std::string path_;
    Owned<module::Traits> module_;
    int (*pollUart_)(void*, int, unsigned char*, int) = nullptr;
    int (*version_)() = nullptr;
    char* (*about_)() = nullptr;
};

} // namespace kestrin

#endif
