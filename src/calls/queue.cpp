// SPDX-License-Identifier: MIT
// The cases of signals queued with a value, and the newer ways to send
// them or clear the handlers: rt_sigqueueinfo and rt_tgsigqueueinfo, the
// codes a sender may claim, sigqueue, clone3's CLONE_CLEAR_SIGHAND and
// pidfd_send_signal.

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <linux/sched.h>	// struct clone_args, CLONE_CLEAR_SIGHAND

#include "cases.h"

// What the handler of these cases caught, and the siginfo of the last.
static char caught[top_signal + 1];
static siginfo_t caught_info;
static void catch_info(int sig, siginfo_t *info, void *)
{
	if (sig > 0 && sig <= top_signal)
		caught[sig] = 1;
	caught_info = *info;
}

static void handle(int sig) { handle_with_info(sig, catch_info); }

static void put_caught(const char *key) { put_list(key, has_flag, caught); }

// A siginfo ready to send: signal sig, code code, the value and the
// sender's pid and uid it claims.
static siginfo_t info_of(int sig, int code, int value, pid_t pid, uid_t uid)
{
	siginfo_t si;
	memset(&si, 0, sizeof si);
	si.si_signo = sig;
	si.si_code = code;
	si.si_pid = pid;
	si.si_uid = uid;
	si.si_value.sival_int = value;
	return si;
}

static long sigqueueinfo(pid_t pid, int sig, siginfo_t *si)
{
	return syscall(SYS_rt_sigqueueinfo, pid, sig, si);
}

static long tgsigqueueinfo(pid_t tgid, pid_t tid, int sig, siginfo_t *si)
{
	return syscall(SYS_rt_tgsigqueueinfo, tgid, tid, sig, si);
}

// Takes signal sig if it is pending, at once: its number, or -1.
static int take(int sig, siginfo_t *si)
{
	struct kset set;
	memset(&set, 0, sizeof set);
	set.w[(sig - 1) / word_bits] = 1UL << ((sig - 1) % word_bits);
	struct timespec now = {0, 0};
	memset(si, 0, sizeof *si);
	return (int)syscall(SYS_rt_sigtimedwait, &set, si, &now, kset_bytes);
}

// "0" or the error's name.
static const char *outcome(long r) { return r == 0 ? "0" : error_name(errno); }

static void put_pending(const char *key)
{
	struct kset p = pending_now();
	put_kset(key, &p);
}

// 24. rt_sigqueueinfo and rt_tgsigqueueinfo to this process, 10 blocked:
// the siginfo taken is the one sent, pid and uid as claimed.
void sigqueueinfo_self(void)
{
	set_mask(start);
	handle(SIGUSR1);
	siginfo_t si = info_of(SIGUSR1, SI_QUEUE, 55, 12345, 777);
	put_result(sigqueueinfo(getpid(), SIGUSR1, &si));
	put_pending("pending");
	siginfo_t got;
	int sig = take(SIGUSR1, &got);
	put("got=%d code=%s pid=%d uid=%d int=%d", sig, code_name(got.si_signo, got.si_code), (int)got.si_pid,
	    (int)got.si_uid, got.si_value.sival_int);
	put_caught("handler");
}

void tgsigqueueinfo_self(void)
{
	set_mask(start);
	handle(SIGUSR1);
	pid_t tid = (pid_t)syscall(SYS_gettid);
	siginfo_t si = info_of(SIGUSR1, SI_QUEUE, 66, getpid(), getuid());
	put_result(tgsigqueueinfo(getpid(), tid, SIGUSR1, &si));
	put_pending("pending");
	siginfo_t got;
	int sig = take(SIGUSR1, &got);
	put("got=%d code=%s int=%d pid=%s", sig, code_name(got.si_signo, got.si_code), got.si_value.sival_int,
	    got.si_pid == getpid() ? "self" : "other");
	// The thread is not in the parent's thread group.
	si = info_of(SIGUSR1, SI_QUEUE, 66, getpid(), getuid());
	put("wrong_tgid=%s", outcome(tgsigqueueinfo(getppid(), tid, SIGUSR1, &si)));
	put_pending("pending_end");
}

// 25. The codes a sender may claim: any to itself; to another process, a
// code of the kernel's (>= 0) or tkill's is EPERM.
static const struct {
	const char *key;
	int code;
} claimed[] = {{"user", SI_USER}, {"tkill", SI_TKILL}, {"positive", 1}};

void sigqueueinfo_codes_self(void)
{
	set_mask(start);
	for (const auto &c : claimed) {
		siginfo_t si = info_of(SIGUSR1, c.code, 1, getpid(), getuid()), got;
		long r = sigqueueinfo(getpid(), SIGUSR1, &si);
		int sig = take(SIGUSR1, &got);
		put("%s=%s:%d:%s", c.key, outcome(r), sig, code_name(got.si_signo, got.si_code));
	}
	// si_signo says 12; the call's signal, 10, is what arrives.
	siginfo_t si = info_of(SIGUSR2, SI_QUEUE, 1, getpid(), getuid()), got;
	put("mismatch=%s", outcome(sigqueueinfo(getpid(), SIGUSR1, &si)));
	int sig = take(SIGUSR1, &got);
	put("got=%d signo=%d", sig, got.si_signo);
	put_pending("pending_end");
}

// From the start mask, a child of the case that blocks 10 itself, says so
// through ready, and writes to report what it takes within 2 s:
// signal:code:value-or-sender.  Where there is none, the line says so.
static pid_t waiting_child(int *report)
{
	set_mask(start);
	int fds[2], ready[2];
	if (pipe(fds) < 0 || pipe(ready) < 0) {
		put("child=none");
		return -1;
	}
	pid_t pid = fork();
	if (pid == 0) {
		static const int ten[] = {SIGUSR1, 0};
		set_mask(ten);
		char c = 0;
		if (write(ready[1], &c, 1) != 1)
			_exit(1);
		sigset_t wait;
		sigemptyset(&wait);
		sigaddset(&wait, SIGUSR1);
		struct timespec two = {2, 0};
		siginfo_t si;
		memset(&si, 0, sizeof si);
		int sig = sigtimedwait(&wait, &si, &two);
		char text[64];
		if (sig < 0)
			snprintf(text, sizeof text, "%s", error_name(errno));
		else if (si.si_code == SI_QUEUE)
			snprintf(text, sizeof text, "%d:%s:%d", sig, code_name(si.si_signo, si.si_code),
				 si.si_value.sival_int);
		else
			snprintf(text, sizeof text, "%d:%s:%s", sig, code_name(si.si_signo, si.si_code),
				 si.si_pid == getppid() ? "parent" : "other");
		_exit(write(fds[1], text, strlen(text)) > 0 ? 0 : 1);
	}
	close(fds[1]);
	close(ready[1]);
	char c;
	if (pid < 0 || read(ready[0], &c, 1) != 1) {
		close(fds[0]);
		put("child=none");
		pid = -1;
	}
	close(ready[0]);
	*report = fds[0];
	return pid;
}

// What the child took, once it is gone.
static void put_child(pid_t pid, int report)
{
	char text[64];
	ssize_t n = read(report, text, sizeof text - 1);
	text[n > 0 ? n : 0] = '\0';
	close(report);
	waitpid(pid, NULL, 0);
	put("child_got=%s", n > 0 ? text : "nothing");
}

void sigqueueinfo_codes_other(void)
{
	int report;
	pid_t child = waiting_child(&report);
	if (child < 0)
		return;
	for (const auto &c : claimed) {
		siginfo_t si = info_of(SIGUSR1, c.code, 1, getpid(), getuid());
		put("%s=%s", c.key, outcome(sigqueueinfo(child, SIGUSR1, &si)));
	}
	siginfo_t si = info_of(SIGUSR1, 1, 1, getpid(), getuid());
	put("tg_positive=%s", outcome(tgsigqueueinfo(child, child, SIGUSR1, &si)));
	si = info_of(SIGUSR1, SI_QUEUE, 5, getpid(), getuid());
	put("queue=%s", outcome(sigqueueinfo(child, SIGUSR1, &si)));
	put_child(child, report);
}

// 26. sigqueue to itself, 12 unblocked: the handler has run by the time
// it returns, with the value and the sender.
void sigqueue_handler(void)
{
	set_mask(start);
	handle(SIGUSR2);
	union sigval v;
	v.sival_int = 5;
	put_result(sigqueue(getpid(), SIGUSR2, v));
	put_caught("handler");
	// Late is not never: what it caught 20 ms on, and with what siginfo.
	for (long until = now_ms() + 20; now_ms() < until;)
		usleep(1000);
	put_caught("by_20ms");
	put("code=%s int=%d pid=%s uid=%s", code_name(caught_info.si_signo, caught_info.si_code),
	    caught_info.si_value.sival_int, caught_info.si_pid == getpid() ? "self" : "other",
	    caught_info.si_uid == getuid() ? "self" : "other");
}

// 27. clone3 with CLONE_CLEAR_SIGHAND, where the target numbers clone3:
// the child's handlers are back to SIG_DFL, what is ignored stays
// ignored, flags and sa_mask cleared; the mask is kept.
#ifdef SYS_clone3
static long clone3(unsigned long long flags, void *stack = nullptr, size_t stack_size = 0)
{
	struct clone_args args;
	memset(&args, 0, sizeof args);
	args.flags = flags;
	args.exit_signal = SIGCHLD;	// like fork: without a stack, the child's is a copy
	args.stack = reinterpret_cast<uintptr_t>(stack);
	args.stack_size = stack_size;
	return syscall(SYS_clone3, &args, sizeof args);
}

// A disposition as handler, SIG_DFL or SIG_IGN, its flags and sa_mask.
static void describe_action(int sig, char *text, size_t size)
{
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sigaction(sig, NULL, &sa);
	const char *what = sa.sa_handler == SIG_DFL ? "SIG_DFL" : sa.sa_handler == SIG_IGN ? "SIG_IGN" : "handler";
	// SA_RESTORER is libc's business, where the architecture has it.
	int flags = sa.sa_flags & ~0x04000000;
	char mask[128] = "";
	size_t used = 0;
	for (int n = 1; n <= top_signal; n++)
		if (sigismember(&sa.sa_mask, n) == 1)
			used += snprintf(mask + used, sizeof mask - used, used ? ",%d" : "%d", n);
	snprintf(text, size, "%s:%s%s%s%s:%s", what, flags & SA_SIGINFO ? "SA_SIGINFO" : "",
		 (flags & SA_SIGINFO) && (flags & SA_RESTART) ? "|" : "", flags & SA_RESTART ? "SA_RESTART" : "",
		 flags & ~(SA_SIGINFO | SA_RESTART) ? "|other" : flags ? "" : "0", used ? mask : "none");
}

void clone3_clear_sighand(void)
{
	set_mask(start);
	handle(SIGUSR1);
	struct sigaction ign;
	memset(&ign, 0, sizeof ign);
	ign.sa_handler = SIG_IGN;
	ign.sa_flags = SA_RESTART;
	sigemptyset(&ign.sa_mask);
	sigaddset(&ign.sa_mask, SIGWINCH);
	sigaction(SIGUSR2, &ign, NULL);
	char text[3][160];
	describe_action(SIGUSR1, text[0], sizeof text[0]);
	describe_action(SIGUSR2, text[1], sizeof text[1]);
	put("parent_10=%s parent_12=%s", text[0], text[1]);
	int fds[2];
	if (pipe(fds) < 0) {
		put("pipe=none");
		return;
	}
	long pid = clone3(CLONE_CLEAR_SIGHAND);
	if (pid == 0) {
		describe_action(SIGUSR1, text[0], sizeof text[0]);
		describe_action(SIGUSR2, text[1], sizeof text[1]);
		struct kset m = mask_now();
		size_t used = 0;
		for (int n = 1; n <= top_signal; n++)
			if (m.w[(n - 1) / word_bits] >> ((n - 1) % word_bits) & 1)
				used += snprintf(text[2] + used, sizeof text[2] - used, used ? ",%d" : "%d", n);
		char line[512];
		int n = snprintf(line, sizeof line, "child_10=%s child_12=%s child_mask=%s", text[0], text[1],
				 used ? text[2] : "none");
		_exit(write(fds[1], line, n) == n ? 0 : 1);
	}
	close(fds[1]);
	if (pid < 0) {
		put_result(pid);
		close(fds[0]);
		return;
	}
	put("r=pid");
	char line[512];
	ssize_t n = read(fds[0], line, sizeof line - 1);
	line[n > 0 ? n : 0] = '\0';
	close(fds[0]);
	waitpid((pid_t)pid, NULL, 0);
	put("%s", n > 0 ? line : "child=silent");
}

// CLONE_SIGHAND with CLONE_CLEAR_SIGHAND would clear the caller's own.
// CLONE_SIGHAND needs CLONE_VM, without which it is refused for that
// alone; a kernel that takes all three has the child on a stack of its
// own, where it cannot return from the call.
void clone3_sighand_clear(void)
{
	alignas(16) static char stack[16384];
	long pid = clone3(CLONE_VM | CLONE_SIGHAND | CLONE_CLEAR_SIGHAND, stack, sizeof stack);
	if (pid == 0)
		_exit(0);
	if (pid > 0) {
		waitpid((pid_t)pid, NULL, 0);
		pid = 0;
	}
	put_result(pid);
}
#endif

// 28. pidfd_send_signal, to this process and to a child.
static long pidfd_open(pid_t pid) { return syscall(SYS_pidfd_open, pid, 0); }
static long pidfd_send_signal(int fd, int sig, siginfo_t *si, unsigned flags)
{
	return syscall(SYS_pidfd_send_signal, fd, sig, si, flags);
}

void pidfd_self(void)
{
	set_mask(start);
	handle(SIGUSR1);
	long fd = pidfd_open(getpid());
	if (fd < 0) {
		put("pidfd_open=%s", error_name(errno));
		return;
	}
	put("null=%s", outcome(pidfd_send_signal((int)fd, SIGUSR1, NULL, 0)));
	put_pending("pending");
	siginfo_t got;
	int sig = take(SIGUSR1, &got);
	put("got_null=%d:%s:%s", sig, code_name(got.si_signo, got.si_code),
	    got.si_pid == getpid() ? "self" : "other");
	siginfo_t si = info_of(SIGUSR1, SI_QUEUE, 88, getpid(), getuid());
	put("info=%s", outcome(pidfd_send_signal((int)fd, SIGUSR1, &si, 0)));
	sig = take(SIGUSR1, &got);
	put("got_info=%d:%s:%d", sig, code_name(got.si_signo, got.si_code), got.si_value.sival_int);
	si = info_of(SIGUSR2, SI_QUEUE, 88, getpid(), getuid());
	put("signo_mismatch=%s", outcome(pidfd_send_signal((int)fd, SIGUSR1, &si, 0)));
	// The low flags choose a thread, the group or the process group on
	// newer kernels; bit 30 is none of them.
	put("bad_flags=%s", outcome(pidfd_send_signal((int)fd, SIGUSR1, NULL, 1u << 30)));
	put_pending("pending_end");
	put_caught("handler");
	close((int)fd);
}

void pidfd_child(void)
{
	int report;
	pid_t child = waiting_child(&report);
	if (child < 0)
		return;
	long fd = pidfd_open(child);
	if (fd < 0) {
		put("pidfd_open=%s", error_name(errno));
		kill(child, SIGKILL);
		put_child(child, report);
		return;
	}
	siginfo_t si = info_of(SIGUSR1, SI_USER, 1, getpid(), getuid());
	put("info_user=%s", outcome(pidfd_send_signal((int)fd, SIGUSR1, &si, 0)));
	put("null=%s", outcome(pidfd_send_signal((int)fd, SIGUSR1, NULL, 0)));
	close((int)fd);
	put_child(child, report);
}
