// SPDX-License-Identifier: MIT
// sigmask-probe-calls: exercises the signal-mask calls themselves, through
// libc and raw through syscall(2), one case a child of its own, and
// writes what each case saw, one tagged line a case: return values, errno,
// the masks read back, the bytes written.  It judges nothing.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <initializer_list>

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
	char text[1024] = "";
	size_t used = 0;
	for (int n = 1; n <= top_signal; n++) {
		if (!has(set, n))
			continue;
		int last = n;
		while (last < top_signal && has(set, last + 1))
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

// 64-bit SPARC hands a handler its frame's siginfo, where others hand it a
// ucontext: the sigcontext that starts there has the mask.
#if defined(__sparc__) && defined(__arch64__)
sigset_t context_mask(const void *context)
{
	unsigned long word = ((const struct sigcontext *)context)->sigc_mask;
	sigset_t s;
	sigemptyset(&s);
	for (int n = 1; n <= 64; n++)
		if (word >> (n - 1) & 1)
			sigaddset(&s, n);
	return s;
}
void add_to_context_mask(void *context, int sig)
{
	((struct sigcontext *)context)->sigc_mask |= 1UL << (sig - 1);
}
#else
sigset_t context_mask(const void *context) { return ((const ucontext_t *)context)->uc_sigmask; }
void add_to_context_mask(void *context, int sig) { sigaddset(&((ucontext_t *)context)->uc_sigmask, sig); }
#endif

long rt_sigpending(void *set, size_t size)
{
	return syscall(SYS_rt_sigpending, set, size);
}

void set_mask(const int *sigs)
{
	struct kset s = kset_of(sigs);
	rt_sigprocmask(SIG_SETMASK, &s, NULL, kset_bytes);
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

// The start of the cases of waits: what the handler caught, in order.
static int caught[16], catches;
static void note(int sig, siginfo_t *, void *)
{
	if (catches < 16)
		caught[catches++] = sig;
}
void start_waiting(void)
{
	for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, rt40, rt41})
		handle_with_info(sig, note);
	set_mask(start);
}

void put_caught(void)
{
	char text[64] = "";
	size_t used = 0;
	for (int i = 0; i < catches; i++)
		used += snprintf(text + used, sizeof text - used, "%s%d", i ? "," : "", caught[i]);
	put("handler=%s", catches ? text : "none");
}

sigjmp_buf guard_jump;
static void guard_fired(int) { siglongjmp(guard_jump, 1); }
void arm_guard(void)
{
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = guard_fired;
	sigaction(SIGALRM, &sa, NULL);
	alarm(3);
}

static struct {
	int sig, ms, to_main;
	pid_t main_thread;
} later;
static void *send_later(void *)
{
	sigset_t all;
	sigfillset(&all);
	pthread_sigmask(SIG_BLOCK, &all, NULL);
	struct timespec t = {later.ms / 1000, later.ms % 1000 * 1000000L};
	nanosleep(&t, NULL);
	if (later.to_main)
		syscall(SYS_tgkill, getpid(), later.main_thread, later.sig);
	else
		kill(getpid(), later.sig);
	return NULL;
}
bool start_sender(pthread_t *t, int sig, int ms, int to_main)
{
	later.sig = sig;
	later.ms = ms;
	later.to_main = to_main;
	later.main_thread = (pid_t)syscall(SYS_gettid);
	if (pthread_create(t, NULL, send_later, NULL) == 0)
		return true;
	put("thread=none");
	return false;
}

struct kset mask_now(void)
{
	struct roomy s;
	memset(&s, 0, sizeof s);
	rt_sigprocmask(SIG_BLOCK, NULL, &s, kset_bytes);
	return s.k;
}

struct kset pending_now(void)
{
	struct roomy s;
	memset(&s, 0, sizeof s);
	rt_sigpending(&s, kset_bytes);
	return s.k;
}

void put_mask_as(const char *key)
{
	struct kset s = mask_now();
	put_kset(key, &s);
}

void put_mask(void) { put_mask_as("mask"); }

void put_pending_as(const char *key)
{
	struct kset p = pending_now();
	put_kset(key, &p);
}

void put_pending(void) { put_pending_as("pending"); }

sigset_t sigset_of(const int *sigs)
{
	sigset_t s;
	sigemptyset(&s);
	for (; sigs && *sigs; sigs++)
		sigaddset(&s, *sigs);
	return s;
}

void put_as(const char *key, long r)
{
	if (r < 0)
		put("%s=%s", key, error_name(errno));
	else
		put("%s=%ld", key, r);
}

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

bool put_out(int fd) { return write(fd, seen, seen_used) == (ssize_t)seen_used; }

const int start[] = {SIGHUP, SIGUSR1, 0};
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
#ifdef SYS_clone3
	{"clone3-clear-sighand", clone3_clear_sighand},
	{"clone3-sighand-clear", clone3_sighand_clear},
#endif
	{"pidfd-self", pidfd_self},
	{"pidfd-child", pidfd_child},
	// signalfd: blocked pending signals read through a descriptor.
	{"signalfd-read", signalfd_read},
	{"signalfd-codes", signalfd_codes},
	{"signalfd-multi", signalfd_multi},
	{"signalfd-ignored", signalfd_ignored},
	{"signalfd-kill-stop", signalfd_kill_stop},
	{"signalfd-sizes", signalfd_sizes},
	{"signalfd-update", signalfd_update},
	{"signalfd-read-errors", signalfd_read_errors},
	{"signalfd-restart", signalfd_restart},
	{"signalfd-poll", signalfd_poll},
	{"signalfd-epoll-wake", signalfd_epoll_wake},
	{"signalfd-fork", signalfd_fork},
	{"signalfd-epoll-fork", signalfd_epoll_fork},
	{"signalfd-exec", signalfd_exec},
	{"signalfd-thread", signalfd_thread},
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

// How long a case may take before it counts as hung (--case-limit=SECONDS
// stretches it), and how many run at once: a case that waits mostly
// sleeps, so the waits overlap.
static long case_ms = 10 * 1000;
enum { at_once = 16 };

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

// A case on its way: its child, the pipe its line comes on, when it must
// be done, and, once it is, the line to print.
struct running {
	const struct call_case *c;
	pid_t pid;
	int fd;
	long deadline;
	size_t used;
	char text[sizeof seen + 1];
	char *line;
};

// Starts a case in a child of its own, in a process group of its own, from
// the default dispositions and an empty mask.
static void start_case(struct running *r)
{
	int fds[2];
	r->pid = -1;
	r->fd = -1;
	r->used = 0;
	r->deadline = now_ms() + case_ms;
	if (pipe2(fds, O_CLOEXEC) < 0) {
		asprintf(&r->line, "sigmask-probe-calls: %s cannot=pipe\n", r->c->name);
		return;
	}
	pid_t pid = fork();
	if (pid == 0) {
		close(fds[0]);
		setpgid(0, 0);
		static const char default_action[256] = {0};
		for (int sig = 1; sig <= top_signal; sig++)	// raw: libc refuses 32 and 33
			kernel_sigaction(sig, default_action, NULL);
		set_mask(none);
		seen_used = 0;
		r->c->run();
		_exit(write(fds[1], seen, seen_used) == (ssize_t)seen_used ? 0 : 1);
	}
	close(fds[1]);
	if (pid < 0) {
		close(fds[0]);
		asprintf(&r->line, "sigmask-probe-calls: %s cannot=fork\n", r->c->name);
		return;
	}
	fcntl(fds[0], F_SETFL, O_NONBLOCK);
	r->pid = pid;
	r->fd = fds[0];
}

static void take_output(struct running *r)
{
	for (ssize_t n; r->used < sizeof r->text - 1 &&
			(n = read(r->fd, r->text + r->used, sizeof r->text - 1 - r->used)) > 0;)
		r->used += n;
}

// Ends a case that has exited, or has run out of time, and what it left
// behind, and writes down its line; or, where it died or hung, what became
// of it.
static void end_case(struct running *r, bool exited, int status)
{
	bool hung = !exited;
	if (hung) {
		kill(-r->pid, SIGKILL);
		kill(r->pid, SIGKILL);
		waitpid(r->pid, &status, 0);
	}
	kill(-r->pid, SIGKILL);
	take_output(r);	// the child wrote it all before it exited
	close(r->fd);
	r->text[r->used] = '\0';
	const char *name = r->c->name;
	if (hung)
		asprintf(&r->line, "sigmask-probe-calls: %s hung\n", name);
	else if (WIFSIGNALED(status))
		asprintf(&r->line, "sigmask-probe-calls: %s died=%s\n", name,
			 sigabbrev_np(WTERMSIG(status)) ? sigabbrev_np(WTERMSIG(status)) : "?");
	else if (WEXITSTATUS(status) != 0)
		asprintf(&r->line, "sigmask-probe-calls: %s exit=%d\n", name, WEXITSTATUS(status));
	else
		asprintf(&r->line, "sigmask-probe-calls: %s%s\n", name, r->text);
	r->pid = -1;
}

// Runs the cases, at_once at a time, and writes their lines in their
// order, each as soon as those before it are written.
static void woken(int) {}
static void run_cases(struct running *rs, int n)
{
	int next = 0, written = 0;
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = woken;
	sigaction(SIGCHLD, &sa, NULL);
	sigset_t chld, unblocked;
	sigemptyset(&chld);
	sigaddset(&chld, SIGCHLD);
	sigprocmask(SIG_BLOCK, &chld, &unblocked);
	while (written < n) {
		int busy = 0;
		for (int i = written; i < next; i++)
			busy += rs[i].pid > 0;
		for (; next < n && busy < at_once; next++) {
			start_case(&rs[next]);
			busy += rs[next].pid > 0;
		}
		struct pollfd p[at_once];
		int np = 0;
		long now = now_ms(), wait = 100;
		for (int i = written; i < next; i++) {
			if (rs[i].pid <= 0)
				continue;
			p[np].fd = rs[i].fd;
			p[np].events = POLLIN;
			p[np++].revents = 0;
			if (rs[i].deadline - now < wait)
				wait = rs[i].deadline - now > 0 ? rs[i].deadline - now : 0;
		}
		struct timespec t = {wait / 1000, wait % 1000 * 1000000L};
		ppoll(p, np, &t, &unblocked);	// a child's end wakes it too
		now = now_ms();
		for (int i = written; i < next; i++) {
			struct running *r = &rs[i];
			if (r->pid <= 0)
				continue;
			take_output(r);
			int status = 0;
			if (waitpid(r->pid, &status, WNOHANG) == r->pid)
				end_case(r, true, status);
			else if (now >= r->deadline)
				end_case(r, false, 0);
		}
		for (; written < next && rs[written].pid <= 0; written++) {
			fputs(rs[written].line ? rs[written].line : "sigmask-probe-calls: ? cannot=memory\n", stdout);
			free(rs[written].line);
			fflush(stdout);
		}
	}
}

int main(int argc, char **argv)
{
	// signalfd-exec's new program.
	if (argc == 3 && strcmp(argv[1], signalfd_exec_arg) == 0)
		return signalfd_image(argv[2]);
	if (argc == 2 && strcmp(argv[1], "--list") == 0) {
		for (const struct call_case &c : cases)
			printf("%s\n", c.name);
		return fflush(stdout) == 0 ? 0 : 1;
	}
	const char limit[] = "--case-limit=";
	if (argc > 1 && strncmp(argv[1], limit, sizeof limit - 1) == 0) {
		char *end;
		long seconds = strtol(argv[1] + sizeof limit - 1, &end, 10);
		if (*end || seconds < 1 || seconds > 86400) {
			fprintf(stderr, "sigmask-probe-calls: bad %s\n", argv[1]);
			return 2;
		}
		case_ms = seconds * 1000;
		argv[1] = argv[0];
		argv++;
		argc--;
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
	static struct running wanted[sizeof cases / sizeof cases[0]];
	int n_wanted = 0;
	for (const struct call_case &c : cases) {
		bool asked = argc == 1;
		for (int i = 1; i < argc; i++)
			asked |= strcmp(argv[i], c.name) == 0;
		if (asked)
			wanted[n_wanted++].c = &c;
	}
	run_cases(wanted, n_wanted);
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
