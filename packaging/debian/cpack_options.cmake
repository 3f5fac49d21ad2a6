# Read by cpack once per generator (CPACK_PROJECT_CONFIG_FILE).
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_COMPONENTS_ALL ${CPACK_KESTRIN_DEB_COMPONENTS})
    # Each package's description starts with its own summary line.
    unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
    # dpkg-shlibdeps resolves the libraries of the packages' architecture,
    # which a cross build does not share with the build machine.
    set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
endif()
