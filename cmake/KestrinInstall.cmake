# What `cmake --install` puts where: the header and the library, the import
# libraries on Windows, a CMake package, a pkg-config file, the Python module,
# the README with the pages of docs/, and the licence. Included from the
# top-level CMakeLists.txt after every target exists.
#
# Every file belongs to one component, and each Debian package is one
# component (cmake/KestrinDebian.cmake); an installed tree and the archives
# hold them all:
#   library      the shared library and its soname link       libkestrin1
#   development  header, .so link, import libraries, CMake
#                package, pkg-config file                     libkestrin-dev
#   tool         the kestrin command, its README and docs/,
#                man page and bash completion                 kestrin
#   python       the Python package                           python3-kestrin
#   archive      only for trees that may lie anywhere: the
#                licence (a package has its copyright file)
#                and the Python module's pointer to the
#                library (a package's module asks the loader)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Windows users unpack an archive and look at its top; Debian keeps documents
# under share/doc. Python looks in dist-packages on Debian; on Windows the
# module sits in its own folder for PYTHONPATH.
if(WIN32)
    set(kestrin_default_docdir .)
    set(kestrin_default_pythondir python)
else()
    set(kestrin_default_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrin)
    set(kestrin_default_pythondir lib/python3/dist-packages)
endif()
set(KESTRIN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrin
    CACHE STRING "Where the CMake package goes, relative to the prefix")
set(KESTRIN_INSTALL_DOCDIR ${kestrin_default_docdir}
    CACHE STRING "Where README.md, docs/ and LICENSE go, relative to the prefix")
set(KESTRIN_INSTALL_PYTHONDIR ${kestrin_default_pythondir}
    CACHE STRING "Where the Python package `kestrin` goes, relative to the prefix")
foreach(dir IN ITEMS CMAKE_INSTALL_BINDIR CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR
                     KESTRIN_INSTALL_CMAKEDIR KESTRIN_INSTALL_PYTHONDIR)
    # Everything is found relative to everything else, so that an installed
    # tree, an unpacked archive and the .deb all work wherever they land.
    if(IS_ABSOLUTE "${${dir}}")
        message(FATAL_ERROR "${dir} must be relative to the install prefix, not ${${dir}}")
    endif()
endforeach()

# ---- Library and header -------------------------------------------------------
install(TARGETS kestrin EXPORT KestrinTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${KESTRIN_GENERATED_DIR}/include/kestrin.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# ---- Import library for Microsoft's linker --------------------------------------
# MinGW's libkestrin.dll.a carries GCC's names; hosts built with Microsoft's
# tools need kestrin.lib with theirs. Both come from the same .def file as the
# DLL's export table, so the three can never disagree.
if(WIN32)
    find_program(KESTRIN_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool
        HINTS /usr/lib/llvm-14/bin REQUIRED)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(kestrin_coff_machine i386:x86-64)
    else()
        set(kestrin_coff_machine i386)
    endif()
    set(kestrin_msvc_implib ${PROJECT_BINARY_DIR}/kestrin.lib)
    add_custom_command(OUTPUT ${kestrin_msvc_implib}
        COMMAND ${KESTRIN_LLVM_DLLTOOL} -m ${kestrin_coff_machine}
                -d ${kestrin_def} -l ${kestrin_msvc_implib}
        DEPENDS ${kestrin_def}
        COMMENT "Generating kestrin.lib for Microsoft's linker"
        VERBATIM)
    add_custom_target(kestrin_msvc_implib ALL DEPENDS ${kestrin_msvc_implib})
    install(FILES ${kestrin_msvc_implib} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
endif()

# ---- CMake package: find_package(Kestrin 1.0) -> Kestrin::kestrin ----------------
install(EXPORT KestrinTargets
    NAMESPACE Kestrin::
    DESTINATION ${KESTRIN_INSTALL_CMAKEDIR}
    COMPONENT development)
set(KESTRIN_PACKAGE_LIBDIR ${CMAKE_INSTALL_LIBDIR})
configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/KestrinConfig.cmake.in
    ${PROJECT_BINARY_DIR}/KestrinConfig.cmake
    INSTALL_DESTINATION ${KESTRIN_INSTALL_CMAKEDIR}
    PATH_VARS KESTRIN_PACKAGE_LIBDIR)
# Width is checked too: a 64-bit host cannot take the 32-bit DLL.
write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/KestrinConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/KestrinConfig.cmake
    ${PROJECT_BINARY_DIR}/KestrinConfigVersion.cmake
    DESTINATION ${KESTRIN_INSTALL_CMAKEDIR}
    COMPONENT development)

# ---- pkg-config ------------------------------------------------------------------
# The prefix is found from the .pc file's own place, so no path is baked in.
file(RELATIVE_PATH kestrin_pc_to_prefix
    /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" kestrin_pc_to_prefix "${kestrin_pc_to_prefix}")
set(KESTRIN_PC_PREFIX "\${pcfiledir}/${kestrin_pc_to_prefix}")
set(KESTRIN_PC_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
configure_file(${CMAKE_CURRENT_LIST_DIR}/kestrin.pc.in ${PROJECT_BINARY_DIR}/kestrin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestrin.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# ---- Python module ---------------------------------------------------------------
# The module learns where the library lies relative to itself from a small
# file written here; a copy outside an installed tree simply lacks it.
if(WIN32)
    set(kestrin_python_libdir ${CMAKE_INSTALL_BINDIR})
    set(kestrin_python_libname $<TARGET_FILE_NAME:kestrin>)
else()
    set(kestrin_python_libdir ${CMAKE_INSTALL_LIBDIR})
    set(kestrin_python_libname $<TARGET_SONAME_FILE_NAME:kestrin>)
endif()
file(RELATIVE_PATH kestrin_python_to_lib
    /prefix/${KESTRIN_INSTALL_PYTHONDIR}/kestrin /prefix/${kestrin_python_libdir})
string(REGEX REPLACE "/$" "" kestrin_python_to_lib "${kestrin_python_to_lib}")
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/python/_location.py
    CONTENT "# Written by the install step: the library, relative to this package.\nLIBRARY = \"${kestrin_python_to_lib}/${kestrin_python_libname}\"\n")
set(KESTRIN_PYTHON_FILES __init__.py _abi.py _tap.py _win32.py bench.py testing.py py.typed)
list(TRANSFORM KESTRIN_PYTHON_FILES PREPEND ${PROJECT_SOURCE_DIR}/python/kestrin/)
install(FILES ${KESTRIN_PYTHON_FILES}
    DESTINATION ${KESTRIN_INSTALL_PYTHONDIR}/kestrin COMPONENT python)
install(FILES ${PROJECT_BINARY_DIR}/python/_location.py
    DESTINATION ${KESTRIN_INSTALL_PYTHONDIR}/kestrin COMPONENT archive)

# ---- Documents -------------------------------------------------------------------
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${KESTRIN_INSTALL_DOCDIR} COMPONENT tool)
# The pages the README links, and the images they show, in docs/ beside it as
# in the source tree, so that the links between them hold in an installed
# tree, an archive and the kestrin package alike. Copied at install time: a
# new page needs no change here.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${KESTRIN_INSTALL_DOCDIR}/docs COMPONENT tool
    FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${KESTRIN_INSTALL_DOCDIR} COMPONENT archive)

# ---- Windows: shipped binaries without their debug information -------------------
# The DLL and the tool are installed stripped, their DWARF sections moved into
# kestrin.dll.debug and kestrin.exe.debug beside them, which the stripped files
# name (a debuglink), so that a debugger given both finds the symbols.
function(kestrin_install_split_debug target component)
    install(CODE "set(KESTRIN_OBJCOPY \"${CMAKE_OBJCOPY}\")
        set(KESTRIN_SHIPPED \"${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>\")
        include(\"${PROJECT_SOURCE_DIR}/cmake/KestrinSplitDebug.cmake\")"
        COMPONENT ${component})
endfunction()
if(WIN32)
    kestrin_install_split_debug(kestrin library)
    if(TARGET kestrin_cli)
        kestrin_install_split_debug(kestrin_cli tool)
    endif()
endif()
