// The owners of this platform's handles, in the one owner type of base/.
#ifndef KESTRIN_TOOL_HOST_HANDLES_H
#define KESTRIN_TOOL_HOST_HANDLES_H

#include "base/owned.h"

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kestrin {

#ifdef _WIN32
// Null stands for none: a failed CreateFile's INVALID_HANDLE_VALUE is
// never kept.
struct HandleTraits {
    static HANDLE none() noexcept { return nullptr; }
    static void close(HANDLE handle) noexcept { CloseHandle(handle); }
};
using UniqueHandle = Owned<HandleTraits>;
using PortHandle = UniqueHandle;

// What CreateFile returned, owned; a failure holds nothing.
inline UniqueHandle ownFile(HANDLE handle)
{
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}
#else
struct FdTraits {
    static int none() noexcept { return -1; }
    static void close(int fd) noexcept { ::close(fd); }
};
using UniqueFd = Owned<FdTraits>;
using PortHandle = UniqueFd;
#endif

// What pollUart takes: a HANDLE on Windows, a file descriptor in the
// pointer on Linux.
inline void* libraryHandle(const PortHandle& port)
{
#ifdef _WIN32
    return port.get();
#else
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(port.get()));
#endif
}

} // namespace kestrin

#endif
