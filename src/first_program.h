// SPDX-License-Identifier: MIT
// The check as the first program of a bare system: it makes what its rows
// need of the file system, takes no notice of what the kernel passes on
// for others, and powers the machine off at the end instead of returning.
#pragma once

#include <cstdio>
#include <string>

// Whether to run so: an option before the command says --init, or we are
// process 1 started as /init, as a kernel starts its initramfs's.  Process
// 1 of a container or sandbox is an ordinary run.
bool first_program_wanted(int argc, char **argv);

// Drops the NAME=value words a kernel hands init (user-mode-linux adds
// root= and console= after "--").
void drop_kernel_words(int *argc, char **argv);

// Makes what the rows need and is not there: devtmpfs on /dev when there
// is no /dev/null, devpts on /dev/pts when there is no /dev/pts/ptmx, a
// tmpfs on /tmp when no temporary file can be made there; and descriptors
// 0 to 2 on the console when they are closed.  What cannot be made shows
// in the rows that need it.
void prepare_first_program();

// Syncs, writes the last line, which carries status, on report (and on
// standard error when that is another file), and powers the machine off.
// An error, the line the check wrote on standard error for its status (or
// empty), comes before it on report as a comment, when that is another file:
// there the console's line may never be seen.  Returns only when it cannot
// power off (not process 1 of the system: of a PID namespace, a sandbox,
// or not process 1 at all), having said why; the caller then exits with
// status.
void power_off(int status, const std::string &error, FILE *report);
