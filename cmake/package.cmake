# The Debian package: `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr packs what `cmake --install` installs, under
# /usr with the multiarch library directory (GNUInstallDirs names
# lib/<triplet> for that prefix on Debian). scripts/package-deb configures,
# builds and packs in one command.
#
# Where the host libraries go: they keep their private folder,
# /usr/lib/<triplet>/tavlin32/, as in every install. Only libtavlin32 is
# public: in the system's library path, registered by ldconfig and named in
# the package's shlibs. The stand-ins carry generic names (libkernel32,
# libpellus, libvarnix32) that another package may use for a library of
# its own; outside the search path they clash with none, and libtavlin32
# finds them through its run path ($ORIGIN/tavlin32), as the tool does.
if(WIN32 OR APPLE)
  return()
endif()

set(CPACK_PACKAGE_NAME tavlin32)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TAVL_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "library and tool to read and edit delimited text tables")
# The long description, in lines of at most 80 columns as Debian's tools
# show it.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "tavlin32 lets C and C++ programs keep tables in delimited text files:\n"
    "open a file, find columns by name or index, read and write cells (any\n"
    "byte; the delimiter, the backslash and control bytes are escaped inside\n"
    "the line), add rows and columns, and save. A large file that is mostly\n"
    "read can be prepared once with an index of line offsets; several\n"
    "processes can then open it at once and fetch any line in constant time\n"
    "from a read-only mapping.\n"
    "\n"
    "This package holds the shared library, its C header and C++17 header,\n"
    "the pkg-config and CMake package files, and the tavlin command-line\n"
    "tool, which shows, edits, imports and exports tables.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

# Depends: what dpkg-shlibdeps finds the package's binaries to load, asked
# by cpack (package-shlibdeps.cmake, the project's CPack file). CPack's own
# run of it would also add maintainer scripts that call ldconfig, and a
# package with a postrm stays in dpkg's records (config-files) after
# `apt-get remove`; the trigger below registers the library instead.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(tavl_deb_binaries $<TARGET_FILE:tavlin32>)
foreach(target ${TAVL_HOST_LIBS} tavlin)
  if(TARGET ${target})
    list(APPEND tavl_deb_binaries $<TARGET_FILE:${target}>)
  endif()
endforeach()
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/cpack-project.cmake CONTENT
     "set(TAVL_DEB_BINARIES \"${tavl_deb_binaries}\")
set(TAVL_DEB_WORK \"${PROJECT_BINARY_DIR}/shlibdeps\")
include(\"${CMAKE_CURRENT_LIST_DIR}/package-shlibdeps.cmake\")
")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack-project.cmake)

# The shlibs entry of the public library alone, and the ldconfig trigger
# that registers it: CPack's own shlibs would name the private stand-ins
# too.
set(tavl_control ${PROJECT_BINARY_DIR}/debian-control)
file(MAKE_DIRECTORY ${tavl_control})
file(WRITE ${tavl_control}/shlibs
     "libtavlin32 ${PROJECT_VERSION_MAJOR} tavlin32 (>= ${PROJECT_VERSION})\n")
file(WRITE ${tavl_control}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${tavl_control}/shlibs ${tavl_control}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Every shared library names the C library it runs on. The kernel stand-in
# calls none of its functions, so the linker would drop it.
if(TARGET kernel32)
  target_link_options(kernel32 PRIVATE LINKER:--no-as-needed)
  target_link_libraries(kernel32 PRIVATE c)
endif()

include(CPack)
