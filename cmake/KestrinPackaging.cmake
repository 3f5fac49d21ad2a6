# Release archives and Debian packages: `cpack` in a build directory writes,
# named with the version and platform,
#   Linux    a .tar.gz of everything `cmake --install` installs, and one .deb
#            per install component: libkestrin1, libkestrin-dev, kestrin and
#            python3-kestrin (cross builds make them for their own
#            architecture);
#   Windows  a .zip for each width.
set(CPACK_PACKAGE_NAME kestrin)
set(CPACK_PACKAGE_VENDOR "The Kestrin developers")
set(CPACK_PACKAGE_CONTACT "The Kestrin developers <kestrin@users.noreply.invalid>")
set(CPACK_PACKAGE_VERSION ${KESTRIN_PACKAGE_VERSION})
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
    # Strips what the archive and the packages ship (not the build tree).
    set(CPACK_STRIP_FILES ON)
    include(${CMAKE_CURRENT_LIST_DIR}/KestrinDebian.cmake)
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})

include(CPack)
