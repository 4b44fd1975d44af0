# Installs tavlin32 into a scratch prefix and uses it the way a host
# project would: checks the installed files (only libtavlin32 in the
# library directory, the host stand-ins in its private folder) and that
# every place that states the version gives the header's, builds the
# example hosts (C and C++) with find_package(tavlin32) and, with the
# commands the README prints, with pkg-config, runs them and the README's
# C++ program, and runs the installed tool. Run with cmake -P; see
# tests/tool/tests.cmake for the variables it takes.
#
# With SYSTEM set it installs nothing: the Debian package is installed in
# the system's paths (scripts/check-package.sh), and the same checks run
# against /usr without a search path for pkg-config, CMake or the loader.
cmake_minimum_required(VERSION 3.20)

set(required SOURCE_DIR WORK_DIR C_COMPILER CXX_COMPILER GENERATOR)
if(NOT SYSTEM)
  list(APPEND required BUILD_DIR)
endif()
foreach(var ${required})
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
set(sample ${WORK_DIR}/sample.csv)
file(COPY_FILE ${SOURCE_DIR}/examples/sample.csv ${sample})

set(san_flags "")
if(SANITIZE)
  set(san_flags "-fsanitize=${SANITIZE} -fno-omit-frame-pointer")
endif()
find_program(PKG_CONFIG pkg-config REQUIRED)

# ---- install and look at what landed -------------------------------------
# pc_env, prefix_arg and rpath_arg are what pkg-config, a CMake project and
# a link need to find a scratch prefix; the system's paths need none, and
# pkg-config is kept from any PKG_CONFIG_PATH of the caller's.
if(SYSTEM)
  set(prefix /usr)
  set(pc_env --unset=PKG_CONFIG_PATH)
  run(ENV ${pc_env} COMMAND ${PKG_CONFIG} --variable=libdir tavlin32)
  string(STRIP "${RUN_OUT}" libdir)
  set(pcdir ${libdir}/pkgconfig)
  expect_file(${pcdir}/tavlin32.pc)
  set(prefix_arg "")
  set(rpath_arg "")
else()
  set(prefix ${WORK_DIR}/prefix)
  run(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
  file(GLOB_RECURSE pc_files ${prefix}/tavlin32.pc)
  list(LENGTH pc_files n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "expected one tavlin32.pc under ${prefix}, found: ${pc_files}")
  endif()
  get_filename_component(pcdir ${pc_files} DIRECTORY)
  get_filename_component(libdir ${pcdir} DIRECTORY)
  set(pc_env PKG_CONFIG_PATH=${pcdir})
  set(prefix_arg -DCMAKE_PREFIX_PATH=${prefix})
  set(rpath_arg -Wl,-rpath,${libdir})
endif()

expect_file(${prefix}/include/tavlin32.h)
expect_file(${prefix}/include/tavlin32.hpp)
expect_file(${libdir}/cmake/tavlin32/tavlin32Config.cmake)
expect_file(${libdir}/cmake/tavlin32/tavlin32ConfigVersion.cmake)
expect_file(${libdir}/cmake/tavlin32/tavlin32Targets.cmake)

# ---- one version everywhere ----------------------------------------------
# The installed header's TAVLIN32_VERSION_STRING, as a compiler sees it, is
# the version: pkg-config, the CMake package, the library files and the
# tool must all give it.
set(version_probe ${WORK_DIR}/version_probe.c)
file(WRITE ${version_probe} [=[
#include <stdio.h>
#include <tavlin32.h>
int main(void)
{
    printf("%s;%d;%d;%d;%d;%s", TAVLIN32_VERSION_STRING, TAVLIN32_VERSION_MAJOR,
           TAVLIN32_VERSION_MINOR, TAVLIN32_VERSION_PATCH, TAVLIN32_VERSION_NUMBER,
           TblResultText(TBL_ERR_NO_FILE));
    return 0;
}
]=])
run(COMMAND ${C_COMPILER} -std=c99 -Wall -Werror -I${prefix}/include ${version_probe}
            -o ${WORK_DIR}/version_probe)
run(COMMAND ${WORK_DIR}/version_probe)
list(GET RUN_OUT 0 version)
list(GET RUN_OUT 1 version_major)
list(GET RUN_OUT 2 version_minor)
list(GET RUN_OUT 3 version_patch)
list(GET RUN_OUT 4 version_number)
list(GET RUN_OUT 5 no_file_text)
if(NOT version STREQUAL "${version_major}.${version_minor}.${version_patch}")
  message(FATAL_ERROR "TAVLIN32_VERSION_STRING ${version} is not MAJOR.MINOR.PATCH "
                      "(${version_major}.${version_minor}.${version_patch})")
endif()
math(EXPR want_number "${version_major} * 10000 + ${version_minor} * 100 + ${version_patch}")
if(NOT version_number EQUAL want_number)
  message(FATAL_ERROR "TAVLIN32_VERSION_NUMBER is ${version_number}, expected ${want_number}")
endif()

# The installed header is clean under every warning clang has, as C99 and
# C11 (where clang is installed; scripts/check installs it).
find_program(CLANG NAMES clang clang-14)
if(CLANG)
  foreach(std c99 c11)
    run(COMMAND ${CLANG} -std=${std} -Weverything -Werror -fsyntax-only -I${prefix}/include
                ${version_probe})
  endforeach()
else()
  message(STATUS "no clang: the header's -Weverything check is skipped")
endif()

function(expect_version what got)
  if(NOT got STREQUAL version)
    message(FATAL_ERROR "${what} gives version [${got}], the header ${version}")
  endif()
endfunction()
run(ENV ${pc_env} COMMAND ${PKG_CONFIG} --modversion tavlin32)
string(STRIP "${RUN_OUT}" pc_version)
expect_version("pkg-config --modversion" "${pc_version}")
# The CMake package's version file, read as find_package(tavlin32 X.Y.Z
# EXACT) reads it.
set(PACKAGE_FIND_VERSION ${version})
include(${libdir}/cmake/tavlin32/tavlin32ConfigVersion.cmake)
expect_version("tavlin32ConfigVersion.cmake" "${PACKAGE_VERSION}")
if(NOT PACKAGE_VERSION_EXACT)
  message(FATAL_ERROR "the CMake package does not match find_package(tavlin32 ${version} EXACT)")
endif()

find_program(READELF readelf)
# Each library with its soname and version: tavlin32 in the library
# directory, the stand-ins it loads in lib/tavlin32, and nothing of theirs
# in the library directory.
foreach(lib tavlin32 pellus varnix32 kernel32)
  if(lib STREQUAL "tavlin32")
    set(dir ${libdir})
  else()
    set(dir ${libdir}/tavlin32)
    file(GLOB stray ${libdir}/lib${lib}.so*)
    if(stray)
      message(FATAL_ERROR "installed into the library directory: ${stray}")
    endif()
  endif()
  expect_file(${dir}/lib${lib}.so.${version})
  foreach(link lib${lib}.so.${version_major} lib${lib}.so)
    if(NOT IS_SYMLINK ${dir}/${link})
      message(FATAL_ERROR "not installed as a link: ${dir}/${link}")
    endif()
  endforeach()
  if(READELF)
    run(COMMAND ${READELF} -d ${dir}/lib${lib}.so.${version})
    if(NOT RUN_OUT MATCHES "SONAME\\)[^\n]*\\[lib${lib}\\.so\\.${version_major}\\]")
      message(FATAL_ERROR "lib${lib} has no soname lib${lib}.so.${version_major}:\n${RUN_OUT}")
    endif()
    if(lib STREQUAL "tavlin32" AND NOT RUN_OUT MATCHES "RUNPATH\\)[^\n]*\\[\\$ORIGIN/tavlin32\\]")
      message(FATAL_ERROR "libtavlin32 does not look for its stand-ins in $ORIGIN/tavlin32:\n${RUN_OUT}")
    endif()
  endif()
endforeach()

# ---- host projects built with find_package(tavlin32) ---------------------
# No library path is given at run time: the package's imported targets
# carry the rpath, and tavlin32 finds the host libraries beside itself.
# examples/ builds the C host and the C++ one.
set(compilers -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${san_flags}"
              -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${san_flags}")
run(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${WORK_DIR}/cmake-host
            -G ${GENERATOR} ${prefix_arg} ${compilers})
run(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-host)
foreach(host tavlin_example tavlin_example_cpp)
  run(COMMAND ${WORK_DIR}/cmake-host/${host} ${sample} note 2)
  expect_output("cmake ${host}, note 2" "staffed all year, snow on the roof\n")
  run(COMMAND ${WORK_DIR}/cmake-host/${host} ${sample} station 35)
  expect_output("cmake ${host}, station 35" "富士山\n")
endforeach()

# ---- the README's examples, built with pkg-config as the README says -----
# The README prints examples/host.c and host.cpp whole; they must be those
# files.
file(READ ${SOURCE_DIR}/README.md readme)
run(ENV ${pc_env} COMMAND ${PKG_CONFIG} --cflags --libs tavlin32)
separate_arguments(pc_flags UNIX_COMMAND "${RUN_OUT}")
separate_arguments(cc_san UNIX_COMMAND "${san_flags}")
# The link needs nothing beyond the flags: the linker finds what
# libtavlin32 loads through its run path. A host of a scratch prefix
# carries a run path to the library directory, as the README's command
# gives it, so it runs without LD_LIBRARY_PATH.
foreach(lang c cpp)
  file(READ ${SOURCE_DIR}/examples/host.${lang} host_source)
  string(FIND "${readme}" "```${lang}\n${host_source}```" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "README.md does not show examples/host.${lang} as it is")
  endif()
  if(lang STREQUAL "c")
    set(compile ${C_COMPILER} -std=c99)
  else()
    set(compile ${CXX_COMPILER} -std=c++17)
  endif()
  set(host ${WORK_DIR}/pc-host-${lang})
  run(COMMAND ${compile} -Wall -Werror ${cc_san} ${SOURCE_DIR}/examples/host.${lang}
              ${pc_flags} ${rpath_arg} -o ${host})
  run(COMMAND ${host} ${sample} station 1)
  expect_output("pkg-config host.${lang}, station 1" "Säntis\n")
  run(COMMAND ${host} ${sample} note 18)
  expect_output("pkg-config host.${lang}, note 18" "closed in 1904\nruins on the summit\n")
  # A failure is named from the header's list of result codes.
  execute_process(COMMAND ${host} ${sample} nosuchcolumn
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc EQUAL 0 OR NOT err MATCHES "TBL_ERR_NO_COLUMN \\(-14\\): no column has that name")
    message(FATAL_ERROR "host.${lang} with a missing column: exit ${rc}, stderr [${err}]")
  endif()
endforeach()

# The README's short C++ program, as a user copies it, next to a table with
# a name column: it prints the names, stores a value with a comma and
# quotes and saves, then prints the text of TBL_ERR_NO_FILE; run again, it
# prints the stored value.
string(REGEX MATCH "```cpp\n#include <tavlin32.hpp>\n#include <iostream>\n[^`]*```" program "${readme}")
if(NOT program)
  message(FATAL_ERROR "README.md shows no C++ program starting with #include <tavlin32.hpp>")
endif()
string(REGEX REPLACE "^```cpp\n|```$" "" program "${program}")
set(program_dir ${WORK_DIR}/readme-program)
file(MAKE_DIRECTORY ${program_dir})
file(WRITE ${program_dir}/program.cpp "${program}")
file(WRITE ${program_dir}/sample.csv "name,size\r\nfirst,1\r\nsecond,2\r\n")
run(COMMAND ${CXX_COMPILER} -std=c++17 -Wall -Werror ${cc_san} ${program_dir}/program.cpp
            ${pc_flags} ${rpath_arg} -o ${program_dir}/program)
foreach(first "first" "new, with \"quotes\"")
  execute_process(COMMAND ${program_dir}/program WORKING_DIRECTORY ${program_dir}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE RUN_OUT ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the README's C++ program failed (${rc}): ${RUN_OUT}${err}")
  endif()
  expect_output("the README's C++ program" "${first}\nsecond\n${no_file_text}\n")
endforeach()

# ---- a host with kernel names of its own reads the last-error value ------
# It defines CloseHandle, CreateFileA, SetLastError and the other generic
# kernel names, counting their calls: none of them may take a call of the
# library. It reads the last-error value of a failed load with GetLastError
# declared in one line, as the header says, linked with pkg-config's flags
# and with the CMake package.
set(lasterr_dir ${WORK_DIR}/lasterr-host)
file(MAKE_DIRECTORY ${lasterr_dir})
file(WRITE ${lasterr_dir}/bad.csv "a,b\n1,2\n\n3\n")
file(WRITE ${lasterr_dir}/lasterr.c [=[
#include <stdint.h>
#include <stdio.h>
#include <tavlin32.h>

uint32_t GetLastError(void);

static int taken;
#define HOST_OWN(ret, name, params) ret name params { taken++; return (ret)0; }
HOST_OWN(int, CloseHandle, (void *h))
HOST_OWN(void *, CreateFileA, (const char *p, unsigned a, unsigned s, void *sa,
                               unsigned c, unsigned f, void *t))
HOST_OWN(void *, CreateFileMappingA, (void *f, void *sa, unsigned p, unsigned hi,
                                      unsigned lo, const char *n))
HOST_OWN(void *, MapViewOfFile, (void *m, unsigned a, unsigned hi, unsigned lo,
                                 size_t n))
HOST_OWN(int, UnmapViewOfFile, (const void *v))
HOST_OWN(unsigned, GetFileSize, (void *f, unsigned *hi))
HOST_OWN(int, DeleteFileA, (const char *p))
void SetLastError(uint32_t code) { (void)code; taken++; }

int main(int argc, char **argv)
{
    const char *bad = argv[1], *good = argv[2], *dir = argv[3];
    TableHandle *t = NULL;
    int32_t rc;
    if (argc != 4 || NewTable(&t) != TBL_OK) return 2;
    for (int i = 0; i < 20; i++) {
        const char comma = ',';
        const int32_t one = 1;
        if (PreOpenTable(good, dir, &comma, &one, 1) != TBL_OK ||
            OpenTable(good, t, OPEN_INDEXED, NULL, NULL, dir) != TBL_OK ||
            CloseTable(t) != TBL_OK || PostCloseTable(good, dir) != TBL_OK)
            return 4;
    }
    rc = OpenTable(bad, t, OPEN_EDIT, NULL, NULL, NULL);
    uint32_t e = GetLastError();
    CloseTable(t);
    FreeTable(t);
    printf("%d %u %u %d\n", (int)rc, (unsigned)((e & TBL_LOAD_ERROR_FLAG) != 0),
           (unsigned)(e & TBL_LOAD_ERROR_LINES), taken);
    return 0;
}
]=])
# The table's third stored line (position 2 among the non-empty lines) has
# one field: the load stops there.
set(lasterr_want "-8 1 2 0\n")
run(COMMAND ${C_COMPILER} -std=c99 -Wall -Werror ${cc_san} ${lasterr_dir}/lasterr.c
            ${pc_flags} ${rpath_arg} -o ${lasterr_dir}/pc-lasterr)
run(COMMAND ${lasterr_dir}/pc-lasterr ${lasterr_dir}/bad.csv ${sample} ${lasterr_dir})
expect_output("pkg-config host with kernel names of its own" "${lasterr_want}")
file(WRITE ${lasterr_dir}/CMakeLists.txt [=[
cmake_minimum_required(VERSION 3.20)
project(lasterr LANGUAGES C)
find_package(tavlin32 REQUIRED)
add_executable(lasterr lasterr.c)
target_link_libraries(lasterr PRIVATE tavlin32::tavlin32)
]=])
run(COMMAND ${CMAKE_COMMAND} -S ${lasterr_dir} -B ${lasterr_dir}/build -G ${GENERATOR}
            ${prefix_arg} -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${san_flags}")
run(COMMAND ${CMAKE_COMMAND} --build ${lasterr_dir}/build)
run(COMMAND ${lasterr_dir}/build/lasterr ${lasterr_dir}/bad.csv ${sample} ${lasterr_dir})
expect_output("CMake host with kernel names of its own" "${lasterr_want}")

# The README's own build commands (for the C host, then the C++ one), run as
# typed by bash in a folder laid out like the clone's root (which holds a
# host/ folder, so the program must not be named host there), with a HOME
# in which $HOME/tavlin32 is the prefix. Not under sanitizers: the
# README's commands name none; not for the system's paths, which the
# commands do not name.
if(NOT SANITIZE AND NOT SYSTEM)
  string(REGEX MATCHALL "\n    prefix=\\$HOME/tavlin32\n[^\n]*(\n    [^\n]*)*" blocks "${readme}")
  list(LENGTH blocks n)
  if(NOT n EQUAL 2)
    message(FATAL_ERROR "README.md has ${n} blocks of build commands starting "
                        "'prefix=$HOME/tavlin32', not 2 (C and C++)")
  endif()
  set(clone ${WORK_DIR}/readme-clone)
  file(MAKE_DIRECTORY ${clone}/examples ${clone}/host ${WORK_DIR}/readme-home)
  file(COPY ${SOURCE_DIR}/examples/host.c ${SOURCE_DIR}/examples/host.cpp
            ${SOURCE_DIR}/examples/sample.csv DESTINATION ${clone}/examples)
  file(CREATE_LINK ${prefix} ${WORK_DIR}/readme-home/tavlin32 SYMBOLIC)
  foreach(block ${blocks})
    string(REPLACE "\n    " "\n" block "${block}")
    file(WRITE ${WORK_DIR}/readme-commands.sh "${block}\n")
    execute_process(COMMAND ${CMAKE_COMMAND} -E env HOME=${WORK_DIR}/readme-home
                            bash ${WORK_DIR}/readme-commands.sh
                    WORKING_DIRECTORY ${clone}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT out STREQUAL "Säntis\n" OR NOT err MATCHES "TBL_ERR_NO_COLUMN \\(-14\\)")
      message(FATAL_ERROR "the README's build commands printed [${out}], "
                          "stderr [${err}]:${block}")
    endif()
  endforeach()
endif()

# ---- the installed tool finds its libraries by itself ---------------------
# In the system's paths it is found by name, and man finds its page.
if(WITH_TOOL)
  set(tavlin ${prefix}/bin/tavlin)
  expect_file(${tavlin})
  expect_file(${prefix}/share/bash-completion/completions/tavlin)
  if(SYSTEM)
    set(tavlin tavlin)
    run(COMMAND man -w tavlin)
    expect_output("man -w tavlin" "${prefix}/share/man/man1/tavlin.1.gz\n")
    run(ENV MANPAGER=cat MANWIDTH=80 COMMAND man tavlin)
    if(NOT RUN_OUT MATCHES "tavlin - read and edit delimited text tables")
      message(FATAL_ERROR "man tavlin shows no page of the tool:\n${RUN_OUT}")
    endif()
  endif()
  if(WITH_MAN)
    expect_file(${prefix}/share/man/man1/tavlin.1.gz)
  endif()
  run(COMMAND ${tavlin} get ${sample} 4 station)
  expect_output("installed tavlin get" "Hohenpeißenberg\n")
  run(COMMAND ${tavlin} --version)
  expect_output("installed tavlin --version" "tavlin ${version}\n")
endif()

message(STATUS "installed package works from ${prefix}")
