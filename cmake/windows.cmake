# The Windows build: platform services and ICMP control for Win32, and
# korvane.exe as a statically linked GUI-subsystem program (no window, no console).
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
add_link_options(-static)

add_library(korvane_os STATIC
  src/windows/win32_platform.cpp
  src/windows/win32_text.cpp
  src/windows/windows_command_line.cpp
  src/windows/windows_icmp_control.cpp
  src/windows/windows_reply.cpp
)
target_link_libraries(korvane_os PUBLIC korvane_logic iphlpapi ws2_32 winmm bcrypt)

enable_language(RC)
configure_file(packaging/windows/korvane.rc.in korvane.rc @ONLY)
add_executable(korvane WIN32 src/windows/main_windows.cpp ${CMAKE_CURRENT_BINARY_DIR}/korvane.rc)
target_link_options(korvane PRIVATE -municode $<$<CONFIG:Release>:-s>)
target_link_libraries(korvane PRIVATE korvane_os)
target_compile_definitions(korvane PRIVATE KORVANE_VERSION="${PROJECT_VERSION}")

install(TARGETS korvane RUNTIME DESTINATION .)
# Windows' text files end their lines in CR LF; the Debian changelog keeps LF.
configure_file(packaging/changelog.in CHANGELOG.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(packaging/windows/INSTALL.txt INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/INSTALL.txt ${CMAKE_CURRENT_BINARY_DIR}/CHANGELOG.txt DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME korvane-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# The MSI, for deployment to many machines, is built from the zip's staged files.
find_program(KORVANE_WIXL wixl)
if(KORVANE_WIXL)
  set(CPACK_KORVANE_WIXL ${KORVANE_WIXL})
  set(CPACK_KORVANE_WXS ${PROJECT_SOURCE_DIR}/packaging/windows/korvane.wxs)
  set(CPACK_KORVANE_MSI ${CMAKE_BINARY_DIR}/korvane-${PROJECT_VERSION}-x64.msi)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/windows_msi.cmake)
else()
  message(WARNING "wixl not found (Debian package wixl): the package target builds the zip only")
endif()
include(CPack)
