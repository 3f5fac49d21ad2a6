// The Kestrin library loaded the way a host program loads it: by path at run
// time, its three exports resolved by their decorated names. The tool never
// links the library, so it exercises exactly what a third-party host relies on.
#ifndef KESTRIN_TOOL_HOST_LIBRARY_H
#define KESTRIN_TOOL_HOST_LIBRARY_H

#include <string>

namespace kestrin {

// Loaded for as long as the object lives; moving hands the library on.
class Library {
public:
    // Loads `path`, or the library beside this program when it is empty,
    // and resolves all three exports. Throws Error naming the file and the
    // cause; nothing stays loaded then.
    static Library load(const std::string& path);

    Library() = default;
    ~Library();
    Library(Library&& other) noexcept;
    Library& operator=(Library&& other) noexcept;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool loaded() const { return module_ != nullptr; }
    // The system's handle of the loaded module (HMODULE, dlopen handle).
    void* module() const { return module_; }
    const std::string& path() const { return path_; }

    int pollUart(void* port, int length, unsigned char* pattern, int timeoutMs) const;
    int version() const;
    std::string about() const;

private:
    void unload() noexcept;

    std::string path_;
    void* module_ = nullptr;
    int (*pollUart_)(void*, int, unsigned char*, int) = nullptr;
    int (*version_)() = nullptr;
    char* (*about_)() = nullptr;
};

// The system calls behind Library, one file per platform.
namespace module {

// The library beside the running executable, or, where the platform's
// loader can find an installed one by name, that name.
std::string defaultPath();

// The loaded module, or null with `error` giving the system's cause.
void* open(const std::string& path, std::string& error);

void* symbol(void* module, const char* name);

void close(void* module) noexcept;

} // namespace module

} // namespace kestrin

#endif
