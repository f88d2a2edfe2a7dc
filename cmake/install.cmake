# Installation and the Debian package of the three programs.
#
#   cmake --install BUILD [--prefix DIR]    programs in bin/, pages in share/man/man1/,
#                                            the server unit in lib/systemd/system/
#   cpack --config BUILD/CPackConfig.cmake   one .deb (scripts/package does both steps)

include(GNUInstallDirs)

# Packaging installs what is built already: without this, cpack's install step
# first rebuilds the whole tree, tests and benchmarks included.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(PATHTOOLS_PROGRAMS toril quarvel vantrip)

foreach(prog ${PATHTOOLS_PROGRAMS})
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Manual pages travel compressed, as Debian's policy wants; -n keeps the
# package reproducible (no file name or time stamp inside the archive).
find_program(GZIP_PROGRAM gzip REQUIRED)
set(man_pages)
foreach(prog ${PATHTOOLS_PROGRAMS})
  set(page ${PROJECT_SOURCE_DIR}/man/${prog}.1)
  set(packed ${PROJECT_BINARY_DIR}/man/${prog}.1.gz)
  add_custom_command(OUTPUT ${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${GZIP_PROGRAM} -9nc ${page} > ${packed}
    DEPENDS ${page}
    COMMENT "Compressing the manual page of ${prog}"
    VERBATIM)
  list(APPEND man_pages ${packed})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The unit names the server by its installed path, which depends on the prefix
# chosen at install time (cpack installs under /usr, cmake --install wherever
# it is told), so the path is filled in then and not at configure time.
set(unit_source ${PROJECT_SOURCE_DIR}/packaging/toril-server.service)
install(CODE "
  set(unit_dir \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  file(READ \"${unit_source}\" unit_text)
  string(REPLACE \"/usr/bin/toril\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/toril\"
         unit_text \"\${unit_text}\")
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${unit_dir}\")
  file(WRITE \"\$ENV{DESTDIR}\${unit_dir}/toril-server.service\" \"\${unit_text}\")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit_dir}/toril-server.service\")
  message(STATUS \"Installing: \$ENV{DESTDIR}\${unit_dir}/toril-server.service\")
")

# One package for the three programs. Its dependencies are read from the
# installed binaries (dpkg-shlibdeps), so vantrip's Boost libraries and the C++
# runtime are named with the versions this build links against.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pathtools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Path tools maintainers <pathtools@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network path quality tools: vantrip, toril and quarvel")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "vantrip is a round-trip probe client and server (TCP, UDP, ICMP echo).\n\
toril is a multithreaded TCP/UDP traffic generator with interval and final\n\
reports of throughput, loss, jitter, latency and TCP state.\n\
quarvel is an older-form traffic generator that can run a test when the\n\
server sits behind a NAT.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)
