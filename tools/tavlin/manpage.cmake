# Makes tavlin.1 with help2man: the page's synopsis, description and options
# come from `tavlin --help`, and a section per subcommand from
# `tavlin SUBCOMMAND --help`, so the page says what the tool says.
#   cmake -DTOOL=... -DHELP2MAN=... -DOUT=... -P manpage.cmake
foreach(var TOOL HELP2MAN OUT)
  if(NOT ${var})
    message(FATAL_ERROR "manpage.cmake: ${var} is not set")
  endif()
endforeach()

# Text for roff inside .nf/.fi: backslashes escaped, and a line starting
# with a dot or an apostrophe kept from reading as a request.
function(roff_text text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE overview RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${TOOL} --help failed")
endif()
string(REGEX MATCH "subcommands:\n(  [^\n]*\n)+" listing "${overview}")
string(REGEX MATCHALL "\n  [a-z-]+( [a-z]+)?  " names "${listing}")

set(include_text "[SUBCOMMANDS]\n")
foreach(name ${names})
  string(STRIP "${name}" name)
  separate_arguments(words UNIX_COMMAND "${name}")
  execute_process(COMMAND ${TOOL} ${words} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${name} --help failed")
  endif()
  roff_text("${help}" help)
  string(APPEND include_text ".SS \"${name}\"\n.nf\n${help}.fi\n")
endforeach()
string(APPEND include_text "[FILES]\n"
  ".TP\n.I .NAME.lock\n"
  "The lock file beside the table NAME that the edits (set, add-row, add-column,\n"
  "rename-column, delete-row, delete-column) hold\n"
  "while they read, change and save it. Made by the first edit and left in place.\n")
get_filename_component(dir ${OUT} DIRECTORY)
file(WRITE ${dir}/tavlin.h2m "${include_text}")

execute_process(COMMAND ${HELP2MAN} --no-info --section=1
                        "--name=read and edit delimited text tables"
                        --include=${dir}/tavlin.h2m --output=${OUT} ${TOOL}
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed: ${err}")
endif()
