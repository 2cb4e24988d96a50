# SPDX-License-Identifier: MIT
# Toolchain for SIGMASK_PROBE_ARCH, one of the targets in cmake/targets:
# Debian's cross compiler, and the emulator cmake/target names where this
# kernel cannot run the target's code.  Every column of the target's row
# becomes SIGMASK_PROBE_<COLUMN> for the build and the tests.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SIGMASK_PROBE_ARCH)
execute_process(COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/target ${SIGMASK_PROBE_ARCH}
  OUTPUT_VARIABLE row RESULT_VARIABLE failed ERROR_VARIABLE why)
if(failed)
  message(FATAL_ERROR "${why}")
endif()
string(REGEX MATCHALL "[^\n]+" row "${row}")
foreach(field IN LISTS row)
  string(REGEX MATCH "^([^=]+)=(.*)$" _ "${field}")
  string(TOUPPER ${CMAKE_MATCH_1} column)
  set(SIGMASK_PROBE_${column} "${CMAKE_MATCH_2}")
endforeach()

string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR ${SIGMASK_PROBE_TRIPLET})
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${SIGMASK_PROBE_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${SIGMASK_PROBE_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(SIGMASK_PROBE_EMULATOR)
  separate_arguments(emulator UNIX_COMMAND "${SIGMASK_PROBE_EMULATOR}")
  list(POP_FRONT emulator qemu)
  find_program(SIGMASK_PROBE_QEMU_PROGRAM ${qemu})
  if(SIGMASK_PROBE_QEMU_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SIGMASK_PROBE_QEMU_PROGRAM} ${emulator})
  else()
    message(WARNING "this kernel does not run ${SIGMASK_PROBE_ARCH} code and ${qemu} is missing: "
      "the programs build, but do not run here (make setup installs qemu-user)")
  endif()
endif()
