# `cmake --build build/<preset> --target python-wheel` writes the Python
# package to build/<preset>/dist/: a wheel with this build's library and the
# read tap inside (and on Linux the kestrin tool, which plays the simulated
# devices of kestrin.testing), and an sdist of the module alone, which uses
# the system's library as python3-kestrin does. Installed into any
# environment, `import kestrin` finds the library beside the module.
#
# The Linux wheels are tagged manylinux_X_Y_<machine> (PEP 600), X.Y the
# highest glibc symbol version any of their ELF files needs; what no
# manylinux policy lists is carried inside: the wheel's copy of the tool
# links libstdc++ statically and finds libudev.so.1 beside itself (RUNPATH
# $ORIGIN). Windows wheels are tagged win32 or win_amd64.
find_program(KESTRIN_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH
    DOC "Debian's python3, which has pytest and pyserial")
find_program(KESTRIN_SYSTEM_PYTHON python3 REQUIRED)

if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(KESTRIN_WHEEL_PLATFORM win_amd64)
    else()
        set(KESTRIN_WHEEL_PLATFORM win32)
    endif()
else()
    # As Python names the machine (sysconfig.get_platform()).
    string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" kestrin_machine)
    if(kestrin_machine MATCHES "^(arm64|aarch64)$")
        set(kestrin_machine aarch64)
    elseif(kestrin_machine MATCHES "^arm")
        set(kestrin_machine armv7l)
    elseif(kestrin_machine MATCHES "^(amd64|x86_64)$")
        set(kestrin_machine x86_64)
    elseif(kestrin_machine MATCHES "^i.86$")
        set(kestrin_machine i686)
    endif()
    # The build step puts the glibc version in: manylinux_2_34_x86_64.
    set(KESTRIN_WHEEL_PLATFORM manylinux_GLIBC_${kestrin_machine})
    set(KESTRIN_WHEEL_MACHINE ${kestrin_machine})
endif()
set(KESTRIN_WHEEL_DIR ${PROJECT_BINARY_DIR}/dist)
set(KESTRIN_SDIST ${KESTRIN_WHEEL_DIR}/kestrin-${KESTRIN_PACKAGE_VERSION}.tar.gz)

# ---- The read tap ---------------------------------------------------------------
# Lets the Python module see what the library reads (python/kestrin/_tap.py);
# in the build tree beside the library, where the module looks for it too.
add_library(kestrin_tap SHARED ${PROJECT_SOURCE_DIR}/python/tap/kestrin_tap.c)
set_target_properties(kestrin_tap PROPERTIES
    C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF C_VISIBILITY_PRESET hidden)
target_link_libraries(kestrin_tap PRIVATE kestrin_warnings)
if(WIN32)
    set_target_properties(kestrin_tap PROPERTIES PREFIX "")
else()
    target_link_libraries(kestrin_tap PRIVATE ${CMAKE_DL_LIBS})
    target_link_options(kestrin_tap PRIVATE -Wl,--no-undefined)
endif()

# ---- The tool as the wheel carries it --------------------------------------------
# The same program linked for the wheel, with a search path that finds the
# libudev.so.1 carried beside it, and libstdc++ inside: the policies list
# libstdc++.so.6 only as old as their oldest systems' GCC, older than this
# one's. libgcc_s stays the system's (listed, and only its oldest symbols are
# used): the static unwinder would need glibc 2.35's _dl_find_object.
# --gc-sections leaves out the parts of libstdc++ the tool never calls, among
# them random_device's use of glibc 2.36's arc4random, so that the tool needs
# no newer glibc than it did.
set(kestrin_wheel_tool "")
set(kestrin_wheel_depends kestrin kestrin_tap)
if(NOT WIN32 AND TARGET kestrin_cli)
    add_executable(kestrin_wheel_tool EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/tools/kestrin/main.cpp)
    target_link_libraries(kestrin_wheel_tool PRIVATE kestrin_tool_core kestrin_warnings)
    target_link_options(kestrin_wheel_tool PRIVATE -static-libstdc++ LINKER:--gc-sections)
    set_target_properties(kestrin_wheel_tool PROPERTIES
        OUTPUT_NAME kestrin
        RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/wheel-tool
        INSTALL_RPATH "$ORIGIN"
        BUILD_WITH_INSTALL_RPATH ON)
    set(kestrin_wheel_tool $<TARGET_FILE:kestrin_wheel_tool>)
    list(APPEND kestrin_wheel_depends kestrin_wheel_tool)
endif()

# Where the libraries the tool needs and no policy lists are found, to be
# carried: the target's own library directories first.
set(kestrin_wheel_library_dirs "")
if(KESTRIN_UDEV_LIBRARY)
    get_filename_component(kestrin_udev_dir "${KESTRIN_UDEV_LIBRARY}" DIRECTORY)
    list(APPEND kestrin_wheel_library_dirs ${kestrin_udev_dir})
endif()
if(CMAKE_LIBRARY_ARCHITECTURE)
    list(APPEND kestrin_wheel_library_dirs /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} /lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
list(APPEND kestrin_wheel_library_dirs ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
string(REPLACE ";" "|" kestrin_wheel_library_dirs "${kestrin_wheel_library_dirs}")

find_program(KESTRIN_READELF NAMES ${CMAKE_READELF} readelf DOC "readelf, for the wheel's ELF facts")

add_custom_target(python-wheel
    COMMAND ${CMAKE_COMMAND}
        -DPYTHON=${KESTRIN_SYSTEM_PYTHON}
        -DSOURCE=${PROJECT_SOURCE_DIR}
        -DSTAGE=${PROJECT_BINARY_DIR}/wheel
        -DDIST=${KESTRIN_WHEEL_DIR}
        -DVERSION=${KESTRIN_PACKAGE_VERSION}
        -DPLATFORM=${KESTRIN_WHEEL_PLATFORM}
        -DLIBRARY=$<TARGET_FILE:kestrin>
        -DTAP=$<TARGET_FILE:kestrin_tap>
        -DTOOL=${kestrin_wheel_tool}
        -DLIBRARY_DIRS=${kestrin_wheel_library_dirs}
        -DREADELF=${KESTRIN_READELF}
        -DSTRIP=${CMAKE_STRIP}
        -P ${PROJECT_SOURCE_DIR}/cmake/KestrinBuildWheel.cmake
    DEPENDS ${kestrin_wheel_depends}
    COMMENT "Writing the wheel and the sdist to ${KESTRIN_WHEEL_DIR}"
    VERBATIM)
