# Installing on Linux, and the Debian package:
#   cmake --install build/release                  (binary, man page, capability)
#   cmake --build build/release --target package   (korvane_VERSION_amd64.deb)
include(GNUInstallDirs)

# The man page and the changelog carry the version; both are installed
# compressed, as Debian has them.
configure_file(doc/korvane.1.in korvane.1 @ONLY)
configure_file(packaging/changelog.in changelog @ONLY)
add_custom_command(
  OUTPUT korvane.1.gz changelog.gz
  COMMAND gzip -9 -n -c korvane.1 > korvane.1.gz
  COMMAND gzip -9 -n -c changelog > changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/korvane.1 ${CMAKE_CURRENT_BINARY_DIR}/changelog
  VERBATIM)
add_custom_target(korvane_docs ALL DEPENDS korvane.1.gz changelog.gz)

install(TARGETS korvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The examples are shown in the man page and tested; they are read, not run,
# and name the binary where this install puts it.
install(CODE "set(KORVANE_EXAMPLES \"${PROJECT_SOURCE_DIR}/packaging/examples\")
  set(KORVANE_EXAMPLES_STAGE \"${CMAKE_CURRENT_BINARY_DIR}/examples-installed\")
  set(KORVANE_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(KORVANE_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")")
install(SCRIPT cmake/install_examples.cmake)
install(SCRIPT cmake/grant_capability.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "korvane developers <korvane@example.org>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Computed from what the binary links: the C library only.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap, with which the package lets ordinary users run korvane.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libcap2-bin)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "unattended reachability checker for scheduled jobs
korvane pings up to ten hosts one after another, resolving names first, and
ends with exit status 100 when at least a given number of them answered,
0 otherwise. An ordinary run prints nothing; a wrong set-up is reported in
one line on standard error. A file pingdebug.txt beside the executable, or
the file named by KORVANE_TRACE, switches on a time-stamped trace. It is
meant to run unattended from cron, systemd timers or monitoring scripts.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
