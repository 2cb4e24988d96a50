# SPDX-License-Identifier: MIT
# Toolchain for SIGMASK_PROBE_ARCH (default i386), one of the targets in
# cmake/targets: Debian's cross compiler, and qemu-user where this kernel
# cannot run the target's code (found by running the target's loader).
# The table's columns become SIGMASK_PROBE_<COLUMN> for the build and tests.
if(NOT SIGMASK_PROBE_ARCH)
  set(SIGMASK_PROBE_ARCH i386)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SIGMASK_PROBE_ARCH)

file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/targets rows REGEX "^${SIGMASK_PROBE_ARCH} ")
if(NOT rows)
  message(FATAL_ERROR "SIGMASK_PROBE_ARCH=${SIGMASK_PROBE_ARCH} is not in cmake/targets")
endif()
string(REGEX MATCHALL "[^ ]+" row "${rows}")
foreach(column IN ITEMS NAME TRIPLET DEB_ARCH QEMU ELF_CLASS ELF_MACHINE INTERPRETER SIGNAL_GLIBC PRINTF_GLIBC NEWEST_GLIBC DEVIATIONS)
  list(POP_FRONT row SIGMASK_PROBE_${column})
endforeach()

string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR ${SIGMASK_PROBE_TRIPLET})
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${SIGMASK_PROBE_TRIPLET}-g++)
set(sysroot /usr/${SIGMASK_PROBE_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

execute_process(COMMAND ${sysroot}${SIGMASK_PROBE_INTERPRETER} --version
  RESULT_VARIABLE runs OUTPUT_QUIET ERROR_QUIET)
if(NOT runs EQUAL 0)
  find_program(SIGMASK_PROBE_QEMU_PROGRAM qemu-${SIGMASK_PROBE_QEMU})
  if(NOT SIGMASK_PROBE_QEMU_PROGRAM)
    message(FATAL_ERROR "this kernel does not run ${SIGMASK_PROBE_ARCH} code and qemu-${SIGMASK_PROBE_QEMU} is missing: install qemu-user")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SIGMASK_PROBE_QEMU_PROGRAM})
  # The cross libraries only where this machine lacks the target's own
  # loader: with the i686 cross libc behind -L, qemu-i386 7.2 hangs in
  # fork(), while the machine's libc6-i386 runs fine.
  if(NOT EXISTS ${SIGMASK_PROBE_INTERPRETER})
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -L ${sysroot})
  endif()
endif()
