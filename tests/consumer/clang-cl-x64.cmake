# A host built with Microsoft's ABI and command lines (cl, link), played by
# LLVM's clang-cl and lld-link: 64-bit.
set(KESTRIN_MSVC_TARGET x86_64-pc-windows-msvc)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/clang-cl-common.cmake)
