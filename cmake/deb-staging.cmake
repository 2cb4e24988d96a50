# Run by CPack on its staging tree: Debian ships manual pages gzipped, with
# no name or time stamp in the header so that rebuilds give the same bytes.
file(GLOB pages "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/man/man*/*")
if(NOT pages)
  message(FATAL_ERROR "no manual page in ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9n ${page} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
