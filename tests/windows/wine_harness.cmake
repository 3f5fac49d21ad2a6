# Windows programs under Wine, in the cross builds' tests. wine_com.py does the
# work: a throwaway prefix in the build tree, and scripted serial devices on
# Linux pseudo-terminals that the program sees as COM ports.
#
#   include(${PROJECT_SOURCE_DIR}/tests/windows/wine_harness.cmake)
#   kestrin_add_wine_test(NAME tool_poll_matches
#       [TIMEOUT seconds]            # whole test; default 60
#       [DEVICE name "script"]...    # a COM port each, played from Linux
#       COMMAND $<TARGET_FILE:kestrin_tool> poll {name} --expect OK ...)
#
# {name} in the command becomes that device's port (COM20 and up). A script
# is steps separated by spaces, e.g. "expect:PING\\r\\n wait:200 send:OK\\r\\n"
# (the steps are described in tests/tool/scripted_device.py). The test fails when the
# program fails, a device waits in vain for the program's bytes, or the
# timeout passes (the program and the prefix's wineserver are then killed).
#
# Every such test requires the fixture wine_prefix, which creates
# <build dir>/wineprefix on the first run (wineboot, tens of seconds). Each
# build tree has its own prefix and wineserver, so presets can test at the
# same time; WINEDEBUG is -all and ~/.wine is never touched.

find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)

set(KESTRIN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)

get_property(kestrin_wine_fixture_defined GLOBAL PROPERTY KESTRIN_WINE_FIXTURE_DEFINED)
if(NOT kestrin_wine_fixture_defined)
    set_property(GLOBAL PROPERTY KESTRIN_WINE_FIXTURE_DEFINED TRUE)
    add_test(NAME wine_prefix
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/wine_com.py
                prefix ${KESTRIN_WINEPREFIX} --timeout 280)
    set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 300 LABELS wine)
    # The prefix's wineserver stays up from the first test to the last.
    add_test(NAME wine_prefix_stop
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/wine_com.py stop ${KESTRIN_WINEPREFIX})
    set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine_prefix TIMEOUT 60 LABELS wine)
endif()

function(kestrin_add_wine_test)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;TIMEOUT" "DEVICE;COMMAND")
    if(NOT arg_NAME OR NOT arg_COMMAND)
        message(FATAL_ERROR "kestrin_add_wine_test: NAME and COMMAND are required")
    endif()
    if(NOT arg_TIMEOUT)
        set(arg_TIMEOUT 60)
    endif()
    list(LENGTH arg_DEVICE device_words)
    math(EXPR odd "${device_words} % 2")
    if(odd)
        message(FATAL_ERROR "kestrin_add_wine_test(${arg_NAME}): DEVICE takes a name and a script")
    endif()
    set(devices)
    while(arg_DEVICE)
        list(POP_FRONT arg_DEVICE device script)
        list(APPEND devices --device "${device}=${script}")
    endwhile()
    list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 wine)
    if(NOT wine)
        set(wine wine)
    endif()
    # The harness stops the program a little before CTest would stop the
    # harness, so that Wine is cleaned up and the output kept.
    math(EXPR program_timeout "${arg_TIMEOUT} - 5")

    add_test(NAME ${arg_NAME}
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/wine_com.py
                run --prefix ${KESTRIN_WINEPREFIX} --wine ${wine} --timeout ${program_timeout}
                ${devices} -- ${arg_COMMAND})
    set_tests_properties(${arg_NAME} PROPERTIES
        FIXTURES_REQUIRED wine_prefix TIMEOUT ${arg_TIMEOUT} LABELS wine)
endfunction()
