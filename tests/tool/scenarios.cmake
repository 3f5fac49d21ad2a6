# The tool end to end (tool_test.py): every scenario group as a test of its
# own, so that groups run side by side, under the runner this build's tool
# runs with: natively, through the emulator (qemu-user), or under Wine. The
# groups come from the scenario file, which knows which apply where.
find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)

set(scenario_file ${CMAKE_CURRENT_LIST_DIR}/tool_test.py)
set(scenario_labels tool)
set(scenario_properties TIMEOUT 120)
if(KESTRIN_TEST_HOST STREQUAL windows)
    list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 wine)
    set(runner wine)
    set(runner_arguments $<TARGET_FILE:kestrin_cli> ${KESTRIN_WINEPREFIX} ${wine})
    list(APPEND scenario_labels wine)
    set(scenario_properties TIMEOUT 180 FIXTURES_REQUIRED wine_prefix)
elseif(KESTRIN_EMULATOR)
    list(JOIN KESTRIN_EMULATOR " " emulator_text)
    set(runner qemu)
    set(runner_arguments "${emulator_text}" $<TARGET_FILE:kestrin_cli> $<TARGET_FILE:kestrin>)
else()
    set(runner native)
    set(runner_arguments $<TARGET_FILE:kestrin_cli> $<TARGET_FILE:kestrin>)
endif()

# A new group in the file is registered at the next build.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${scenario_file})
execute_process(COMMAND ${Python3_EXECUTABLE} ${scenario_file} groups ${runner}
    OUTPUT_VARIABLE scenario_groups RESULT_VARIABLE listed OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT listed EQUAL 0 OR NOT scenario_groups)
    message(FATAL_ERROR "tool_test.py lists no scenario groups for ${runner}")
endif()
string(REPLACE "\n" ";" scenario_groups "${scenario_groups}")

foreach(group IN LISTS scenario_groups)
    add_test(NAME tool_scenario.${group}
        COMMAND ${Python3_EXECUTABLE} ${scenario_file} ${runner} ${runner_arguments} ${group})
    set_tests_properties(tool_scenario.${group} PROPERTIES ${scenario_properties} LABELS "${scenario_labels}")
endforeach()
# Under Wine the groups that fake USB adapters share the prefix's registry
# and COM ports, and a loaded machine stretches every plug and unplug: they
# take turns rather than run into each other's adapters.
if(runner STREQUAL wine)
    foreach(group IN ITEMS Ports UsbIdentity StationLoop)
        if(group IN_LIST scenario_groups)
            set_tests_properties(tool_scenario.${group} PROPERTIES RESOURCE_LOCK wine_usb_adapters)
        endif()
    endforeach()
endif()
