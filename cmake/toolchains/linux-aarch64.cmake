# Cross build for 64-bit ARM Linux (Debian arm64), tests under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KESTRIN_LINUX_TRIPLE aarch64-linux-gnu)
set(KESTRIN_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
