# SPDX-License-Identifier: MIT
# Run by CPack on its staging tree: adds what a Debian package carries
# beside the programs.  gzip -n leaves out the name and time stamp, so that
# rebuilds give the same bytes.
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")

file(GLOB pages "${root}/share/man/man*/*")
if(NOT pages)
  message(FATAL_ERROR "no manual page in ${root}")
endif()

# The licence in Debian's machine-readable copyright format: the holder
# from its copyright line, its text as the License paragraph's body.
file(READ "${CPACK_SIGMASK_PROBE_SOURCE_DIR}/LICENSE" licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" _ "${licence}")
set(holder "${CMAKE_MATCH_1}")
string(FIND "${licence}" "Permission" start)
string(SUBSTRING "${licence}" ${start} -1 text)
string(REPLACE "\n\n" "\n.\n" text " ${text}")
string(REGEX REPLACE "\n(.)" "\n \\1" text "${text}")

file(MAKE_DIRECTORY "${doc}")
file(WRITE "${doc}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}

Files: *
Copyright: ${holder}
License: MIT
${text}")
configure_file("${CPACK_SIGMASK_PROBE_SOURCE_DIR}/cmake/changelog" "${doc}/changelog" COPYONLY)
file(CHMOD "${doc}/copyright" "${doc}/changelog"
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

foreach(file IN LISTS pages ITEMS "${doc}/changelog")
  execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
