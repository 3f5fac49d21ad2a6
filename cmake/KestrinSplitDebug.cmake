# Run by the install step (see KestrinInstall.cmake) on one installed Windows
# binary, KESTRIN_SHIPPED, relative to the prefix: its debug information goes
# to <binary>.debug beside it, the binary is stripped and names that file.
set(binary "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${KESTRIN_SHIPPED}")
get_filename_component(directory "${binary}" DIRECTORY)
get_filename_component(name "${binary}" NAME)
message(STATUS "Splitting debug information: ${binary}.debug")
execute_process(COMMAND "${KESTRIN_OBJCOPY}" --only-keep-debug "${name}" "${name}.debug"
    WORKING_DIRECTORY "${directory}" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${KESTRIN_OBJCOPY}" --strip-debug --strip-unneeded "${name}"
    WORKING_DIRECTORY "${directory}" COMMAND_ERROR_IS_FATAL ANY)
# The link holds the file name only, so the pair can be moved together.
execute_process(COMMAND "${KESTRIN_OBJCOPY}" "--add-gnu-debuglink=${name}.debug" "${name}"
    WORKING_DIRECTORY "${directory}" COMMAND_ERROR_IS_FATAL ANY)
