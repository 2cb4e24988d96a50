# SPDX-License-Identifier: MIT
# Run by CPack on its staging tree: adds what a Debian package carries
# beside the programs, the source package's own copyright and changelog.
# gzip -n leaves out the name and time stamp, so that rebuilds give the
# same bytes.
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")

file(GLOB pages "${root}/share/man/man*/*")
if(NOT pages)
  message(FATAL_ERROR "no manual page in ${root}")
endif()

file(MAKE_DIRECTORY "${doc}")
foreach(file copyright changelog)
  configure_file("${CPACK_SIGMASK_PROBE_SOURCE_DIR}/debian/${file}" "${doc}/${file}" COPYONLY)
endforeach()
file(CHMOD "${doc}/copyright" "${doc}/changelog"
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

foreach(file IN LISTS pages ITEMS "${doc}/changelog")
  execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
