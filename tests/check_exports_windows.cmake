# Compares the names in tavlin32.dll's export table, as the PE objdump lists
# them, with the functions its public header declares: they must be the same
# set of 30.
execute_process(COMMAND ${OBJDUMP} -p ${LIB} OUTPUT_VARIABLE dump
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${LIB}")
endif()

# The names follow the "[Ordinal/Name Pointer] Table" line, one per line as
# "[   n] Name", up to the next blank line.
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${LIB} has no export name table")
endif()
string(SUBSTRING "${dump}" ${at} -1 table)
string(REGEX REPLACE "\n[ \t]*\n.*" "" table "${table}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
set(exported "")
foreach(e IN LISTS entries)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${e}")
  string(STRIP "${name}" name)
  list(APPEND exported ${name})
endforeach()
list(SORT exported)

file(READ ${HEADER} header)
string(REGEX MATCHALL "TAVL_API int32_t [A-Za-z]+\\(" decls "${header}")
set(declared "")
foreach(d IN LISTS decls)
  string(REGEX REPLACE "TAVL_API int32_t ([A-Za-z]+)\\(" "\\1" name "${d}")
  list(APPEND declared ${name})
endforeach()
list(SORT declared)
list(LENGTH declared n)

if(NOT n EQUAL 30)
  message(FATAL_ERROR "header declares ${n} functions, not 30: ${declared}")
endif()
if(NOT "${exported}" STREQUAL "${declared}")
  message(FATAL_ERROR "exported: ${exported}\ndeclared: ${declared}")
endif()
message(STATUS "tavlin32.dll exports exactly the ${n} functions of its header")
