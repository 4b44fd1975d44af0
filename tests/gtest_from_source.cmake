# GoogleTest for a cross build, compiled from the sources Debian ships in
# /usr/src/googletest (package googletest), since the system's prebuilt
# archives are for the build machine only. GoogleTest's own build defines
# the same targets as find_package(GTest): GTest::gtest and GTest::gtest_main.

set(TAVL_GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH
    "GoogleTest sources for the cross build")
if(NOT EXISTS ${TAVL_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${TAVL_GTEST_SOURCE_DIR}; "
                      "install the googletest package")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_build_tests OFF CACHE BOOL "" FORCE)
set(gtest_build_samples OFF CACHE BOOL "" FORCE)

# GoogleTest is built with its own warning flags, not ours (-Werror would
# turn its harmless warnings under mingw into build failures).
get_directory_property(tavl_saved_options COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
add_subdirectory(${TAVL_GTEST_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${tavl_saved_options}")

# Every program that takes its main from GoogleTest writes its output with
# LF line ends (see support/binary_stdout.cpp), as test discovery needs.
if(WIN32)
  target_sources(gtest_main INTERFACE
                 ${CMAKE_CURRENT_SOURCE_DIR}/support/binary_stdout.cpp)
endif()
