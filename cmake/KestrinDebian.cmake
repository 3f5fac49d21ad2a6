# The Debian packages, one per install component (see KestrinInstall.cmake),
# as Debian splits a library:
#   libkestrin1      the shared library, in the multiarch directory
#   libkestrin-dev   header, .so link, CMake package, pkg-config file
#   kestrin          the command-line tool, its man page and bash completion
#   python3-kestrin  the Python package (Architecture: all; it asks the
#                    system's loader for libkestrin.so.1)
# Included from KestrinPackaging.cmake; the work CPack cannot do itself
# (copyright, changelog, man pages, the tool's RUNPATH) is done on its staging
# tree by packaging/debian/stage.cmake.

# The architecture is the target's, so that a cross build packages for it.
set(KESTRIN_DEB_PACKAGES OFF)
find_program(KESTRIN_DPKG_ARCHITECTURE dpkg-architecture)
if(NOT KESTRIN_DPKG_ARCHITECTURE OR NOT CMAKE_LIBRARY_ARCHITECTURE)
    message(STATUS "Not a Debian toolchain: no .deb packages, only the archive")
    list(REMOVE_ITEM CPACK_GENERATOR DEB)
    return()
endif()
set(KESTRIN_DEB_PACKAGES ON)
execute_process(
    COMMAND ${KESTRIN_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE kestrin_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)

set(CPACK_DEB_COMPONENT_INSTALL ON)
# Only these components become packages (packaging/debian/cpack_options.cmake);
# `archive` is for relocatable trees.
set(CPACK_KESTRIN_DEB_COMPONENTS library development tool python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${kestrin_deb_arch})
set(CPACK_DEBIAN_PACKAGE_VERSION ${KESTRIN_PACKAGE_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(kestrin_soversion ${PROJECT_VERSION_MAJOR})
set(kestrin_library_package libkestrin${kestrin_soversion})
set(kestrin_exact "${kestrin_library_package} (= ${KESTRIN_PACKAGE_VERSION})")
set(kestrin_about [[
Kestrin checks whether a device on a serial port (UART) answers with an
expected sequence of bytes: a host program opens and configures the port,
and Kestrin reads it one byte at a time under an idle limit, retrying until
the reply matches or the time budget is spent.]])

# -- libkestrin1 ------------------------------------------------------------------
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${kestrin_library_package})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "serial device reply checker - shared library\n${kestrin_about}\n\nThis package holds the shared library.")
# shlibs and symbols files for the packages that link it, and ldconfig run
# through dpkg's trigger. CPack would instead call ldconfig from maintainer
# scripts whenever it looks at the library's dependencies or writes its shlibs
# itself, so it does neither here: the staging script reads the library's
# dependencies with dpkg-shlibdeps.
set(kestrin_control ${PROJECT_BINARY_DIR}/packaging/control)
set(kestrin_symbols "libkestrin.so.${kestrin_soversion} ${kestrin_library_package} #MINVER#\n* Build-Depends-Package: libkestrin-dev\n")
set(kestrin_names ${KESTRIN_EXPORT_TABLE})
while(kestrin_names)
    # The exports have not changed since the first release.
    list(POP_FRONT kestrin_names function stem gcc msvc32 msvc64)
    string(APPEND kestrin_symbols " ${gcc}@Base 1.0.0\n")
endwhile()
file(CONFIGURE OUTPUT ${kestrin_control}/symbols CONTENT "${kestrin_symbols}")
file(CONFIGURE OUTPUT ${kestrin_control}/shlibs
    CONTENT "libkestrin ${kestrin_soversion} ${kestrin_library_package} (>= ${KESTRIN_PACKAGE_VERSION})\n")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
    ${kestrin_control}/shlibs ${kestrin_control}/symbols ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)

# -- libkestrin-dev -----------------------------------------------------------------
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkestrin-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${kestrin_exact}")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "serial device reply checker - development files\n${kestrin_about}\n\nThis package holds the C and C++ header, the CMake package\n(find_package(Kestrin)) and the pkg-config file.")

# -- kestrin ------------------------------------------------------------------------
# The tool loads the library at run time, so its dependencies cannot show it.
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME kestrin)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${kestrin_exact}")
set(CPACK_DEBIAN_TOOL_DESCRIPTION "serial device reply checker - command-line tool\n${kestrin_about}\n\nThis package holds the kestrin command: it polls a port for a reply,\nlists serial ports, and plays simulated devices on pseudo-terminals.")

# -- python3-kestrin ----------------------------------------------------------------
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kestrin)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, ${kestrin_library_package} (>= ${KESTRIN_PACKAGE_VERSION})")
# Its pytest fixture plays devices with the tool.
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS kestrin)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-serial, python3-pytest")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "serial device reply checker - Python 3 module\n${kestrin_about}\n\nThis package holds the Python 3 module kestrin (ctypes) and its pytest\nplugin kestrin.testing.")

# ---- Debian's files that CPack does not write -----------------------------------------
# The copyright file in Debian's machine-readable form, from LICENSE.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE kestrin_license_lines)
list(FILTER kestrin_license_lines EXCLUDE REGEX "^MIT License$")
list(POP_FRONT kestrin_license_lines kestrin_copyright_line)
string(REGEX REPLACE "^Copyright \\(c\\) " "" kestrin_copyright_holder "${kestrin_copyright_line}")
set(kestrin_license_text "")
foreach(line IN LISTS kestrin_license_lines)
    if(line STREQUAL "")
        string(APPEND kestrin_license_text " .\n")
    else()
        string(APPEND kestrin_license_text " ${line}\n")
    endif()
endforeach()
string(REGEX REPLACE "^ \\.\n" "" kestrin_license_text "${kestrin_license_text}")
set(CPACK_KESTRIN_COPYRIGHT ${PROJECT_BINARY_DIR}/packaging/copyright)
file(CONFIGURE OUTPUT ${CPACK_KESTRIN_COPYRIGHT} CONTENT [[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Kestrin
Upstream-Contact: @CPACK_PACKAGE_CONTACT@

Files: *
Copyright: @kestrin_copyright_holder@
License: Expat
@kestrin_license_text@]] @ONLY)

set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/debian/cpack_options.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian/stage.cmake)
set(CPACK_KESTRIN_CHANGELOG ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
set(CPACK_KESTRIN_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc)
set(CPACK_KESTRIN_MANDIR ${CMAKE_INSTALL_MANDIR})
set(CPACK_KESTRIN_BINDIR ${CMAKE_INSTALL_BINDIR})
set(CPACK_KESTRIN_STRIP ${CMAKE_STRIP})
