# cmake -DBUILD_DIR=... -DPREFIX=... -P install_tree.cmake
# A fresh install of the build tree under PREFIX, as a user runs it.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
    COMMAND_ERROR_IS_FATAL ANY)
