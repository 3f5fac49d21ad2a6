# Cross build for 32-bit hard-float ARM Linux (Debian armhf), tests under
# qemu-arm. The processor name is what `uname -m` says on such a board, so
# that archives are named as a build on the board itself would name them.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(KESTRIN_LINUX_TRIPLE arm-linux-gnueabihf)
set(KESTRIN_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

# GCC notes, for every vector insert, that it passes such arguments
# differently from GCC before 7.1. Nothing here links code that old, and the
# notes would bury real warnings in the build log.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
