# `cmake --build build/<preset> --target python-wheel` writes the Python
# package as a wheel to build/<preset>/dist/, with this build's library inside
# (and on Linux the kestrin tool, which plays the simulated devices of
# kestrin.testing), tagged for the platform it runs on: linux_x86_64,
# linux_aarch64, linux_armv7l, win32 or win_amd64. Installed into any
# environment, `import kestrin` finds the library beside the module.
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
    set(KESTRIN_WHEEL_PLATFORM linux_${kestrin_machine})
endif()
set(KESTRIN_WHEEL_DIR ${PROJECT_BINARY_DIR}/dist)
set(KESTRIN_WHEEL ${KESTRIN_WHEEL_DIR}/kestrin-${KESTRIN_PACKAGE_VERSION}-py3-none-${KESTRIN_WHEEL_PLATFORM}.whl)

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

set(kestrin_wheel_tool "")
set(kestrin_wheel_depends kestrin)
if(NOT WIN32 AND TARGET kestrin_cli)
    set(kestrin_wheel_tool $<TARGET_FILE:kestrin_cli>)
    list(APPEND kestrin_wheel_depends kestrin_cli)
endif()
add_custom_target(python-wheel
    COMMAND ${CMAKE_COMMAND}
        -DPYTHON=${KESTRIN_SYSTEM_PYTHON}
        -DSOURCE=${PROJECT_SOURCE_DIR}
        -DSTAGE=${PROJECT_BINARY_DIR}/wheel
        -DDIST=${KESTRIN_WHEEL_DIR}
        -DWHEEL=${KESTRIN_WHEEL}
        -DPLATFORM=${KESTRIN_WHEEL_PLATFORM}
        -DLIBRARY=$<TARGET_FILE:kestrin>
        -DTOOL=${kestrin_wheel_tool}
        -DSTRIP=${CMAKE_STRIP}
        -P ${PROJECT_SOURCE_DIR}/cmake/KestrinBuildWheel.cmake
    DEPENDS ${kestrin_wheel_depends}
    COMMENT "Writing ${KESTRIN_WHEEL}"
    VERBATIM)
