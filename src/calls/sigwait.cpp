// SPDX-License-Identifier: MIT
// The cases of the calls that take a pending signal without a handler:
// sigtimedwait, sigwaitinfo and sigwait, through libc, and rt_sigtimedwait
// raw.  What they return and the siginfo they fill, what they leave
// pending and blocked, the order they take signals in, what they refuse,
// and how a wait ends.
//
// Each starts from signals 1 and 10 blocked, with a handler that notes
// what it catches (SA_SIGINFO | SA_RESTART, sa_mask {28}) on 1, 10, 12, 40
// and 41: a signal taken by a wait never reaches it, and a mask the call
// failed to restore lets it run.

#include <errno.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>

#include "cases.h"

static sigset_t set_of(std::initializer_list<int> sigs)
{
	sigset_t s;
	sigemptyset(&s);
	for (int sig : sigs)
		sigaddset(&s, sig);
	return s;
}

static void put_id(const char *key, long id, long self, long child)
{
	if (id == self)
		put("%s=self", key);
	else if (child && id == child)
		put("%s=child", key);
	else
		put("%s=%ld", key, id);
}

static const struct timespec zero = {0, 0};

// 19. sigtimedwait takes a blocked pending signal of its set, with its
// siginfo, and leaves the mask as it was; with nothing pending it gives
// EAGAIN when the time is up; it takes only what its set holds; and it
// checks the timespec before it takes anything.
void sigtimedwait_basic(void)
{
	start_waiting();
	kill(getpid(), SIGUSR1);
	sigset_t set = set_of({SIGUSR1});
	siginfo_t info;
	memset(&info, 0, sizeof info);
	put_result(sigtimedwait(&set, &info, &zero));
	put("signo=%d code=%s", info.si_signo, code_name(info.si_signo, info.si_code));
	put_id("pid", info.si_pid, getpid(), 0);
	put_id("uid", info.si_uid, getuid(), 0);
	put_caught();
	put_pending();
	put_mask();
}
void sigtimedwait_eagain(void)
{
	start_waiting();
	sigset_t set = set_of({SIGUSR1});
	put_as("ts0", sigtimedwait(&set, NULL, &zero));
	const struct timespec short_time = {0, 50 * 1000000L};
	long began = now_ms();
	put_as("ts50", sigtimedwait(&set, NULL, &short_time));
	put("wait=%s", now_ms() - began >= 45 ? "full" : "short");
	put_mask();
}
void sigtimedwait_not_in_set(void)
{
	start_waiting();
	kill(getpid(), SIGHUP);
	kill(getpid(), SIGUSR1);
	sigset_t set = set_of({SIGUSR1});
	put_result(sigtimedwait(&set, NULL, &zero));
	put_pending();
}
void sigtimedwait_bad_timespec(void)
{
	start_waiting();
	kill(getpid(), SIGUSR1);
	sigset_t set = set_of({SIGUSR1});
	const struct timespec bad = {0, 1000000000L};
	put_result(sigtimedwait(&set, NULL, &bad));
	put_pending();
}

// 20. rt_sigtimedwait raw: SIGKILL and SIGSTOP are dropped from the set,
// not refused; any sigsetsize but the set's is.  Its timespec is the kernel's
// own: two longs.
static long rt_sigtimedwait(const struct kset *set, size_t size)
{
	static const struct kernel_timespec now = {0, 0};
	return syscall(SYS_rt_sigtimedwait, set, NULL, &now, size);
}
void sigtimedwait_kill_stop(void)
{
	start_waiting();
	kill(getpid(), SIGUSR1);
	static const int kill_stop[] = {SIGKILL, SIGSTOP, 0}, with_10[] = {SIGKILL, SIGUSR1, SIGSTOP, 0};
	struct kset only = kset_of(kill_stop), with = kset_of(with_10);
	put_as("only_kill_stop", rt_sigtimedwait(&only, kset_bytes));
	put_as("with10", rt_sigtimedwait(&with, kset_bytes));
	put_mask();
}
void sigtimedwait_sizes(void)
{
	start_waiting();
	kill(getpid(), SIGUSR1);
	static const int ten[] = {SIGUSR1, 0};
	struct roomy set;
	memset(&set, 0, sizeof set);
	set.k = kset_of(ten);
	put_as("s4", rt_sigtimedwait(&set.k, kset_bytes / 2));
	put_as("s16", rt_sigtimedwait(&set.k, 2 * kset_bytes));
	put_pending();
}

// 21. sigwaitinfo takes an ignored signal that blocking kept pending, and
// a SIGCHLD whose default is to ignore it, with the child's siginfo.
void sigwaitinfo_ignored_signal(void)
{
	start_waiting();
	ignore(SIGUSR1);
	kill(getpid(), SIGUSR1);
	put_pending_as("pending_before");
	sigset_t set = set_of({SIGUSR1});
	arm_guard();
	if (sigsetjmp(guard_jump, 1))
		put("r=stuck");
	else
		put_result(sigwaitinfo(&set, NULL));
	alarm(0);
	put_pending_as("pending_after");
}
void sigwaitinfo_sigchld(void)
{
	start_waiting();
	static const int held[] = {SIGHUP, SIGUSR1, SIGCHLD, 0};
	set_mask(held);
	pid_t child = fork();
	if (child == 0)
		_exit(3);
	sigset_t set = set_of({SIGCHLD});
	siginfo_t info;
	memset(&info, 0, sizeof info);
	arm_guard();
	if (sigsetjmp(guard_jump, 1)) {
		put("r=stuck");
	} else {
		put_result(sigwaitinfo(&set, &info));
		alarm(0);
		put("code=%s status=%d", code_name(info.si_signo, info.si_code), info.si_status);
		put_id("pid", info.si_pid, getpid(), child);
	}
	waitpid(child, NULL, 0);
}

// 22. The order it takes them in: standard signals lowest first, then
// real-time ones lowest first, each in the order queued with its value;
// a synchronous signal before any other.
static void put_drained(sigset_t set)
{
	char text[128] = "";
	size_t used = 0;
	for (int i = 0; i < 10; i++) {
		siginfo_t info;
		memset(&info, 0, sizeof info);
		int r = sigtimedwait(&set, &info, &zero);
		if (r < 0) {
			snprintf(text + used, sizeof text - used, "%s%s", i ? "," : "", error_name(errno));
			break;
		}
		if (info.si_code == SI_QUEUE)
			used += snprintf(text + used, sizeof text - used, "%s%d:%d", i ? "," : "", r,
					 info.si_value.sival_int);
		else
			used += snprintf(text + used, sizeof text - used, "%s%d", i ? "," : "", r);
	}
	put("order=%s", text);
}
static void queue(int sig, int value)
{
	union sigval v;
	memset(&v, 0, sizeof v);
	v.sival_int = value;
	sigqueue(getpid(), sig, v);
}
void sigtimedwait_order(void)
{
	start_waiting();
	const int held[] = {SIGHUP, SIGUSR1, SIGUSR2, rt40, rt41, 0};
	set_mask(held);
	kill(getpid(), SIGUSR2);
	queue(rt41, 3);
	kill(getpid(), SIGHUP);
	queue(rt40, 1);
	kill(getpid(), SIGUSR1);
	queue(rt40, 2);
	put_drained(set_of({SIGHUP, SIGUSR1, SIGUSR2, rt40, rt41}));
}
void sigtimedwait_sync_first(void)
{
	start_waiting();
	static const int held[] = {SIGHUP, SIGUSR1, SIGSEGV, 0};
	set_mask(held);
	kill(getpid(), SIGHUP);
	kill(getpid(), SIGSEGV);
	put_pending();
	put_drained(set_of({SIGHUP, SIGSEGV}));
}

// 23. How a wait ends: a signal of the set that is not blocked is taken
// all the same, never handled; a handled signal outside the set ends it
// with EINTR, SA_RESTART or not; sigwait takes only what its set holds.
// Waits up to 2 s for wanted while sent comes at 50 ms, to the process
// or to the main thread alone: long enough for the wait to have begun on
// a slow machine, short enough to keep the case short.
static void wait_while_sent(int wanted, int sent, int to_main)
{
	start_waiting();
	pthread_t t;
	if (!start_sender(&t, sent, 50, to_main))
		return;
	sigset_t set = set_of({wanted});
	const struct timespec two = {2, 0};
	long began = now_ms();
	put_result(sigtimedwait(&set, NULL, &two));
	put("wait=%s", now_ms() - began < 1000 ? "short" : "full");
	pthread_join(t, NULL);
	put_caught();
}
void sigtimedwait_unblocked(void) { wait_while_sent(SIGUSR2, SIGUSR2, 0); }
void sigtimedwait_eintr(void)
{
	wait_while_sent(SIGUSR1, SIGUSR2, 1);
	put_mask();
}
void sigwait_set(void)
{
	start_waiting();
	kill(getpid(), SIGHUP);
	pthread_t t;
	if (!start_sender(&t, SIGUSR1, 20, 0))
		return;
	sigset_t set = set_of({SIGUSR1});
	int sig = 0;
	arm_guard();
	if (sigsetjmp(guard_jump, 1))
		put("ret=stuck");
	else {
		int ret = sigwait(&set, &sig);
		put("ret=%s sig=%d", ret ? error_name(ret) : "0", sig);
	}
	alarm(0);
	pthread_join(t, NULL);
	put_pending();
}
