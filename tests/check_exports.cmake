# Compares the names tavlin32 exports with the functions its public header
# declares: they must be the same set of 30. With OBJDUMP set the library is
# a PE DLL and its export name table is read; otherwise the ELF dynamic
# symbols it defines are read with nm.
set(exported "")
if(OBJDUMP)
  execute_process(COMMAND ${OBJDUMP} -p ${LIB} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p failed on ${LIB}")
  endif()
  # The names follow the "[Ordinal/Name Pointer] Table" line, one per line
  # as "[   n] Name", up to the next blank line.
  string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${LIB} has no export name table")
  endif()
  string(SUBSTRING "${dump}" ${at} -1 table)
  string(REGEX REPLACE "\n[ \t]*\n.*" "" table "${table}")
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
  set(prefix "^\\[ *[0-9]+\\] ")
else()
  execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIB}")
  endif()
  string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Za-z] [^\n]+" entries "${dump}")
  set(prefix "^[0-9a-fA-F]+ [A-Za-z] ")
endif()
foreach(e IN LISTS entries)
  string(REGEX REPLACE "${prefix}" "" name "${e}")
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
message(STATUS "${LIB} exports exactly the ${n} functions of its header")

# Off Windows, the names the library looks up in the process are only the
# host's allocator and OS services and the kernel stand-in's own setter of
# the last-error value (besides the C and C++ runtimes, whose names carry a
# version): a host's CloseHandle or SetLastError never takes a call of it.
if(NOT OBJDUMP)
  execute_process(COMMAND nm -D --undefined-only ${LIB} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIB}")
  endif()
  # Names with two leading underscores are the compiler's runtime. A build
  # under sanitizers takes the C runtime's names unversioned (the sanitizer
  # stands in for them), so only other builds can be told apart this way.
  set(looked_up "")
  if(NOT dump MATCHES "__(asan|ubsan|tsan|msan)_")
    string(REGEX MATCHALL " U [^\n@]+\n" looked_up "${dump}")
  endif()
  foreach(u IN LISTS looked_up)
    string(REGEX REPLACE "^ U " "" name "${u}")
    string(STRIP "${name}" name)
    if(name MATCHES "^__")
      continue()
    endif()
    if(NOT name MATCHES "^(qmem_[a-z]+|os_[a-z_]+|zkOsCharsetType|Kernel32StandInSetLastError)$")
      message(FATAL_ERROR "${LIB} looks up ${name} by name in the host's process")
    endif()
  endforeach()
endif()
