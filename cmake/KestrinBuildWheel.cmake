# cmake -DPYTHON=... -DSOURCE=... -DSTAGE=... -DDIST=... -DVERSION=... -DPLATFORM=...
#       -DLIBRARY=... -DTAP=... [-DTOOL=...] [-DLIBRARY_DIRS=a|b] -DREADELF=... -DSTRIP=...
#       -P KestrinBuildWheel.cmake
# The python-wheel target's work (KestrinWheel.cmake): the package's sources,
# the library, the read tap and the tool are laid out in STAGE, then
# setuptools (Debian's, no download) builds the wheel from there, tagged for
# PLATFORM; and the sources alone make the sdist.
#
# On Linux PLATFORM is manylinux_GLIBC_<machine>: what the tool needs beyond
# the libraries every manylinux policy lists is copied beside it (found in
# LIBRARY_DIRS), and GLIBC becomes the highest glibc symbol version the
# wheel's ELF files need (PEP 600: manylinux_2_34_x86_64 runs wherever glibc
# is 2.34 or newer).
cmake_policy(VERSION 3.25)
file(REMOVE_RECURSE "${STAGE}" "${STAGE}-sdist")
file(MAKE_DIRECTORY "${STAGE}/kestrin" "${STAGE}-sdist/kestrin" "${DIST}")
file(GLOB sources "${SOURCE}/python/kestrin/*.py" "${SOURCE}/python/kestrin/py.typed")
foreach(stage IN ITEMS "${STAGE}" "${STAGE}-sdist")
    file(COPY "${SOURCE}/python/pyproject.toml" "${SOURCE}/LICENSE" DESTINATION "${stage}")
    file(COPY ${sources} DESTINATION "${stage}/kestrin")
endforeach()

# Beside the module, where it looks first. On Linux as libkestrin.so, the
# name the tool looks for beside itself too.
get_filename_component(library_name "${LIBRARY}" NAME)
if(library_name MATCHES "\\.dll$")
    set(bundled "${STAGE}/kestrin/kestrin.dll")
    set(tap "${STAGE}/kestrin/kestrin_tap.dll")
    set(linux FALSE)
else()
    set(bundled "${STAGE}/kestrin/libkestrin.so")
    set(tap "${STAGE}/kestrin/libkestrin_tap.so")
    set(linux TRUE)
endif()
file(COPY_FILE "${LIBRARY}" "${bundled}")
file(COPY_FILE "${TAP}" "${tap}")
execute_process(COMMAND "${STRIP}" --strip-unneeded "${bundled}" "${tap}" COMMAND_ERROR_IS_FATAL ANY)
set(elf_files "${bundled}" "${tap}")
if(TOOL)
    file(COPY_FILE "${TOOL}" "${STAGE}/kestrin/kestrin")
    execute_process(COMMAND "${STRIP}" "${STAGE}/kestrin/kestrin" COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND elf_files "${STAGE}/kestrin/kestrin")
endif()

if(linux)
    # What every manylinux policy lists (PEP 599's and PEP 600's lists are
    # the same), and glibc's dynamic loader, which is glibc's own.
    set(policy_libraries
        libc.so.6 libm.so.6 libdl.so.2 librt.so.1 libpthread.so.0 libutil.so.1 libnsl.so.1 libresolv.so.2
        libgcc_s.so.1 libstdc++.so.6 libX11.so.6 libXext.so.6 libXrender.so.1 libICE.so.6 libSM.so.6 libGL.so.1
        libgobject-2.0.so.0 libgthread-2.0.so.0 libglib-2.0.so.0
        ld-linux-x86-64.so.2 ld-linux-aarch64.so.1 ld-linux-armhf.so.3 ld-linux.so.2)
    string(REPLACE "|" ";" library_dirs "${LIBRARY_DIRS}")

    # The libraries the ELF files need that no policy lists, and those they
    # need in turn, copied beside the tool, each with its copyright file.
    set(queue ${elf_files})
    while(queue)
        list(POP_FRONT queue file)
        execute_process(COMMAND "${READELF}" -d --wide "${file}" OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
        string(REGEX MATCHALL "\\(NEEDED\\)[^[]*\\[[^]]*\\]" needed "${dynamic}")
        foreach(entry IN LISTS needed)
            string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" name "${entry}")
            if(name IN_LIST policy_libraries OR EXISTS "${STAGE}/kestrin/${name}")
                continue()
            endif()
            find_file(found_${name} "${name}" PATHS ${library_dirs} NO_DEFAULT_PATH NO_CACHE)
            if(NOT found_${name})
                message(FATAL_ERROR "${file} needs ${name}, which is not in ${library_dirs}")
            endif()
            file(REAL_PATH "${found_${name}}" real)
            file(COPY_FILE "${real}" "${STAGE}/kestrin/${name}")
            list(APPEND queue "${STAGE}/kestrin/${name}")
            list(APPEND elf_files "${STAGE}/kestrin/${name}")
            execute_process(COMMAND dpkg-query -S "${found_${name}}" OUTPUT_VARIABLE owner RESULT_VARIABLE status
                            ERROR_QUIET)
            string(REGEX REPLACE "^([^:]+).*" "\\1" owner "${owner}")
            if(status EQUAL 0 AND EXISTS "/usr/share/doc/${owner}/copyright")
                file(COPY_FILE "/usr/share/doc/${owner}/copyright" "${STAGE}/kestrin/${name}.copyright")
            else()
                message(FATAL_ERROR "${name}: no copyright file found to carry with it")
            endif()
            message(STATUS "Carrying ${real} as kestrin/${name}")
        endforeach()
    endwhile()

    # The tag: the highest GLIBC_X.Y any of them needs.
    set(glibc_major 2)
    set(glibc_minor 0)
    foreach(file IN LISTS elf_files)
        execute_process(COMMAND "${READELF}" -V --wide "${file}" OUTPUT_VARIABLE versions COMMAND_ERROR_IS_FATAL ANY)
        string(FIND "${versions}" "Version needs section" at)
        if(at LESS 0)
            continue()
        endif()
        string(SUBSTRING "${versions}" ${at} -1 needs)
        string(REGEX MATCHALL "Name: GLIBC_[0-9]+\\.[0-9]+" names "${needs}")
        foreach(name IN LISTS names)
            string(REGEX REPLACE "Name: GLIBC_([0-9]+)\\.([0-9]+)" "\\1;\\2" pair "${name}")
            list(GET pair 0 major)
            list(GET pair 1 minor)
            if(major GREATER glibc_major OR (major EQUAL glibc_major AND minor GREATER glibc_minor))
                set(glibc_major ${major})
                set(glibc_minor ${minor})
            endif()
        endforeach()
    endforeach()
    string(REPLACE "GLIBC" "${glibc_major}_${glibc_minor}" PLATFORM "${PLATFORM}")
endif()

file(GLOB old "${DIST}/kestrin-*.whl" "${DIST}/kestrin-*.tar.gz")
if(old)
    file(REMOVE ${old})
endif()
set(WHEEL "${DIST}/kestrin-${VERSION}-py3-none-${PLATFORM}.whl")
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

# The module alone, for other distributions to build against their own library.
set(SDIST "${DIST}/kestrin-${VERSION}.tar.gz")
execute_process(
    COMMAND "${PYTHON}" -c "import sys; from setuptools import build_meta; print(build_meta.build_sdist(sys.argv[1]))" "${DIST}"
    WORKING_DIRECTORY "${STAGE}-sdist"
    OUTPUT_VARIABLE built OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
if(NOT EXISTS "${SDIST}")
    message(FATAL_ERROR "setuptools did not write ${SDIST}")
endif()
message(STATUS "Wrote ${SDIST}")
