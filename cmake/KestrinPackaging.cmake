# Release archives: `cpack` in a build directory writes a .tar.gz and a .deb
# for Linux, or a .zip for each Windows width, each named with the version and
# platform. They hold exactly what `cmake --install` installs.
set(CPACK_PACKAGE_NAME kestrin)
set(CPACK_PACKAGE_VENDOR "The Kestrin developers")
set(CPACK_PACKAGE_CONTACT "The Kestrin developers <kestrin@users.noreply.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
    set(CPACK_SYSTEM_NAME ${KESTRIN_FLAVOUR})
    set(CPACK_GENERATOR ZIP)
else()
    string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" CPACK_SYSTEM_NAME)
    set(CPACK_GENERATOR TGZ DEB)

    # kestrin_1.0.0_amd64.deb, installing under /usr.
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    if(CMAKE_CROSSCOMPILING)
        # CPack would name the machine that packs; the target's Debian
        # architecture follows from the compiler's multiarch triple.
        execute_process(
            COMMAND dpkg-architecture --host-type ${CMAKE_LIBRARY_ARCHITECTURE} --query DEB_HOST_ARCH
            OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
            OUTPUT_STRIP_TRAILING_WHITESPACE
            COMMAND_ERROR_IS_FATAL ANY)
    endif()
    set(CPACK_DEBIAN_PACKAGE_SECTION libs)
    set(CPACK_PACKAGE_DESCRIPTION [[
Kestrin is a small shared library that a host program calls to check
whether a device on a serial port answers with an expected byte sequence.
The package holds the library, its header, CMake and pkg-config files,
the kestrin command-line tool and a Python module (ctypes).]])
    # Dependencies read from what the library and the tool actually link.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, python3-serial")
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})

include(CPack)
