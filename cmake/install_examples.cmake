# Installs the examples naming the binary where it was installed: the package's
# /usr/bin/korvane, or <prefix>/bin/korvane after cmake --install --prefix.
# Run at install time, when CMAKE_INSTALL_PREFIX is the one installed to.
# Set beforehand: KORVANE_EXAMPLES (source folder), KORVANE_EXAMPLES_STAGE
# (a folder of the build tree), KORVANE_BINDIR and KORVANE_DOCDIR (relative).
set(_korvane "${CMAKE_INSTALL_PREFIX}/${KORVANE_BINDIR}/korvane")
file(MAKE_DIRECTORY "${KORVANE_EXAMPLES_STAGE}")
set(_staged)
foreach(_example crontab korvane-down.service korvane-down.timer korvane-up.service korvane-up.timer)
  file(READ "${KORVANE_EXAMPLES}/${_example}" _text)
  string(REPLACE "/usr/bin/korvane" "${_korvane}" _text "${_text}")
  file(WRITE "${KORVANE_EXAMPLES_STAGE}/${_example}" "${_text}")
  list(APPEND _staged "${KORVANE_EXAMPLES_STAGE}/${_example}")
endforeach()
file(INSTALL ${_staged} DESTINATION "${CMAKE_INSTALL_PREFIX}/${KORVANE_DOCDIR}/examples"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
