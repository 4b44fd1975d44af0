# Tests of the tavlin tool through its process boundary, and of the
# installed package. Included from tests/CMakeLists.txt.

# The tool's target is defined after this directory, so it is named here
# only through generator expressions and dependencies. On Windows the test
# program finds the tool beside itself, in the one bin directory of the
# build, and is given only its file name.
if(TAVL_BUILD_TOOLS)
  add_executable(tavl_tool_tests ${CMAKE_CURRENT_LIST_DIR}/tool_cases.cpp)
  # The library too: an edit of a table file must save what its own calls save.
  target_link_libraries(tavl_tool_tests PRIVATE tavlin32 tavl_testsupport GTest::gtest_main)
  if(WIN32)
    target_compile_definitions(tavl_tool_tests PRIVATE
      TAVLIN_TOOL="$<TARGET_FILE_NAME:tavlin>")
  else()
    target_compile_definitions(tavl_tool_tests PRIVATE
      TAVLIN_TOOL="$<TARGET_FILE:tavlin>")
  endif()
  add_dependencies(tavl_tool_tests tavlin)
  gtest_discover_tests(tavl_tool_tests DISCOVERY_MODE PRE_TEST)
  if(NOT WIN32)
    add_test(NAME tool_completion
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/completion_test.sh $<TARGET_FILE:tavlin>
                     ${PROJECT_SOURCE_DIR}/tools/tavlin/completion.bash)
  endif()
endif()

# Installs into a scratch prefix, builds the example hosts (C and C++) and
# the README's C++ program against the installed package with CMake and
# with pkg-config, and runs them. scripts/check-package.sh runs the same
# test against the Debian package installed in the system's paths.
if(NOT WIN32)
  add_test(NAME install_package
           COMMAND ${CMAKE_COMMAND}
                   -DBUILD_DIR=${PROJECT_BINARY_DIR}
                   -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                   -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install_package
                   -DGENERATOR=${CMAKE_GENERATOR}
                   -DC_COMPILER=${CMAKE_C_COMPILER}
                   -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
                   -DSANITIZE=${TAVL_SANITIZE}
                   -DWITH_TOOL=$<TARGET_EXISTS:tavlin>
                   -DWITH_MAN=$<TARGET_EXISTS:tavlin_man>
                   -P ${CMAKE_CURRENT_LIST_DIR}/install_test.cmake)
  set_tests_properties(install_package PROPERTIES TIMEOUT 300)
endif()
