# Fails when a committed copy of a generated file differs from what this
# build generated.   cmake -DGENERATED=... -DCOMMITTED=... -P check_current.cmake
file(READ ${GENERATED} generated)
file(READ ${COMMITTED} committed)
if(NOT generated STREQUAL committed)
    message(FATAL_ERROR "${COMMITTED} is out of date with cmake/KestrinAbi.cmake; "
                        "copy ${GENERATED} over it and commit it")
endif()
message(STATUS "${COMMITTED} matches what the build generates")
