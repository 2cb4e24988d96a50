#!/bin/sh
# SPDX-License-Identifier: MIT
# user-mode-linux as it boots on a CPU with AMX: the kernel comes up, its
# first program dies as it starts, for the host refuses its floating-point
# registers, and the kernel panics and aborts, as with panic=-1.
cat <<END
Checking that ptrace can change system call numbers...OK
Linux version 6.1.176 (fake user-mode-linux) #1
Kernel command line: $*
Run /init as init process
userspace - ptrace set fp regs failed, errno = 14
Kernel panic - not syncing: Attempted to kill init! exitcode=0x0000000b
END
kill -ABRT $$
