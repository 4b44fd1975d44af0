# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE): for the
# Debian package, sets Depends to what dpkg-shlibdeps finds the built
# binaries (TAVL_DEB_BINARIES) to load. The host stand-ins are in the
# package itself: no package provides them, and their dependencies count.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(TAVL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT TAVL_DPKG_SHLIBDEPS)
  message(FATAL_ERROR "the Debian package needs dpkg-shlibdeps: apt-get install dpkg-dev")
endif()
# dpkg-shlibdeps runs in a folder that looks like a source package.
file(REMOVE_RECURSE ${TAVL_DEB_WORK})
file(MAKE_DIRECTORY ${TAVL_DEB_WORK}/debian)
file(WRITE ${TAVL_DEB_WORK}/debian/control "")
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${TAVL_DPKG_SHLIBDEPS}
                        --ignore-missing-info -O ${TAVL_DEB_BINARIES}
                WORKING_DIRECTORY ${TAVL_DEB_WORK}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "dpkg-shlibdeps failed (${rc}): ${out}${err}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
