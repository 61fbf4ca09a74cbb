# Run by CPack once the zip's files are staged: the MSI, from the same files,
# beside the zip. NextVersion (X.Y.Z+1) bounds the range of installed versions
# that a package of the same version replaces.
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$" version_ok "${CPACK_PACKAGE_VERSION}")
if(NOT version_ok)
  message(FATAL_ERROR "MSI: version ${CPACK_PACKAGE_VERSION} is not X.Y.Z")
endif()
math(EXPR next_patch "${CMAKE_MATCH_3} + 1")
set(next_version "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${next_patch}")
execute_process(
  COMMAND "${CPACK_KORVANE_WIXL}" -a x64 -D "Version=${CPACK_PACKAGE_VERSION}" -D "NextVersion=${next_version}"
          -o "${CPACK_KORVANE_MSI}" "${CPACK_KORVANE_WXS}"
  WORKING_DIRECTORY "${CPACK_TEMPORARY_INSTALL_DIRECTORY}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "wixl failed (${status}): no ${CPACK_KORVANE_MSI}")
endif()
message(STATUS "MSI: ${CPACK_KORVANE_MSI}")
