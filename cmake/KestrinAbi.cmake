# The facts of Kestrin's binary interface, written here and nowhere else: the
# version, the about text's fixed parts and the exported names. Hosts compiled
# years ago depend on every one of them, so they only ever change on purpose.
#
# Included before project(), so that the project's version is this one. The
# function kestrin_generate_abi_files() (called after project()) writes what
# is made from them: the public header, the export list, the version resource,
# the module's internal facts header and the Python module's names.

# The four numbers of the version resource. KestrinVersion answers them one
# per byte, most significant first: 1.0.0.0 is 0x01000000.
set(KESTRIN_VERSION 1.0.0.0)

# The longest expected reply pollUart accepts: the size of its receive buffer.
set(KESTRIN_MAX_LENGTH 20)

# KestrinAbout's printf format (C escapes), given the four version numbers,
# the build date and the build time.
set(KESTRIN_ABOUT_FORMAT [[Name:\t\tXMODEM\nVersion:\t%d.%d.%d.%02d\nDate:\t\t%s (%s)\n\nNote:\t\t\n]])

# The exports. The functions have C++ linkage, so each toolchain exports them
# under its own decorated name: GCC's (Linux, MinGW) and Microsoft's for
# 32-bit and 64-bit Windows. The DLLs export both kinds, the Linux library
# GCC's only. The macro stem names the header's KESTRIN_<stem>_NAME.
#   function       macro stem  GCC                  Microsoft 32-bit          Microsoft 64-bit
set(KESTRIN_EXPORT_TABLE
    pollUart       POLL_UART   _Z8pollUartPviPhi    ?pollUart@@YAHPAXHPAEH@Z  ?pollUart@@YAHPEAXHPEAEH@Z
    KestrinVersion VERSION     _Z14KestrinVersionv  ?KestrinVersion@@YAHXZ    ?KestrinVersion@@YAHXZ
    KestrinAbout   ABOUT       _Z12KestrinAboutv    ?KestrinAbout@@YAPADXZ    ?KestrinAbout@@YAPEADXZ)

# ---- Derived facts ---------------------------------------------------------------
string(REPLACE "." ";" kestrin_version_numbers ${KESTRIN_VERSION})
list(GET kestrin_version_numbers 0 KESTRIN_VERSION_MAJOR)
list(GET kestrin_version_numbers 1 KESTRIN_VERSION_MINOR)
list(GET kestrin_version_numbers 2 KESTRIN_VERSION_PATCH)
list(GET kestrin_version_numbers 3 KESTRIN_VERSION_TWEAK)
string(REPLACE "." "," KESTRIN_VERSION_COMMAS ${KESTRIN_VERSION})
# The packages' version (.deb, wheel, archives): the four numbers, without a
# fourth that is 0, so 1.0.0.0 ships as 1.0.0 and 1.0.0.1 as 1.0.0.1.
if(KESTRIN_VERSION_TWEAK EQUAL 0)
    set(KESTRIN_PACKAGE_VERSION ${KESTRIN_VERSION_MAJOR}.${KESTRIN_VERSION_MINOR}.${KESTRIN_VERSION_PATCH})
else()
    set(KESTRIN_PACKAGE_VERSION ${KESTRIN_VERSION})
endif()
math(EXPR KESTRIN_MODULE_VERSION
    "(${KESTRIN_VERSION_MAJOR} << 24) | (${KESTRIN_VERSION_MINOR} << 16) | (${KESTRIN_VERSION_PATCH} << 8) | ${KESTRIN_VERSION_TWEAK}"
    OUTPUT_FORMAT HEXADECIMAL)

# The about text around the build stamps, as the format prints it for this
# version: what hosts and tests can compare without running the module.
string(LENGTH "0${KESTRIN_VERSION_TWEAK}" kestrin_tweak_length)
if(kestrin_tweak_length GREATER 2)
    set(kestrin_tweak_02 ${KESTRIN_VERSION_TWEAK})
else()
    set(kestrin_tweak_02 "0${KESTRIN_VERSION_TWEAK}")
endif()
set(kestrin_about_numbers "%d.%d.%d.%02d")
string(FIND "${KESTRIN_ABOUT_FORMAT}" "${kestrin_about_numbers}" kestrin_numbers_at)
string(FIND "${KESTRIN_ABOUT_FORMAT}" "%s (%s)" kestrin_stamps_at)
if(kestrin_numbers_at LESS 0 OR kestrin_stamps_at LESS kestrin_numbers_at)
    message(FATAL_ERROR "KESTRIN_ABOUT_FORMAT must hold ${kestrin_about_numbers} and then \"%s (%s)\"")
endif()
string(REPLACE "${kestrin_about_numbers}"
    "${KESTRIN_VERSION_MAJOR}.${KESTRIN_VERSION_MINOR}.${KESTRIN_VERSION_PATCH}.${kestrin_tweak_02}"
    kestrin_about_printed "${KESTRIN_ABOUT_FORMAT}")
string(FIND "${kestrin_about_printed}" "%s (%s)" kestrin_stamps_at)
string(SUBSTRING "${kestrin_about_printed}" 0 ${kestrin_stamps_at} KESTRIN_ABOUT_BEFORE_DATE)
math(EXPR kestrin_after_stamps "${kestrin_stamps_at} + 7")
string(SUBSTRING "${kestrin_about_printed}" ${kestrin_after_stamps} -1 KESTRIN_ABOUT_AFTER_TIME)
set(KESTRIN_ABOUT_BETWEEN " (")
string(PREPEND KESTRIN_ABOUT_AFTER_TIME ")")

# Rewrites a file only when its text changes, so that what depends on it is
# not rebuilt on every configure.
function(kestrin_write_if_changed path content)
    if(EXISTS ${path})
        file(READ ${path} old)
        if(old STREQUAL content)
            return()
        endif()
    endif()
    file(WRITE ${path} "${content}")
endfunction()

# Writes the files made from the facts into <build>/generated:
#   include/kestrin.h   the public header, with the names for every platform
#   abi_facts.h         version and about text, for the module, tool and tests
#   kestrin.def         (Windows) or kestrin.map (Linux): the export list
#   kestrin.rc          (Windows) the version resource
#   python/_abi.py      the Python module's names and version
# and sets KESTRIN_GENERATED_DIR and KESTRIN_EXPORT_LIST.
function(kestrin_generate_abi_files)
    set(out ${PROJECT_BINARY_DIR}/generated)
    set(KESTRIN_GENERATED_DIR ${out} PARENT_SCOPE)

    set(table ${KESTRIN_EXPORT_TABLE})
    set(gcc_names)
    set(msvc32_names)
    set(msvc64_names)
    set(header_linux)
    set(header_win32)
    set(header_win64)
    set(facts_gcc)
    set(python_linux)
    set(python_win32)
    set(python_win64)
    while(table)
        list(POP_FRONT table function stem gcc msvc32 msvc64)
        list(APPEND gcc_names ${gcc})
        list(APPEND msvc32_names ${msvc32})
        list(APPEND msvc64_names ${msvc64})
        string(APPEND header_linux "#define KESTRIN_${stem}_NAME \"${gcc}\"\n")
        string(APPEND header_win32 "#define KESTRIN_${stem}_NAME \"${msvc32}\"\n")
        string(APPEND header_win64 "#define KESTRIN_${stem}_NAME \"${msvc64}\"\n")
        string(APPEND facts_gcc "#define KESTRIN_GCC_${stem}_NAME \"${gcc}\"\n")
        string(APPEND python_linux "        \"${function}\": \"${gcc}\",\n")
        string(APPEND python_win32 "        \"${function}\": \"${msvc32}\",\n")
        string(APPEND python_win64 "        \"${function}\": \"${msvc64}\",\n")
    endwhile()
    foreach(part IN ITEMS header_linux header_win32 header_win64 facts_gcc)
        string(REGEX REPLACE "\n$" "" ${part} "${${part}}")
    endforeach()
    set(KESTRIN_HEADER_NAMES_LINUX "${header_linux}")
    set(KESTRIN_HEADER_NAMES_WIN32 "${header_win32}")
    set(KESTRIN_HEADER_NAMES_WIN64 "${header_win64}")
    set(KESTRIN_FACTS_GCC_NAMES "${facts_gcc}")
    set(KESTRIN_PYTHON_NAMES_LINUX "${python_linux}")
    set(KESTRIN_PYTHON_NAMES_WIN32 "${python_win32}")
    set(KESTRIN_PYTHON_NAMES_WIN64 "${python_win64}")

    configure_file(${PROJECT_SOURCE_DIR}/include/kestrin.h.in ${out}/include/kestrin.h @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/identity/abi_facts.h.in ${out}/abi_facts.h @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/python_abi.py.in ${out}/python/_abi.py @ONLY)

    # The names this build's library must export, exactly.
    if(KESTRIN_FLAVOUR STREQUAL win32)
        set(exported ${gcc_names} ${msvc32_names})
        set(aliases ${msvc32_names})
    elseif(KESTRIN_FLAVOUR STREQUAL win64)
        set(exported ${gcc_names} ${msvc64_names})
        set(aliases ${msvc64_names})
    else()
        set(exported ${gcc_names})
    endif()
    set(KESTRIN_EXPORT_LIST ${exported} PARENT_SCOPE)

    if(WIN32)
        # Microsoft's names first, as aliases of the functions GCC compiled,
        # then GCC's own for hosts that link the MinGW import library.
        set(def "LIBRARY kestrin.dll\nEXPORTS\n")
        foreach(alias gcc IN ZIP_LISTS aliases gcc_names)
            string(APPEND def "    \"${alias}\" = ${gcc}\n")
        endforeach()
        foreach(gcc IN LISTS gcc_names)
            string(APPEND def "    ${gcc}\n")
        endforeach()
        kestrin_write_if_changed(${out}/kestrin.def "${def}")
        configure_file(${PROJECT_SOURCE_DIR}/identity/kestrin.rc.in ${out}/kestrin.rc @ONLY)
    else()
        set(map "{\n  global:\n")
        foreach(gcc IN LISTS gcc_names)
            string(APPEND map "    ${gcc};\n")
        endforeach()
        string(APPEND map "  local:\n    *;\n};\n")
        kestrin_write_if_changed(${out}/kestrin.map "${map}")
    endif()
endfunction()
