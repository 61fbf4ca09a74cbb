# Lets users run the installed checker without root or set-uid: it needs only
# the capability to open a raw ICMP socket. A staged install (DESTDIR, as the
# Debian package is built) is left alone: the package's postinst grants it.
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  return()
endif()
set(_korvane "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/korvane")
execute_process(COMMAND id -u OUTPUT_VARIABLE _uid OUTPUT_STRIP_TRAILING_WHITESPACE)
find_program(_setcap setcap PATHS /usr/sbin /sbin)
if(_uid STREQUAL "0" AND _setcap AND EXISTS "${_korvane}")
  execute_process(COMMAND "${_setcap}" cap_net_raw+ep "${_korvane}" RESULT_VARIABLE _result)
  if(_result EQUAL 0)
    message(STATUS "Granted cap_net_raw to ${_korvane}")
  else()
    message(WARNING "setcap cap_net_raw+ep ${_korvane} failed; run korvane as root or allow "
                    "unprivileged ping through net.ipv4.ping_group_range")
  endif()
else()
  message(STATUS "Not granting cap_net_raw to ${_korvane} (needs root and setcap); see the man page")
endif()
