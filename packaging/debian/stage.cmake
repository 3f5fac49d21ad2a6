# Run by cpack on its staging tree before it writes the packages
# (CPACK_PRE_BUILD_SCRIPTS). For the .deb packages it does what Debian asks of
# every package and CPack does not do, or does otherwise:
#   - the copyright file and the changelog (gzip -9n, so that the package does
#     not change with the time it was built), and compressed man pages;
#   - binaries stripped as Debian strips them (no .comment or .note), and no
#     RUNPATH on the programs in /usr/bin, which find the library where the
#     system's loader looks;
#   - Depends read from the binaries by dpkg-shlibdeps, for the packages'
#     architecture (CPack's own reading would add maintainer scripts that run
#     ldconfig, where the library package has dpkg's trigger).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()

set(directory_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(file_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The changelog's latest entry must be the version being packaged.
file(STRINGS "${CPACK_KESTRIN_CHANGELOG}" latest LIMIT_COUNT 1)
if(NOT latest MATCHES "^kestrin \\(([^)]+)\\) ")
    message(FATAL_ERROR "${CPACK_KESTRIN_CHANGELOG}: the first line is not a Debian changelog entry: ${latest}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL CPACK_DEBIAN_PACKAGE_VERSION)
    message(FATAL_ERROR "${CPACK_KESTRIN_CHANGELOG}: the latest entry is ${CMAKE_MATCH_1}, "
        "but the packages are ${CPACK_DEBIAN_PACKAGE_VERSION}: add an entry for it")
endif()

function(gzip_reproducibly source target)
    execute_process(COMMAND gzip -9n -c "${source}" OUTPUT_FILE "${target}" COMMAND_ERROR_IS_FATAL ANY)
    file(CHMOD "${target}" PERMISSIONS ${file_permissions})
endfunction()

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(root "${CPACK_TEMPORARY_DIRECTORY}/${component}${CPACK_PACKAGING_INSTALL_PREFIX}")

    set(docdir "${root}/${CPACK_KESTRIN_DOCDIR}/${package}")
    file(MAKE_DIRECTORY "${docdir}")
    file(COPY_FILE "${CPACK_KESTRIN_COPYRIGHT}" "${docdir}/copyright")
    file(CHMOD "${docdir}/copyright" PERMISSIONS ${file_permissions})
    gzip_reproducibly("${CPACK_KESTRIN_CHANGELOG}" "${docdir}/changelog.gz")

    file(GLOB_RECURSE pages LIST_DIRECTORIES false "${root}/${CPACK_KESTRIN_MANDIR}/*")
    foreach(page IN LISTS pages)
        if(NOT page MATCHES "\\.gz$")
            gzip_reproducibly("${page}" "${page}.gz")
            file(REMOVE "${page}")
        endif()
    endforeach()

    file(GLOB_RECURSE files LIST_DIRECTORIES false "${root}/*")
    set(binaries)
    foreach(file IN LISTS files)
        if(IS_SYMLINK "${file}")
            continue()
        endif()
        file(READ "${file}" magic LIMIT 4 HEX)
        if(NOT magic STREQUAL "7f454c46")
            continue()
        endif()
        list(APPEND binaries "${file}")
        get_filename_component(directory "${file}" DIRECTORY)
        if(directory STREQUAL "${root}/${CPACK_KESTRIN_BINDIR}")
            file(RPATH_REMOVE FILE "${file}")
            execute_process(COMMAND "${CPACK_KESTRIN_STRIP}" --remove-section=.comment --remove-section=.note "${file}"
                COMMAND_ERROR_IS_FATAL ANY)
        else()
            execute_process(COMMAND "${CPACK_KESTRIN_STRIP}" --remove-section=.comment --remove-section=.note
                    --strip-unneeded "${file}"
                COMMAND_ERROR_IS_FATAL ANY)
        endif()
    endforeach()

    if(binaries)
        # dpkg-shlibdeps runs in a source tree (it needs debian/control) and
        # knows a package's root by its DEBIAN directory.
        set(scratch "${CPACK_TEMPORARY_DIRECTORY}/shlibdeps-${component}")
        file(MAKE_DIRECTORY "${scratch}/debian" "${CPACK_TEMPORARY_DIRECTORY}/${component}/DEBIAN")
        file(TOUCH "${scratch}/debian/control")
        execute_process(COMMAND dpkg-shlibdeps -O ${binaries}
            WORKING_DIRECTORY "${scratch}"
            OUTPUT_VARIABLE substitution OUTPUT_STRIP_TRAILING_WHITESPACE
            COMMAND_ERROR_IS_FATAL ANY)
        file(REMOVE_RECURSE "${scratch}" "${CPACK_TEMPORARY_DIRECTORY}/${component}/DEBIAN")
        string(REGEX REPLACE "^shlibs:Depends=" "" found "${substitution}")
        # Read from a cross toolchain's own copies (libc6-arm64-cross) rather
        # than the architecture's packages, dependencies name an architecture.
        if(found MATCHES "(^|, )[a-z0-9.+-]+:[a-z0-9]+( |,|$)")
            message(FATAL_ERROR "${package}: dpkg-shlibdeps gives ${found}: install the "
                "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} packages of the libraries it links "
                "(e.g. libc6:${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} libstdc++6:${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})")
        endif()
        if(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS)
            set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${found}, ${CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS}")
        else()
            set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${found}")
        endif()
        message(STATUS "${package}: Depends: ${CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS}")
    endif()

    # Directories made here, or by an install step under another umask.
    file(GLOB_RECURSE directories LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/${component}/*")
    foreach(path IN LISTS directories)
        if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
            file(CHMOD "${path}" PERMISSIONS ${directory_permissions})
        endif()
    endforeach()
endforeach()
