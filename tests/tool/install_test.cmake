# Installs tavlin32 into a scratch prefix and uses it the way a host
# project would: checks the installed files, builds the example host with
# find_package(tavlin32) and with pkg-config, runs both, and runs the
# installed tool. Run with cmake -P; see tests/tool/tests.cmake for the
# variables it takes.
cmake_minimum_required(VERSION 3.20)

foreach(var BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER)
  if(NOT ${var})
    message(FATAL_ERROR "install test: ${var} is not set")
  endif()
endforeach()

# Runs a command and stops the test when it fails. The output lands in
# RUN_OUT. ENV name=value... before COMMAND sets variables for it.
function(run)
  cmake_parse_arguments(R "" "" "ENV;COMMAND" ${ARGN})
  set(cmd ${R_COMMAND})
  if(R_ENV)
    set(cmd ${CMAKE_COMMAND} -E env ${R_ENV} ${R_COMMAND})
  endif()
  execute_process(COMMAND ${cmd} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " shown "${cmd}")
    message(FATAL_ERROR "failed (${rc}): ${shown}\n${out}\n${err}")
  endif()
  set(RUN_OUT "${out}" PARENT_SCOPE)
endfunction()

function(expect_output what want)
  if(NOT RUN_OUT STREQUAL want)
    message(FATAL_ERROR "${what}: printed [${RUN_OUT}], expected [${want}]")
  endif()
endfunction()

function(expect_file path)
  if(NOT EXISTS ${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
set(sample ${WORK_DIR}/sample.csv)
file(COPY_FILE ${SOURCE_DIR}/examples/sample.csv ${sample})

set(san_flags "")
if(SANITIZE)
  set(san_flags "-fsanitize=${SANITIZE} -fno-omit-frame-pointer")
endif()

# ---- install and look at what landed -------------------------------------
run(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

file(GLOB_RECURSE pc_files ${prefix}/tavlin32.pc)
list(LENGTH pc_files n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "expected one tavlin32.pc under ${prefix}, found: ${pc_files}")
endif()
get_filename_component(pcdir ${pc_files} DIRECTORY)
get_filename_component(libdir ${pcdir} DIRECTORY)

expect_file(${prefix}/include/tavlin32.h)
expect_file(${libdir}/cmake/tavlin32/tavlin32Config.cmake)
expect_file(${libdir}/cmake/tavlin32/tavlin32ConfigVersion.cmake)
expect_file(${libdir}/cmake/tavlin32/tavlin32Targets.cmake)

find_program(READELF readelf)
foreach(lib tavlin32 pellus varnix32 kernel32)
  expect_file(${libdir}/lib${lib}.so.1.0.0)
  foreach(link lib${lib}.so.1 lib${lib}.so)
    if(NOT IS_SYMLINK ${libdir}/${link})
      message(FATAL_ERROR "not installed as a link: ${libdir}/${link}")
    endif()
  endforeach()
  if(READELF)
    run(COMMAND ${READELF} -d ${libdir}/lib${lib}.so.1.0.0)
    if(NOT RUN_OUT MATCHES "SONAME\\)[^\n]*\\[lib${lib}\\.so\\.1\\]")
      message(FATAL_ERROR "lib${lib} has no soname lib${lib}.so.1:\n${RUN_OUT}")
    endif()
  endif()
endforeach()

# ---- a host project built with find_package(tavlin32) --------------------
# No library path is given at run time: the package's imported targets
# carry the rpath, and tavlin32 finds the host libraries beside itself.
run(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${WORK_DIR}/cmake-host
            -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix}
            -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${san_flags}")
run(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-host)
run(COMMAND ${WORK_DIR}/cmake-host/tavlin_example ${sample} note 2)
expect_output("cmake host, note 2" "staffed all year, snow on the roof\n")
run(COMMAND ${WORK_DIR}/cmake-host/tavlin_example ${sample} station 35)
expect_output("cmake host, station 35" "富士山\n")

# ---- the same host built with pkg-config ----------------------------------
find_program(PKG_CONFIG pkg-config REQUIRED)
set(pc_env PKG_CONFIG_PATH=${pcdir})
run(ENV ${pc_env} COMMAND ${PKG_CONFIG} --modversion tavlin32)
expect_output("pkg-config --modversion" "1.0.0\n")
run(ENV ${pc_env} COMMAND ${PKG_CONFIG} --cflags --libs tavlin32)
separate_arguments(pc_flags UNIX_COMMAND "${RUN_OUT}")
separate_arguments(cc_san UNIX_COMMAND "${san_flags}")
# The link needs nothing beyond the flags: the linker finds what
# libtavlin32 loads through its runpath. The host itself carries no rpath,
# so running it takes the library path, as with any library installed
# outside the system's directories.
run(COMMAND ${C_COMPILER} -std=c99 -Wall -Werror ${cc_san}
            ${SOURCE_DIR}/examples/host.c ${pc_flags} -o ${WORK_DIR}/pc-host)
run(ENV LD_LIBRARY_PATH=${libdir}
    COMMAND ${WORK_DIR}/pc-host ${sample} station 1)
expect_output("pkg-config host, station 1" "Säntis\n")
run(ENV LD_LIBRARY_PATH=${libdir}
    COMMAND ${WORK_DIR}/pc-host ${sample} note 18)
expect_output("pkg-config host, note 18" "closed in 1904\nruins on the summit\n")

# ---- the installed tool finds its libraries by itself ---------------------
if(WITH_TOOL)
  expect_file(${prefix}/bin/tavlin)
  run(COMMAND ${prefix}/bin/tavlin get ${sample} 4 station)
  expect_output("installed tavlin get" "Hohenpeißenberg\n")
endif()

message(STATUS "installed package works from ${prefix}")
