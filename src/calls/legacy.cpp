// SPDX-License-Identifier: MIT
// The cases of the legacy calls: sigprocmask and sigpending with one word
// of signals, and sgetmask and ssetmask, where the architecture has them.

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "cases.h"

// 18. The legacy calls, with one word of signals 1 to 32 (64 on s390x),
// where the architecture has their numbers.  A kernel may have a number
// and no call behind it (ppc64's sigprocmask and sigpending): the case
// then says ENOSYS, and no more.
#if defined(SYS_sigprocmask) || defined(SYS_sigpending)
static void put_word(const char *key, unsigned long word)
{
	struct kset s;
	memset(&s, 0, sizeof s);
	s.w[0] = word;
	put_kset(key, &s);
}
#endif
#ifdef SYS_sigprocmask
static long legacy_read(void *old)
{
	return syscall(SYS_sigprocmask, SIG_BLOCK, NULL, old);
}
void legacy_setmask(void)
{
	static const int rt[] = {SIGINT, rt40, 0};
	set_mask(rt);
	unsigned long word = 1UL | 1UL << 31;
	struct roomy old;
	memset(&old, 0, sizeof old);
	long r = syscall(SYS_sigprocmask, SIG_SETMASK, &word, &old);
	int lacking = r < 0 && errno == ENOSYS;
	put_result(r);
	put_mask();
	if (lacking)
		return;
	put_word("old", old.k.w[0]);
	put("bytes=%d", bytes_written(legacy_read, rt));
}
void legacy_how(void)
{
	set_mask(start);
	unsigned long word = 1UL << (SIGUSR2 - 1);
	struct roomy old;
	long null = syscall(SYS_sigprocmask, 99, NULL, &old);
	put("null=%s", null == 0 ? "0" : error_name(errno));
	long set = syscall(SYS_sigprocmask, 99, &word, &old);
	put("set=%s", set == 0 ? "0" : error_name(errno));
	put_mask();
}
#endif
#ifdef SYS_sigpending
static long legacy_pending_into(void *buf) { return syscall(SYS_sigpending, buf); }
void legacy_sigpending(void)
{
	static const int held[] = {SIGUSR1, rt40, 0};
	set_mask(held);
	kill(getpid(), SIGUSR1);
	kill(getpid(), rt40);
	struct roomy word;
	memset(&word, 0, sizeof word);
	long r = syscall(SYS_sigpending, &word);
	int lacking = r < 0 && errno == ENOSYS;
	put_result(r);
	if (lacking)
		return;
	put_word("pending", word.k.w[0]);
	put("bytes=%d", bytes_written(legacy_pending_into, NULL));
}
#endif
#ifdef SYS_ssetmask
// A 64-bit kernel takes the word as an int into its long: bit 31 spreads
// to 33 to 64.
void sgetmask_ssetmask(void)
{
	static const int two[] = {SIGINT, 0};
	set_mask(two);
	long old = syscall(SYS_ssetmask, 1L | 1L << 31);
	unsigned long now = (unsigned long)syscall(SYS_sgetmask);
	put_word("old", (unsigned long)old);
	put_word("get", now);
	put_mask();
	struct utsname u;
	put("kernel=%s", uname(&u) == 0 ? u.machine : "?");
}
#endif
