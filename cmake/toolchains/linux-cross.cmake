# Shared part of the Linux cross builds: Debian's cross compiler for
# KESTRIN_LINUX_TRIPLE, target libraries from Debian's multiarch packages
# (libfoo-dev:<arch> under /usr/lib/<triple>), host programs from the host.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${KESTRIN_LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KESTRIN_LINUX_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KESTRIN_LINUX_TRIPLE})

# No CMAKE_FIND_ROOT_PATH: multiarch keeps the target's libraries and CMake
# packages under /usr/lib/<triple>, where CMAKE_LIBRARY_ARCHITECTURE makes
# find_library and find_package look, and the host's /usr/lib/<host triple>
# is not searched.

# pkg-config answers for the target: its multiarch .pc files and the
# architecture-independent ones, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KESTRIN_LINUX_TRIPLE}/pkgconfig:/usr/share/pkgconfig)

# Test programs run under qemu-user on the target's runtime from multiarch
# (libc6:<arch>, libstdc++6:<arch>), as on a Debian board. Not -L with the
# cross compiler's /usr/<triple>: its loader would take the multiarch libc
# from the shared ld.so.cache, a mismatch that hangs or crashes threads.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRIN_QEMU} -L /)
