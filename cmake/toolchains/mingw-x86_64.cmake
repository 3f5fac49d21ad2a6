# Cross build for Windows with Debian's MinGW-w64 (x86_64). The posix-thread
# variant of the compilers is used so that std::thread is available to tools.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KESTRIN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTRIN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRIN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRIN_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${KESTRIN_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRIN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the GCC runtime (libgcc, libstdc++, winpthread) into every binary, so
# that nothing but the system's own DLLs is needed beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
