// SPDX-License-Identifier: MIT
// The cases of the mask calls: a null set, a bad how, the three hows, the
// sizes, SIGKILL and SIGSTOP, every signal's place, round trip and
// delivery, faults, and libc's own calls.

#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "cases.h"

// 1. A null new set reads the mask, whatever how says.
static void null_set(int how)
{
	set_mask(start);
	struct roomy old;
	memset(&old, 0xa5, sizeof old);
	put_result(rt_sigprocmask(how, NULL, &old, kset_bytes));
	put_mask();
	put_kset("old", &old.k);
}
void null_set_block(void) { null_set(SIG_BLOCK); }
void null_set_unblock(void) { null_set(SIG_UNBLOCK); }
void null_set_setmask(void) { null_set(SIG_SETMASK); }
void null_set_how_3(void) { null_set(how_past); }
void null_set_how_minus_1(void) { null_set(-1); }
void null_set_how_intmax(void) { null_set(INT_MAX); }
void null_set_libc(void)
{
	set_mask(start);
	sigset_t old;
	put_result(sigprocmask(SIG_BLOCK, NULL, &old));
	put_mask();
	put_sigset("old", &old);
}

// 2. An invalid how with a set changes nothing.
static const int twelve[] = {SIGUSR2, 0};
static void bad_how(int how)
{
	set_mask(start);
	struct kset set = kset_of(twelve);
	unsigned char old[kset_bytes];
	memset(old, 0xa5, sizeof old);
	put_result(rt_sigprocmask(how, &set, old, kset_bytes));
	put_mask();
	put_untouched("old", old, sizeof old);
}
void bad_how_3(void) { bad_how(how_past); }
void bad_how_minus_1(void) { bad_how(-1); }

// 3. The three hows with a set of 10 and 12, from 1 and 10.
static int how_now;
static long with_set(void *old)
{
	static const int set[] = {SIGUSR1, SIGUSR2, 0};
	struct kset s = kset_of(set);
	return rt_sigprocmask(how_now, &s, old, kset_bytes);
}
static void with_how(int how)
{
	how_now = how;
	set_mask(start);
	struct roomy old;
	put_result(with_set(&old));
	put_mask();
	put_kset("old", &old.k);
	put("bytes=%d", bytes_written(with_set, start));
}
void set_block(void) { with_how(SIG_BLOCK); }
void set_unblock(void) { with_how(SIG_UNBLOCK); }
void set_setmask(void) { with_how(SIG_SETMASK); }
void same_buffer(void)
{
	static const int one[] = {SIGHUP, 0};
	set_mask(one);
	struct roomy buf;
	buf.k = kset_of(twelve);
	put_result(rt_sigprocmask(SIG_BLOCK, &buf, &buf, kset_bytes));
	put_mask();
	put_kset("buf", &buf.k);
}

// 4. Any sigsetsize but the set's is refused, and nothing is written.
static void size(size_t bytes)
{
	set_mask(start);
	unsigned char set[128] = {0}, old[128];
	struct kset s = kset_of(twelve);
	memcpy(set, &s, sizeof s);
	memset(old, 0xa5, sizeof old);
	put_result(rt_sigprocmask(SIG_BLOCK, bytes ? set : NULL, bytes ? old : NULL, bytes));
	put_mask();
	if (bytes)
		put_untouched("old", old, sizeof old);
}
void size_0(void) { size(0); }
void size_4(void) { size(kset_bytes / 2); }
void size_7(void) { size(kset_bytes - 1); }
void size_9(void) { size(kset_bytes + 1); }
void size_16(void) { size(2 * kset_bytes); }
void size_128(void) { size(sizeof(sigset_t)); }

// 5. SIGKILL and SIGSTOP cannot be blocked.
void kill_stop_setmask(void)
{
	static const int set[] = {SIGKILL, SIGSTOP, SIGUSR1, 0};
	set_mask(none);
	struct kset s = kset_of(set);
	put_result(rt_sigprocmask(SIG_SETMASK, &s, NULL, kset_bytes));
	put_mask();
}
void kill_stop_block(void)
{
	static const int one[] = {SIGHUP, 0}, set[] = {SIGKILL, SIGSTOP, 0};
	set_mask(one);
	struct kset s = kset_of(set);
	put_result(rt_sigprocmask(SIG_BLOCK, &s, NULL, kset_bytes));
	put_mask();
}

// 6. Every signal one by one; SIGKILL and SIGSTOP cannot be held.
static int holdable(int n) { return n != SIGKILL && n != SIGSTOP; }

// Takes every pending signal, whatever the bits say.
static void take_pending(void)
{
	unsigned char all[kset_bytes];
	memset(all, 0xff, sizeof all);
	struct timespec now = {0, 0};
	while (syscall(SYS_rt_sigtimedwait, all, NULL, &now, kset_bytes) > 0)
		;
}

// Where each signal lands in the bytes of a pending set, found by sending
// it: byte * 8 + bit.
void layout(void)
{
	unsigned char all[kset_bytes];
	memset(all, 0xff, sizeof all);
	rt_sigprocmask(SIG_SETMASK, all, NULL, kset_bytes);
	char text[1024] = "";
	size_t used = 0;
	for (int n = 1; n <= top_signal; n++) {
		int at = -1;
		if (holdable(n)) {
			unsigned char bytes[kset_bytes] = {0};
			kill(getpid(), n);
			rt_sigpending(bytes, kset_bytes);
			for (int k = 0; k < 8 * kset_bytes; k++)
				if (bytes[k / 8] >> (k % 8) & 1)
					at = at == -1 ? k : -2;
			take_pending();
		}
		if (at >= 0)
			used += snprintf(text + used, sizeof text - used, "%s%d", n > 1 ? "," : "", at);
		else
			used += snprintf(text + used, sizeof text - used, "%s%s", n > 1 ? "," : "",
					 at == -1 ? "-" : "?");
	}
	put("layout=%s", text);
}

// Each signal set alone comes back alone, raw and through libc.
void round_trip(void)
{
	char back[top_signal + 1] = {0}, libc[top_signal + 1] = {0};
	for (int n = 1; n <= top_signal; n++) {
		int one[] = {n, 0};
		struct kset s = kset_of(one), got;
		rt_sigprocmask(SIG_SETMASK, &s, NULL, kset_bytes);
		got = mask_now();
		back[n] = memcmp(&s, &got, sizeof s) == 0;
		sigset_t read;
		sigprocmask(SIG_BLOCK, NULL, &read);
		libc[n] = sigismember(&read, n) == 1;
	}
	put_list("back", has_flag, back);
	put_list("libc", has_flag, libc);
}

static volatile sig_atomic_t caught;
void count(int) { caught = caught + 1; }

// Each signal, blocked and sent, shows pending, and arrives once released:
// to a handler, or where libc keeps the signal for itself (the first two
// real-time ones), by its default action in a child.
void pending_delivery(void)
{
	char pending[top_signal + 1] = {0}, delivered[top_signal + 1] = {0};
	for (int n = 1; n <= top_signal; n++) {
		if (!holdable(n))
			continue;
		int one[] = {n, 0};
		struct kset s = kset_of(one);
		if (n == __SIGRTMIN || n == __SIGRTMIN + 1) {
			pid_t pid = fork();
			if (pid == 0) {
				rt_sigprocmask(SIG_SETMASK, &s, NULL, kset_bytes);
				kill(getpid(), n);
				struct kset p = pending_now();
				if (memcmp(&p, &s, sizeof s) != 0)
					_exit(1);
				set_mask(none);
				_exit(2);
			}
			int status;
			waitpid(pid, &status, 0);
			pending[n] = WIFSIGNALED(status) || WEXITSTATUS(status) != 1;
			delivered[n] = WIFSIGNALED(status) && WTERMSIG(status) == n;
			continue;
		}
		struct sigaction sa, was;
		memset(&sa, 0, sizeof sa);
		sa.sa_handler = count;
		sigaction(n, &sa, &was);
		rt_sigprocmask(SIG_SETMASK, &s, NULL, kset_bytes);
		caught = 0;
		kill(getpid(), n);
		struct kset p = pending_now();
		pending[n] = memcmp(&p, &s, sizeof s) == 0;
		set_mask(none);
		delivered[n] = caught == 1;
		sigaction(n, &was, NULL);
	}
	put_list("pending", has_flag, pending);
	put_list("delivered", has_flag, delivered);
}

// 7. Faults: addresses that are not mapped, or sets that run off a page.
unsigned char *page_before_a_hole(void)
{
	long page = sysconf(_SC_PAGESIZE);
	unsigned char *p = (unsigned char *)mmap(NULL, 2 * page, PROT_READ | PROT_WRITE,
						 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	munmap(p + page, page);
	return p;
}
void fault_set(void)
{
	set_mask(start);
	unsigned char *hole = page_before_a_hole() + sysconf(_SC_PAGESIZE);
	struct roomy old;
	put_result(rt_sigprocmask(SIG_BLOCK, hole, &old, kset_bytes));
	put_mask();
}
void fault_old(void)
{
	set_mask(start);
	struct kset s = kset_of(twelve);
	unsigned char *hole = page_before_a_hole() + sysconf(_SC_PAGESIZE);
	put_result(rt_sigprocmask(SIG_BLOCK, &s, hole, kset_bytes));
	put_mask();
}
static void at_page_end(int room)
{
	set_mask(start);
	struct kset s = kset_of(twelve);
	unsigned char *set = page_before_a_hole() + sysconf(_SC_PAGESIZE) - room;
	memcpy(set, &s, room < kset_bytes ? room : kset_bytes);
	put_result(rt_sigprocmask(SIG_BLOCK, set, NULL, kset_bytes));
	put_mask();
}
void fault_page_end(void) { at_page_end(kset_bytes / 2); }
void page_last_8(void) { at_page_end(kset_bytes); }

// 8. libc: how, pthread_sigmask's result, and sigset_t past the kernel's
// set.
void libc_bad_how(void)
{
	set_mask(start);
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGUSR2);
	put_result(sigprocmask(99, &set, NULL));
	put_mask();
}
void pthread_sigmask_error(void)
{
	set_mask(start);
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGUSR2);
	int r = pthread_sigmask(99, &set, NULL);
	put("r=%s", r ? error_name(r) : "0");
	put_mask();
}
static long libc_read(void *old)
{
	return sigprocmask(SIG_BLOCK, NULL, (sigset_t *)old);
}
void libc_sigset_tail(void)
{
	put("old_bytes=%d", bytes_written(libc_read, start));
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGUSR2);
	memset((char *)&set + kset_bytes, 0xff, sizeof set - kset_bytes);
	sigprocmask(SIG_SETMASK, &set, NULL);
	put_mask();
}
