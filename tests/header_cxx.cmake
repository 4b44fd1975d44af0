# Compiles tests/header_cxx.cpp, which uses every function of tavlin32.hpp,
# with each compiler in COMPILERS (a |-list), as C++17 and as C++20, with
# and without exceptions, at -O2 with -Wall -Wextra -Wpedantic -Werror, and
# when WINDOWS_H is set once more with <windows.h> read first: the header
# declares GetLastError as the Windows headers do. A compiler named in
# COMPILERS that is not installed fails the test.
#   cmake -DCOMPILERS=... -DINCLUDE=... -DPROBE=... [-DWINDOWS_H=1] -P header_cxx.cmake
cmake_minimum_required(VERSION 3.20)
foreach(var COMPILERS INCLUDE PROBE)
  if(NOT ${var})
    message(FATAL_ERROR "header_cxx: ${var} is not set")
  endif()
endforeach()

string(REPLACE "|" ";" compilers "${COMPILERS}")
set(variants "-fexceptions" "-fno-exceptions")
if(WINDOWS_H)
  list(APPEND variants "-fexceptions -include windows.h")
endif()
set(compiled 0)
foreach(cxx ${compilers})
  foreach(std c++17 c++20)
    foreach(variant ${variants})
      separate_arguments(extra UNIX_COMMAND "${variant}")
      execute_process(COMMAND ${cxx} -std=${std} ${extra} -O2 -Wall -Wextra -Wpedantic -Werror
                              -I${INCLUDE} -c ${PROBE} -o header_cxx_probe.o
                      RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR "tavlin32.hpp: ${cxx} -std=${std} ${variant} failed (${rc}):\n${out}${err}")
      endif()
      math(EXPR compiled "${compiled} + 1")
    endforeach()
  endforeach()
endforeach()
file(REMOVE header_cxx_probe.o)
message(STATUS "tavlin32.hpp compiled ${compiled} ways: ${compilers}")
