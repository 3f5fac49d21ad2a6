# cmake -DPYTHON=... -DSOURCE=... -DSTAGE=... -DDIST=... -DWHEEL=... -DPLATFORM=...
#       -DLIBRARY=... [-DTOOL=...] -DSTRIP=... -P KestrinBuildWheel.cmake
# The python-wheel target's work (KestrinWheel.cmake): the package's sources,
# the library and the tool are laid out in STAGE, then setuptools (Debian's,
# no download) builds the wheel from there, tagged for PLATFORM.
file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}/kestrin" "${DIST}")
file(COPY "${SOURCE}/python/pyproject.toml" "${SOURCE}/LICENSE" DESTINATION "${STAGE}")
file(GLOB sources "${SOURCE}/python/kestrin/*.py" "${SOURCE}/python/kestrin/py.typed")
file(COPY ${sources} DESTINATION "${STAGE}/kestrin")

# Beside the module, where it looks first. On Linux as libkestrin.so, the
# name the tool looks for beside itself too.
get_filename_component(library_name "${LIBRARY}" NAME)
if(library_name MATCHES "\\.dll$")
    set(bundled "${STAGE}/kestrin/kestrin.dll")
else()
    set(bundled "${STAGE}/kestrin/libkestrin.so")
endif()
file(COPY_FILE "${LIBRARY}" "${bundled}")
execute_process(COMMAND "${STRIP}" --strip-unneeded "${bundled}" COMMAND_ERROR_IS_FATAL ANY)
if(TOOL)
    file(COPY_FILE "${TOOL}" "${STAGE}/kestrin/kestrin")
    # Its RUNPATH points into an installed tree's libdir, which a wheel has not.
    file(RPATH_REMOVE FILE "${STAGE}/kestrin/kestrin")
    execute_process(COMMAND "${STRIP}" "${STAGE}/kestrin/kestrin" COMMAND_ERROR_IS_FATAL ANY)
endif()

file(GLOB old "${DIST}/kestrin-*.whl")
if(old)
    file(REMOVE ${old})
endif()
# The package is pure Python to setuptools; --plat-name tags it py3-none-PLATFORM.
execute_process(
    COMMAND "${PYTHON}" -c "import sys; from setuptools import build_meta; print(build_meta.build_wheel(sys.argv[1], {'--build-option': ['--plat-name', sys.argv[2]]}))" "${DIST}" "${PLATFORM}"
    WORKING_DIRECTORY "${STAGE}"
    OUTPUT_VARIABLE built OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "[^\n]*$" built "${built}")
if(NOT EXISTS "${WHEEL}")
    message(FATAL_ERROR "setuptools wrote ${built}, not ${WHEEL}")
endif()
message(STATUS "Wrote ${WHEEL}")
