# Install rules: the public headers (C, and the C++ layer over it), the
# library and the host libraries it loads (with their sonames and
# versions), the tavlin tool with its manual page and bash completion, the
# documentation and example hosts, a CMake package (find_package(tavlin32)
# -> tavlin32::tavlin32) and a pkg-config file.
#
# Only libtavlin32 goes into the library directory. The host stand-ins
# (pellus, varnix32, kernel32) go into a folder of its own, lib/tavlin32/,
# where nothing else of those names can clash with them; tavlin32 finds
# them through its run path ($ORIGIN/tavlin32). On Windows every DLL sits
# beside the programs in bin/, where Windows looks for them.
#
# The installed tree is relocatable: the tool finds the libraries through
# a run path relative to itself.
include(CMakePackageConfigHelpers)

set(TAVL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/tavlin32)
set(TAVL_INSTALL_LIBS tavlin32 ${TAVL_HOST_LIBS})
set(TAVL_INSTALL_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/tavlin32)

# The host libraries name their own source folders as include directories;
# those exist only in the source tree, so the installed package leaves them
# out (hosts link them, they do not include them).
foreach(lib ${TAVL_HOST_LIBS})
  get_target_property(dirs ${lib} INTERFACE_INCLUDE_DIRECTORIES)
  if(dirs)
    set(build_only "")
    foreach(dir ${dirs})
      list(APPEND build_only "$<BUILD_INTERFACE:${dir}>")
    endforeach()
    set_property(TARGET ${lib} PROPERTY INTERFACE_INCLUDE_DIRECTORIES ${build_only})
  endif()
endforeach()

if(NOT WIN32 AND NOT APPLE)
  # tavlin32 finds the stand-ins in its private folder; they find each
  # other beside themselves.
  set_target_properties(tavlin32 PROPERTIES INSTALL_RPATH "$ORIGIN/tavlin32")
  set_target_properties(${TAVL_HOST_LIBS} PROPERTIES INSTALL_RPATH "$ORIGIN")
  if(TARGET tavlin)
    # The tool calls the stand-ins itself too (through the field codec).
    file(RELATIVE_PATH tavl_bin_to_lib
         ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
         ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
    set_target_properties(tavlin PROPERTIES
      INSTALL_RPATH "$ORIGIN/${tavl_bin_to_lib};$ORIGIN/${tavl_bin_to_lib}/tavlin32")
  endif()
endif()

install(TARGETS tavlin32
        EXPORT tavlin32Targets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS ${TAVL_HOST_LIBS}
        EXPORT tavlin32Targets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${TAVL_INSTALL_PRIVATE_LIBDIR}
        ARCHIVE DESTINATION ${TAVL_INSTALL_PRIVATE_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/tavlin32.h ${PROJECT_SOURCE_DIR}/include/tavlin32.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Files installed compressed (gzip -9n, as Debian keeps manual pages and
# changelogs), when gzip is there; as they are otherwise.
find_program(TAVL_GZIP gzip)
function(tavl_install_gzipped file destination)
  if(NOT TAVL_GZIP)
    install(FILES ${file} DESTINATION ${destination})
    return()
  endif()
  get_filename_component(name ${file} NAME)
  set(copy ${PROJECT_BINARY_DIR}/gzipped/${name})
  add_custom_command(OUTPUT ${copy}.gz
                     COMMAND ${CMAKE_COMMAND} -E copy ${file} ${copy}
                     COMMAND ${TAVL_GZIP} -9nf ${copy}
                     DEPENDS ${file} ${ARGN} VERBATIM)
  string(MAKE_C_IDENTIFIER ${name} id)
  add_custom_target(tavl_gzip_${id} ALL DEPENDS ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION ${destination})
endfunction()

if(TARGET tavlin)
  install(TARGETS tavlin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TAVLIN_MAN_PAGE)
    tavl_install_gzipped(${TAVLIN_MAN_PAGE} ${CMAKE_INSTALL_MANDIR}/man1 tavlin_man)
  endif()
  install(FILES ${TAVLIN_COMPLETION} RENAME tavlin
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

# The example hosts and their table, for a reader of the installed package.
install(FILES ${PROJECT_SOURCE_DIR}/examples/host.c
              ${PROJECT_SOURCE_DIR}/examples/host.cpp
              ${PROJECT_SOURCE_DIR}/examples/sample.csv
              ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The documentation: the README, the pages of docs/, the project's
# changelog, a changelog entry for this version in the form Debian tools
# read (changelog.gz), and the copyright statement.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
              ${PROJECT_SOURCE_DIR}/cmake/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
file(GLOB tavl_doc_pages ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${tavl_doc_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
set(TAVL_DEB_MAINTAINER "tavlin32 developers <tavlin32@example.org>"
    CACHE STRING "The maintainer named by the Debian package and its changelog")
string(TIMESTAMP tavl_release_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${PROJECT_BINARY_DIR}/changelog
     "tavlin32 (${PROJECT_VERSION}) stable; urgency=medium\n\n"
     "  * Release ${PROJECT_VERSION}; its changes are in CHANGELOG.md beside this\n"
     "    file.\n\n"
     " -- ${TAVL_DEB_MAINTAINER}  ${tavl_release_date}\n")
tavl_install_gzipped(${PROJECT_BINARY_DIR}/changelog ${CMAKE_INSTALL_DOCDIR})

# CMake package. The host libraries are exported beside tavlin32 (as
# tavlin32::pellus and so on) so that a consumer's link and run-time search
# can find what tavlin32 loads.
install(EXPORT tavlin32Targets
        NAMESPACE tavlin32::
        DESTINATION ${TAVL_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/tavlin32Config.cmake.in
  ${PROJECT_BINARY_DIR}/tavlin32Config.cmake
  INSTALL_DESTINATION ${TAVL_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/tavlin32ConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tavlin32Config.cmake
              ${PROJECT_BINARY_DIR}/tavlin32ConfigVersion.cmake
        DESTINATION ${TAVL_INSTALL_CMAKEDIR})

# pkg-config. The host libraries are loaded through tavlin32's own
# dependencies; off Windows the link line also names the kernel stand-in,
# whose GetLastError a host calls to read the last-error value of a failed
# load, with a run path to its private folder so the host finds it there.
# The prefix is found from the .pc file's own place, so `cmake --install
# --prefix` anywhere works; a build for /usr (the Debian package) names it,
# so that pkg-config leaves out the system's own include and library
# directories.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(TAVL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(TAVL_PC_LIBDIR_FULL "${CMAKE_INSTALL_LIBDIR}")
elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(TAVL_PC_PREFIX /usr)
  set(TAVL_PC_LIBDIR_FULL "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH tavl_pc_up
       /tavl/${CMAKE_INSTALL_LIBDIR}/pkgconfig /tavl)
  string(REGEX REPLACE "/$" "" tavl_pc_up "${tavl_pc_up}")
  set(TAVL_PC_PREFIX "\${pcfiledir}/${tavl_pc_up}")
  set(TAVL_PC_LIBDIR_FULL "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(TAVL_PC_INCLUDEDIR_FULL "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(TAVL_PC_INCLUDEDIR_FULL "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
set(TAVL_PC_LAST_ERROR_LIBS "")
if(NOT WIN32)
  set(TAVL_PC_LAST_ERROR_LIBS
      "-L\${libdir}/tavlin32 -Wl,-rpath,\${libdir}/tavlin32 -lkernel32")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/tavlin32.pc.in
               ${PROJECT_BINARY_DIR}/tavlin32.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tavlin32.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
