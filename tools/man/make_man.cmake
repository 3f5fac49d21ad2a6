# Writes the kestrin(1) manual page from the tool's own help: help2man for
# the main help, and each subcommand's help (options, notes, examples) as a
# section of its own, kept as printed.
#
#   cmake -DKESTRIN=<program or wrapper> -DHELP2MAN=<help2man> -DVERSION=<v>
#         -DCOMMANDS=<poll,monitor,...> -DOUTPUT=<kestrin.1> -P make_man.cmake

foreach(var IN ITEMS KESTRIN HELP2MAN VERSION COMMANDS OUTPUT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "make_man.cmake needs -D${var}=...")
    endif()
endforeach()

# Text for a no-fill block: roff must see backslashes, minus signs and a
# leading dot or quote as plain characters.
function(roff_literal text out)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(include "[COMMANDS]\n")
string(REPLACE "," ";" COMMANDS "${COMMANDS}")
foreach(command IN LISTS COMMANDS)
    execute_process(COMMAND ${KESTRIN} ${command} --help
        OUTPUT_VARIABLE help RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR help STREQUAL "")
        message(FATAL_ERROR "kestrin ${command} --help failed (${status})")
    endif()
    string(REGEX REPLACE "\n+$" "" help "${help}")
    roff_literal("${help}" help)
    string(APPEND include ".SS \"kestrin ${command}\"\n.nf\n${help}\n.fi\n")
endforeach()
string(APPEND include "[SEE ALSO]\nThe documents installed with the tool: docs/tool.md (the commands, their JSON, the simulator's script, diagnosing a failing device) and docs/library.md (the library's interface).\n")

get_filename_component(folder "${OUTPUT}" DIRECTORY)
set(include_file "${folder}/kestrin.h2m")
file(WRITE "${include_file}" "${include}")
execute_process(
    COMMAND ${HELP2MAN} --no-info
            --name "check whether a device on a serial port answers with the expected bytes"
            --version-string "${VERSION}" --include "${include_file}" --output "${OUTPUT}.new" ${KESTRIN}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed (${status})")
endif()
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
