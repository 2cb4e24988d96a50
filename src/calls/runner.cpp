// SPDX-License-Identifier: MIT
// sigmask-probe-calls: exercises the signal-mask calls themselves, through
// libc and raw through syscall(2), one case a child of its own, and
// writes what each case saw, one tagged line a case: return values, errno,
// the masks read back, the bytes written.  It judges nothing.

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "cases.h"

// What a case writes, and where its line is gathered.
static char seen[4096];
static size_t seen_used;

void put(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	if (seen_used < sizeof seen - 1)
		seen[seen_used++] = ' ';
	int n = vsnprintf(seen + seen_used, sizeof seen - seen_used, format, ap);
	if (n > 0)
		seen_used += (size_t)n < sizeof seen - seen_used ? (size_t)n : sizeof seen - 1 - seen_used;
	va_end(ap);
}

struct kset kset_of(const int *sigs)
{
	struct kset s;
	memset(&s, 0, sizeof s);
	for (; *sigs; sigs++)
		s.w[(*sigs - 1) / word_bits] |= 1UL << ((*sigs - 1) % word_bits);
	return s;
}

static int kset_has(const struct kset *s, int n)
{
	return s->w[(n - 1) / word_bits] >> ((n - 1) % word_bits) & 1;
}

// A list of signals as "1,4,34-64", or "none"; has(n) says which.
void put_list(const char *key, int (*has)(const void *, int), const void *set)
{
	char text[256] = "";
	size_t used = 0;
	for (int n = 1; n <= 64; n++) {
		if (!has(set, n))
			continue;
		int last = n;
		while (last < 64 && has(set, last + 1))
			last++;
		used += snprintf(text + used, sizeof text - used, used ? ",%d" : "%d", n);
		if (last > n)
			used += snprintf(text + used, sizeof text - used, "-%d", last);
		n = last;
	}
	put("%s=%s", key, used ? text : "none");
}

static int has_kset(const void *s, int n) { return kset_has((const struct kset *)s, n); }
static int has_sigset(const void *s, int n) { return sigismember((const sigset_t *)s, n) == 1; }
int has_flag(const void *flags, int n) { return ((const char *)flags)[n] != 0; }

void put_kset(const char *key, const struct kset *s) { put_list(key, has_kset, s); }
void put_sigset(const char *key, const sigset_t *s) { put_list(key, has_sigset, s); }

const char *error_name(int error)
{
	const char *name = strerrorname_np(error);
	return name ? name : "E?";
}

// A result as "r=0", or "r=-1 e=EINVAL".
void put_result(long r)
{
	if (r < 0)
		put("r=%ld e=%s", r, error_name(errno));
	else
		put("r=%ld", r);
}

long rt_sigprocmask(int how, const void *set, void *old, size_t size)
{
	return syscall(SYS_rt_sigprocmask, how, set, old, size);
}

long rt_sigpending(void *set, size_t size)
{
	return syscall(SYS_rt_sigpending, set, size);
}

void set_mask(const int *sigs)
{
	struct kset s = kset_of(sigs);
	rt_sigprocmask(SIG_SETMASK, &s, NULL, 8);
}

void handle_with_info(int sig, void (*handler)(int, siginfo_t *, void *))
{
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_sigaction = handler;
	sa.sa_flags = SA_SIGINFO | SA_RESTART;
	sigemptyset(&sa.sa_mask);
	sigaddset(&sa.sa_mask, SIGWINCH);
	sigaction(sig, &sa, NULL);
}

struct kset mask_now(void)
{
	struct roomy s;
	memset(&s, 0, sizeof s);
	rt_sigprocmask(SIG_BLOCK, NULL, &s, 8);
	return s.k;
}

struct kset pending_now(void)
{
	struct roomy s;
	memset(&s, 0, sizeof s);
	rt_sigpending(&s, 8);
	return s.k;
}

void put_mask_as(const char *key)
{
	struct kset s = mask_now();
	put_kset(key, &s);
}

void put_mask(void) { put_mask_as("mask"); }

// Runs call twice over a buffer of 128 bytes filled with two canaries in
// turn, resetting the mask to start before each: the bytes it wrote reach
// as far as the last byte that kept neither canary.
int bytes_written(long (*call)(void *buf), const int *start)
{
	unsigned char buf[2][128];
	int written = 0;
	for (int i = 0; i < 2; i++) {
		memset(buf[i], i ? 0x5a : 0xa5, sizeof buf[i]);
		if (start)
			set_mask(start);
		call(buf[i]);
		for (int k = 0; k < 128; k++)
			if (buf[i][k] != (i ? 0x5a : 0xa5) && k + 1 > written)
				written = k + 1;
	}
	return written;
}

void put_untouched(const char *key, const unsigned char *buf, size_t size)
{
	for (size_t k = 0; k < size; k++)
		if (buf[k] != 0xa5) {
			put("%s=written", key);
			return;
		}
	put("%s=untouched", key);
}

const int start[] = {1, 10, 0};
const int none[] = {0};

struct call_case {
	const char *name;
	void (*run)(void);
};

const struct call_case cases[] = {
	{"null-set-block", null_set_block},
	{"null-set-unblock", null_set_unblock},
	{"null-set-setmask", null_set_setmask},
	{"null-set-how-3", null_set_how_3},
	{"null-set-how-minus-1", null_set_how_minus_1},
	{"null-set-how-intmax", null_set_how_intmax},
	{"null-set-libc", null_set_libc},
	{"bad-how-3", bad_how_3},
	{"bad-how-minus-1", bad_how_minus_1},
	{"set-block", set_block},
	{"set-unblock", set_unblock},
	{"set-setmask", set_setmask},
	{"same-buffer", same_buffer},
	{"size-0", size_0},
	{"size-4", size_4},
	{"size-7", size_7},
	{"size-9", size_9},
	{"size-16", size_16},
	{"size-128", size_128},
	{"kill-stop-setmask", kill_stop_setmask},
	{"kill-stop-block", kill_stop_block},
	{"layout", layout},
	{"round-trip", round_trip},
	{"pending-delivery", pending_delivery},
	{"fault-set", fault_set},
	{"fault-old", fault_old},
	{"fault-page-end", fault_page_end},
	{"page-last-8", page_last_8},
	{"libc-bad-how", libc_bad_how},
	{"pthread-sigmask-error", pthread_sigmask_error},
	{"libc-sigset-tail", libc_sigset_tail},
	{"pending-sizes", pending_sizes},
	{"pending-size-9", pending_size_9},
	{"pending-fault", pending_fault},
	{"ignored-blocked-stays", ignored_blocked_stays},
	{"ignore-discards", ignore_discards},
	{"ignore-again-discards", ignore_again_discards},
	{"delivery-order", delivery_order},
	{"fork-mask", fork_mask},
	{"exec", exec_state},
	{"vfork-exec", vfork_exec},
	{"spawn-plain", spawn_plain},
	{"spawn-setsigmask", spawn_setsigmask},
	{"spawn-setsigdef", spawn_setsigdef},
	{"spawn-both", spawn_both},
	{"thread-mask", thread_mask},
	{"thread-sigmask", thread_sigmask},
	{"tgkill-blocked", tgkill_blocked},
	{"handler-mask", handler_mask},
	{"handler-nodefer", handler_nodefer},
	{"handler-kill-stop", handler_kill_stop},
	{"uc-sigmask-edit", uc_sigmask_edit},
	{"sigsuspend", sigsuspend_mask},
	{"sigaction-readback", sigaction_readback},
	{"rt-sigaction-refused", rt_sigaction_refused},
#ifdef SYS_sigprocmask
	{"legacy-setmask", legacy_setmask},
	{"legacy-how", legacy_how},
#endif
#ifdef SYS_sigpending
	{"legacy-sigpending", legacy_sigpending},
#endif
#ifdef SYS_ssetmask
	{"sgetmask-ssetmask", sgetmask_ssetmask},
#endif
	{"sigtimedwait-basic", sigtimedwait_basic},
	{"sigtimedwait-eagain", sigtimedwait_eagain},
	{"sigtimedwait-not-in-set", sigtimedwait_not_in_set},
	{"sigtimedwait-bad-timespec", sigtimedwait_bad_timespec},
	{"sigtimedwait-kill-stop", sigtimedwait_kill_stop},
	{"sigtimedwait-sizes", sigtimedwait_sizes},
	{"sigwaitinfo-ignored-signal", sigwaitinfo_ignored_signal},
	{"sigwaitinfo-sigchld", sigwaitinfo_sigchld},
	{"sigtimedwait-order", sigtimedwait_order},
	{"sigtimedwait-sync-first", sigtimedwait_sync_first},
	{"sigtimedwait-unblocked", sigtimedwait_unblocked},
	{"sigtimedwait-eintr", sigtimedwait_eintr},
	{"sigwait-set", sigwait_set},
	// Signals queued with a value, clone3 and pidfds.
	{"sigqueueinfo-self", sigqueueinfo_self},
	{"tgsigqueueinfo-self", tgsigqueueinfo_self},
	{"sigqueueinfo-codes-self", sigqueueinfo_codes_self},
	{"sigqueueinfo-codes-other", sigqueueinfo_codes_other},
	{"sigqueue-handler", sigqueue_handler},
	{"clone3-clear-sighand", clone3_clear_sighand},
	{"clone3-sighand-clear", clone3_sighand_clear},
	{"pidfd-self", pidfd_self},
	{"pidfd-child", pidfd_child},
	// The waits with a mask of their own.
	{"ppoll-atomic", ppoll_atomic},
	{"pselect6-atomic", pselect6_atomic},
	{"epoll-pwait-atomic", epoll_pwait_atomic},
	{"epoll-pwait2-atomic", epoll_pwait2_atomic},
	{"ppoll-handler-mask", ppoll_handler_mask},
	{"pselect6-handler-mask", pselect6_handler_mask},
	{"epoll-pwait-handler-mask", epoll_pwait_handler_mask},
	{"epoll-pwait2-handler-mask", epoll_pwait2_handler_mask},
	{"ppoll-null-mask", ppoll_null_mask},
	{"pselect6-null-mask", pselect6_null_mask},
	{"epoll-pwait-null-mask", epoll_pwait_null_mask},
	{"epoll-pwait2-null-mask", epoll_pwait2_null_mask},
	{"ppoll-sizes", ppoll_sizes},
	{"pselect6-sizes", pselect6_sizes},
	{"epoll-pwait-sizes", epoll_pwait_sizes},
	{"epoll-pwait2-sizes", epoll_pwait2_sizes},
	{"pselect6-null-sixth", pselect6_null_sixth},
	{"ppoll-during", ppoll_during},
	{"pselect6-during", pselect6_during},
	{"epoll-pwait-during", epoll_pwait_during},
	{"epoll-pwait2-during", epoll_pwait2_during},
	{"ppoll-block-more", ppoll_block_more},
	{"pselect6-block-more", pselect6_block_more},
	{"epoll-pwait-block-more", epoll_pwait_block_more},
	{"epoll-pwait2-block-more", epoll_pwait2_block_more},
	{"ppoll-ignored-pending", ppoll_ignored_pending},
	{"pselect6-ignored-pending", pselect6_ignored_pending},
	{"epoll-pwait-ignored-pending", epoll_pwait_ignored_pending},
	{"epoll-pwait2-ignored-pending", epoll_pwait2_ignored_pending},
	{"ppoll-ready-first", ppoll_ready_first},
	{"epoll-pwait-ready-first", epoll_pwait_ready_first},
	{"ppoll-time-left", ppoll_time_left},
};

// How long a case may take before it counts as hung.
const int case_ms = 10 * 1000;

long now_ms(void)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000L + t.tv_nsec / 1000000;
}

const char *code_name(int sig, int code)
{
	static char number[16];
	if (sig == SIGCHLD && code == CLD_EXITED)
		return "CLD_EXITED";
	switch (code) {
	case SI_USER: return "SI_USER";
	case SI_QUEUE: return "SI_QUEUE";
	case SI_TKILL: return "SI_TKILL";
	case SI_KERNEL: return "SI_KERNEL";
	}
	snprintf(number, sizeof number, "%d", code);
	return number;
}

// Runs a case in a child of its own, in a process group of its own, from
// the default dispositions and an empty mask, and writes its line; or,
// where it died or hung, what became of it.
static void run_case(const struct call_case *c)
{
	int fds[2];
	if (pipe(fds) < 0) {
		printf("sigmask-probe-calls: %s cannot=pipe\n", c->name);
		return;
	}
	pid_t pid = fork();
	if (pid == 0) {
		close(fds[0]);
		setpgid(0, 0);
		static const char default_action[64] = {0};
		for (int sig = 1; sig <= 64; sig++)	// raw: libc refuses 32 and 33
			syscall(SYS_rt_sigaction, sig, default_action, NULL, 8);
		set_mask(none);
		seen_used = 0;
		c->run();
		_exit(write(fds[1], seen, seen_used) == (ssize_t)seen_used ? 0 : 1);
	}
	close(fds[1]);
	if (pid < 0) {
		close(fds[0]);
		printf("sigmask-probe-calls: %s cannot=fork\n", c->name);
		return;
	}
	char text[sizeof seen + 1];
	size_t used = 0;
	int status = 0;
	long deadline = now_ms() + case_ms;
	bool done = false;
	while (!done) {
		struct pollfd p = {fds[0], POLLIN, 0};
		long left = deadline - now_ms();
		if (left <= 0)
			break;
		if (poll(&p, 1, left > 100 ? 100 : left) > 0) {
			ssize_t n = read(fds[0], text + used, sizeof text - 1 - used);
			if (n > 0)
				used += n;
		}
		done = waitpid(pid, &status, WNOHANG) == pid;
	}
	if (!done) {
		kill(-pid, SIGKILL);
		kill(pid, SIGKILL);
		waitpid(pid, &status, 0);
	}
	kill(-pid, SIGKILL);	// what it left behind
	for (ssize_t n; used < sizeof text - 1 && (n = read(fds[0], text + used, sizeof text - 1 - used)) > 0;)
		used += n;
	close(fds[0]);
	text[used] = '\0';
	if (!done)
		printf("sigmask-probe-calls: %s hung\n", c->name);
	else if (WIFSIGNALED(status))
		printf("sigmask-probe-calls: %s died=%s\n", c->name, sigabbrev_np(WTERMSIG(status))
		       ? sigabbrev_np(WTERMSIG(status)) : "?");
	else if (WEXITSTATUS(status) != 0)
		printf("sigmask-probe-calls: %s exit=%d\n", c->name, WEXITSTATUS(status));
	else
		printf("sigmask-probe-calls: %s%s\n", c->name, text);
	fflush(stdout);
}

int main(int argc, char **argv)
{
	if (argc == 2 && strcmp(argv[1], "--list") == 0) {
		for (const struct call_case &c : cases)
			printf("%s\n", c.name);
		return fflush(stdout) == 0 ? 0 : 1;
	}
	// The witness beside us is the program the exec cases start.
	ssize_t n = readlink("/proc/self/exe", witness, sizeof witness - 32);
	if (n <= 0) {
		strncpy(witness, argv[0], sizeof witness - 32);
		n = strlen(witness);
	}
	witness[n] = '\0';
	char *slash = strrchr(witness, '/');
	strcpy(slash ? slash + 1 : witness, "sigmask-probe-witness");

	int status = 0;
	for (const struct call_case &c : cases) {
		bool wanted = argc == 1;
		for (int i = 1; i < argc; i++)
			wanted |= strcmp(argv[i], c.name) == 0;
		if (wanted)
			run_case(&c);
	}
	for (int i = 1; i < argc; i++) {
		bool known = false;
		for (const struct call_case &c : cases)
			known |= strcmp(argv[i], c.name) == 0;
		if (!known) {
			fprintf(stderr, "sigmask-probe-calls: no case %s\n", argv[i]);
			status = 2;
		}
	}
	return fflush(stdout) == 0 && !ferror(stdout) ? status : 1;
}
