# A host built with Microsoft's ABI and command lines (cl, link), played by
# LLVM's clang-cl and lld-link: 32-bit.
set(KESTRIN_MSVC_TARGET i686-pc-windows-msvc)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/clang-cl-common.cmake)
