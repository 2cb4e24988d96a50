// SPDX-License-Identifier: MIT
// rt_sigaction raw, as the target's kernel takes it, for the signals libc
// keeps for itself (32 and 33) and the cases that ask the kernel itself.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <sys/syscall.h>
#include <unistd.h>

// The kernel's sigset_t: a bit for each signal, 8 bytes; 16 on MIPS.
constexpr size_t kernel_set_bytes = (_NSIG - 1 + 7) / 8;

// act and old are the kernel's struct sigaction, whose layout is the
// architecture's (MIPS's starts with the flags).
inline long kernel_sigaction(int sig, const void *act, void *old, size_t size = kernel_set_bytes)
{
#ifdef __sparc__
	return syscall(SYS_rt_sigaction, sig, act, old, nullptr, size);	// the restorer before the size
#else
	return syscall(SYS_rt_sigaction, sig, act, old, size);
#endif
}
