# Run by CPack once the zip's files are staged: the MSI, from the same files,
# beside the zip.
execute_process(
  COMMAND "${CPACK_KORVANE_WIXL}" -a x64 -D "Version=${CPACK_PACKAGE_VERSION}"
          -o "${CPACK_KORVANE_MSI}" "${CPACK_KORVANE_WXS}"
  WORKING_DIRECTORY "${CPACK_TEMPORARY_INSTALL_DIRECTORY}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "wixl failed (${status}): no ${CPACK_KORVANE_MSI}")
endif()
message(STATUS "MSI: ${CPACK_KORVANE_MSI}")
