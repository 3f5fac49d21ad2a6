# There is no Windows SDK or Microsoft C runtime on this machine, so nothing
# may link them: compiler checks build static libraries only, and the
# standard Windows libraries are left off every link.
set(CMAKE_SYSTEM_NAME Windows)
find_program(CMAKE_CXX_COMPILER NAMES clang-cl-14 clang-cl HINTS /usr/lib/llvm-14/bin REQUIRED)
find_program(CMAKE_LINKER NAMES lld-link-14 lld-link HINTS /usr/lib/llvm-14/bin REQUIRED)
find_program(CMAKE_MT NAMES llvm-mt-14 llvm-mt HINTS /usr/lib/llvm-14/bin)
set(CMAKE_CXX_COMPILER_TARGET ${KESTRIN_MSVC_TARGET})
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "No Windows SDK libraries")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
