// SPDX-License-Identifier: MIT
// The cases of signalfd, a descriptor that reads blocked pending signals
// as records of struct signalfd_siginfo: what it reads and in what order,
// what its mask keeps, how a read fails or is restarted, when poll and
// epoll say it is ready, and what a child, a new program and another
// thread read through it.
//
// Each starts as the waits do: 1 and 10 blocked, a handler that notes what
// it catches on 1, 10, 12, 40 and 41.  A descriptor that must find a
// signal already pending does not block, so that one lost shows as EAGAIN,
// not as a hang.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cases.h"

static const int ten[] = {SIGUSR1, 0};

// A signalfd for sigs, or -1: the line says why.
static int open_sfd(const int *sigs, int flags)
{
	sigset_t set = sigset_of(sigs);
	int fd = signalfd(-1, &set, flags);
	if (fd < 0)
		put("signalfd=%s", error_name(errno));
	return fd;
}

// Reads one record into si: its signal, minus the error, or 0 for a read
// of less than a record.
static int read_signo(int fd, struct signalfd_siginfo *si)
{
	memset(si, 0, sizeof *si);
	ssize_t n = read(fd, si, sizeof *si);
	if (n < 0)
		return -errno;
	return n == (ssize_t)sizeof *si ? (int)si->ssi_signo : 0;
}

static void put_signo(const char *key, int got)
{
	if (got < 0)
		put("%s=%s", key, error_name(-got));
	else if (got == 0)
		put("%s=short", key);
	else
		put("%s=%d", key, got);
}

// One record as "10:SI_TKILL:self": its signal, code and sender.
static void put_record(const char *key, int fd, struct signalfd_siginfo *si)
{
	int got = read_signo(fd, si);
	if (got <= 0) {
		put_signo(key, got);
		return;
	}
	put("%s=%d:%s:%s", key, got, code_name(got, si->ssi_code),
	    si->ssi_pid == (unsigned)getpid() ? "self" : "other");
}

static void send_value(int sig, int value)
{
	union sigval v;
	memset(&v, 0, sizeof v);
	v.sival_int = value;
	sigqueue(getpid(), sig, v);
}

static void tgkill_self(int sig) { syscall(SYS_tgkill, getpid(), (pid_t)syscall(SYS_gettid), sig); }

// Events as "IN", "IN|HUP"; poll's and epoll's bits are the same.
static void put_events(const char *key, unsigned events)
{
	static const struct {
		unsigned bit;
		const char *name;
	} names[] = {{POLLIN, "IN"}, {POLLPRI, "PRI"}, {POLLOUT, "OUT"}, {POLLERR, "ERR"}, {POLLHUP, "HUP"},
		     {POLLNVAL, "NVAL"}};
	char text[64] = "";
	size_t used = 0;
	for (const auto &n : names)
		if (events & n.bit)
			used += snprintf(text + used, sizeof text - used, "%s%s", used ? "|" : "", n.name);
	put("%s=%s", key, used ? text : "none");
}

// 29. A read takes a blocked pending signal with its siginfo, and no
// handler runs; its codes and values; several in one read, standard
// signals lowest first, then real-time ones in the order queued.
void signalfd_read(void)
{
	start_waiting();
	int fd = open_sfd(ten, SFD_NONBLOCK);
	if (fd < 0)
		return;
	put("fd=ok");
	kill(getpid(), SIGUSR1);
	struct signalfd_siginfo si;
	memset(&si, 0, sizeof si);
	ssize_t n = read(fd, &si, sizeof si);
	if (n < 0)
		put("n=%s", error_name(errno));
	else
		put("n=%zd", n);
	put("signo=%u code=%s pid=%s uid=%s", si.ssi_signo, code_name(si.ssi_signo, si.ssi_code),
	    si.ssi_pid == (unsigned)getpid() ? "self" : "other", si.ssi_uid == getuid() ? "self" : "other");
	put_caught();
	put_pending_as("pending");
	close(fd);
}

void signalfd_codes(void)
{
	start_waiting();
	static const int held[] = {SIGHUP, SIGUSR1, SIGUSR2, 0}, wanted[] = {SIGUSR1, SIGUSR2, 0};
	set_mask(held);
	int fd = open_sfd(wanted, SFD_NONBLOCK);
	if (fd < 0)
		return;
	tgkill_self(SIGUSR1);
	send_value(SIGUSR2, 42);
	struct signalfd_siginfo si;
	put_record("first", fd, &si);
	put_record("second", fd, &si);
	put("int=%d", si.ssi_int);
	close(fd);
}

void signalfd_multi(void)
{
	start_waiting();
	static const int held[] = {SIGHUP, SIGUSR1, SIGUSR2, rt40, 0}, wanted[] = {SIGUSR1, SIGUSR2, rt40, 0};
	set_mask(held);
	int fd = open_sfd(wanted, SFD_NONBLOCK);
	if (fd < 0)
		return;
	send_value(rt40, 1);
	send_value(rt40, 2);
	kill(getpid(), SIGUSR2);
	kill(getpid(), SIGUSR1);
	struct signalfd_siginfo si[6];
	memset(si, 0, sizeof si);
	ssize_t n = read(fd, si, sizeof si);
	close(fd);
	if (n < 0) {
		put("n=%s", error_name(errno));
		return;
	}
	put(n % sizeof *si ? "n=%zd" : "n=%zdx128", n % sizeof *si ? n : n / (ssize_t)sizeof *si);
	char text[128] = "";
	size_t used = 0;
	for (size_t i = 0; i < (size_t)n / sizeof *si; i++)
		used += snprintf(text + used, sizeof text - used, si[i].ssi_code == SI_QUEUE ? "%s%u:%d" : "%s%u",
				 i ? "," : "", si[i].ssi_signo, si[i].ssi_int);
	put("order=%s", used ? text : "none");
}

// 30. The mask: an ignored signal blocking keeps pending is read; SIGKILL
// and SIGSTOP are dropped from it, not refused; its size must be 8 and
// its flags known ones; signalfd on the descriptor again replaces it.
void signalfd_ignored(void)
{
	start_waiting();
	ignore(SIGUSR1);
	int fd = open_sfd(ten, SFD_NONBLOCK);
	if (fd < 0)
		return;
	kill(getpid(), SIGUSR1);
	put_pending_as("pending_before");
	struct signalfd_siginfo si;
	put_signo("read", read_signo(fd, &si));
	put_pending_as("pending_after");
	close(fd);
}

// The mask the kernel keeps, as /proc shows it: "none" where there is no
// /proc, as in a bare kernel's first program.
static void put_kept(int fd)
{
	if (access("/proc/self", F_OK) != 0) {
		put("fdinfo=none");
		return;
	}
	char path[64], text[512];
	snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
	int info = open(path, O_RDONLY);
	ssize_t n = info < 0 ? -1 : read(info, text, sizeof text - 1);
	if (info >= 0)
		close(info);
	text[n > 0 ? n : 0] = '\0';
	const char *at = strstr(text, "sigmask:");
	if (!at) {
		put("fdinfo=unreadable");
		return;
	}
	// In hex, the highest signals first: the last digit holds 1 to 4.
	const char *digits = at + strlen("sigmask:");
	digits += strspn(digits, " \t");
	size_t n_digits = strspn(digits, "0123456789abcdefABCDEF");
	char kept[top_signal + 1] = {0};
	for (size_t i = 0; i < n_digits; i++) {
		char digit[2] = {digits[n_digits - 1 - i], 0};
		unsigned long bits = strtoul(digit, NULL, 16);
		for (int b = 0; b < 4; b++)
			if (bits >> b & 1 && 4 * i + b < (size_t)top_signal)
				kept[4 * i + b + 1] = 1;
	}
	put_list("fdinfo", has_flag, kept);
}

void signalfd_kill_stop(void)
{
	start_waiting();
	static const int with_10[] = {SIGKILL, SIGUSR1, SIGSTOP, 0}, kill_stop[] = {SIGKILL, SIGSTOP, 0};
	int fd = open_sfd(with_10, SFD_NONBLOCK);
	if (fd < 0)
		return;
	put("fd=ok");
	put_kept(fd);
	sigset_t set = sigset_of(kill_stop);
	int only = signalfd(-1, &set, SFD_NONBLOCK);
	put("only_kill_stop=%s", only < 0 ? error_name(errno) : "ok");
	// 10 pending: not for the one of SIGKILL and SIGSTOP alone.
	kill(getpid(), SIGUSR1);
	struct signalfd_siginfo si;
	if (only >= 0) {
		put_signo("read", read_signo(only, &si));
		close(only);
	}
	put_signo("with10", read_signo(fd, &si));
	close(fd);
}

void signalfd_sizes(void)
{
	start_waiting();
	static const struct {
		const char *key;
		size_t size;
		int flags;
	} tries[] = {{"s4", kset_bytes / 2, 0}, {"s16", 2 * kset_bytes, 0}, {"badflags", kset_bytes, 1},
		     {"s8", kset_bytes, 0}};
	struct roomy set;
	memset(&set, 0, sizeof set);
	set.k = kset_of(ten);
	for (const auto &t : tries) {
		long fd = syscall(SYS_signalfd4, -1, &set, t.size, t.flags);
		put("%s=%s", t.key, fd < 0 ? error_name(errno) : "fd");
		if (fd >= 0)
			close((int)fd);
	}
}

void signalfd_update(void)
{
	start_waiting();
	static const int held[] = {SIGHUP, SIGUSR1, SIGUSR2, 0}, twelve[] = {SIGUSR2, 0};
	set_mask(held);
	int fd = open_sfd(ten, SFD_NONBLOCK);
	if (fd < 0)
		return;
	kill(getpid(), SIGUSR1);
	kill(getpid(), SIGUSR2);
	sigset_t set = sigset_of(twelve);
	int again = signalfd(fd, &set, 0);
	if (again < 0)
		put("same_fd=%s", error_name(errno));
	else
		put("same_fd=%d", again == fd);
	struct signalfd_siginfo si;
	put_signo("first", read_signo(fd, &si));
	put_signo("next", read_signo(fd, &si));
	put_pending_as("pending");
	close(fd);
}

// 31. A read shorter than a record is refused and takes nothing; an empty
// descriptor that does not block says EAGAIN; a blocking read that a
// handled SA_RESTART signal interrupts goes on.
void signalfd_read_errors(void)
{
	start_waiting();
	int fd = open_sfd(ten, SFD_NONBLOCK);
	if (fd < 0)
		return;
	kill(getpid(), SIGUSR1);
	char small[100];
	ssize_t n = read(fd, small, sizeof small);
	if (n < 0)
		put("small=%s", error_name(errno));
	else
		put("small=%zd", n);
	put_pending_as("pending");
	struct signalfd_siginfo si;
	put_signo("full", read_signo(fd, &si));
	put_signo("empty", read_signo(fd, &si));
	int flags = fcntl(fd, F_GETFL);
	put("nonblock=%s", flags < 0 ? error_name(errno) : flags & O_NONBLOCK ? "1" : "0");
	close(fd);
}

// 12's handler sends 10, which the restarted read takes.  Where 12 came
// before the read had begun, the read took 10 at once: that attempt
// proves nothing, and the next gives the sender more time.
enum phase { before, in_read, after };
static volatile sig_atomic_t phase, twelve_came;
static void twelve_then_ten(int, siginfo_t *, void *)
{
	twelve_came = phase;
	kill(getpid(), SIGUSR1);
}
void signalfd_restart(void)
{
	start_waiting();
	handle_with_info(SIGUSR2, twelve_then_ten);
	int fd = open_sfd(ten, 0);
	if (fd < 0)
		return;
	static const char *const phases[] = {"before", "in", "after"};
	struct signalfd_siginfo si;
	memset(&si, 0, sizeof si);
	static pthread_t sender;
	static volatile bool joinable;
	static volatile ssize_t n;
	arm_guard();
	if (sigsetjmp(guard_jump, 1)) {
		put("r=stuck");
	} else {
		for (int attempt = 0; attempt < 3; attempt++) {
			phase = before;
			twelve_came = -1;
			bool started = start_sender(&sender, SIGUSR2, 10 << 2 * attempt, 1);
			joinable = started;
			if (!started)
				break;
			phase = in_read;
			n = read(fd, &si, sizeof si);
			phase = after;
			pthread_join(sender, NULL);
			joinable = false;
			if (twelve_came != before)
				break;
		}
		alarm(0);
		if (n < 0)
			put("r=%s", error_name(errno));
		else
			put("r=%zd signo=%u", (ssize_t)n, si.ssi_signo);
	}
	alarm(0);
	if (joinable)
		pthread_join(sender, NULL);
	put("h12=%s", twelve_came >= 0 ? phases[twelve_came] : "none");
	close(fd);
}

// 32. Readiness: poll with a signal pending and after it is read; epoll
// woken by a signal a thread sends during the wait.
void signalfd_poll(void)
{
	start_waiting();
	int fd = open_sfd(ten, SFD_NONBLOCK);
	if (fd < 0)
		return;
	kill(getpid(), SIGUSR1);
	struct pollfd p = {fd, POLLIN, 0};
	int r = poll(&p, 1, 2000);
	if (r < 0)
		put("poll=%s", error_name(errno));
	else
		put("poll=%d", r);
	put_events("revents", p.revents);
	struct signalfd_siginfo si;
	put_signo("read", read_signo(fd, &si));
	r = poll(&p, 1, 0);
	if (r < 0)
		put("after_read=%s", error_name(errno));
	else
		put("after_read=%d", r);
	close(fd);
}

void signalfd_epoll_wake(void)
{
	start_waiting();
	int fd = open_sfd(ten, SFD_NONBLOCK);
	if (fd < 0)
		return;
	int ep = epoll_create1(0);
	struct epoll_event ev;
	memset(&ev, 0, sizeof ev);
	ev.events = EPOLLIN;
	ev.data.fd = fd;
	if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) < 0) {
		put("epoll=%s", error_name(errno));
	} else {
		// Sent before the wait has begun, it is ready all the same.
		pthread_t t;
		if (start_sender(&t, SIGUSR1, 10, 0)) {
			memset(&ev, 0, sizeof ev);
			long began = now_ms();
			int n = epoll_wait(ep, &ev, 1, 2000);
			if (n < 0)
				put("n=%s", error_name(errno));
			else
				put("n=%d", n);
			put_events("ev", ev.events);
			put("wait=%s", now_ms() - began < 1000 ? "short" : "full");
			pthread_join(t, NULL);
			struct signalfd_siginfo si;
			put_signo("read", read_signo(fd, &si));
		}
	}
	if (ep >= 0)
		close(ep);
	close(fd);
}

// 33. A child reads its own pending signals through the descriptor, not
// its parent's; an epoll set made before the fork does not wake for them;
// a new program reads what exec kept pending; another thread reads its
// own and the process's, not the first thread's.
void signalfd_fork(void)
{
	start_waiting();
	int fd = open_sfd(ten, SFD_NONBLOCK);
	int fds[2];
	if (fd < 0 || pipe(fds) < 0)
		return;
	kill(getpid(), SIGUSR1);
	pid_t pid = fork();
	if (pid == 0) {
		struct signalfd_siginfo si;
		int got[3];
		got[0] = read_signo(fd, &si);
		kill(getpid(), SIGUSR1);
		got[1] = read_signo(fd, &si);
		got[2] = (int)si.ssi_pid;
		_exit(write(fds[1], got, sizeof got) == (ssize_t)sizeof got ? 0 : 1);
	}
	close(fds[1]);
	int got[3];
	if (pid < 0) {
		put("fork=%s", error_name(errno));
	} else if (read(fds[0], got, sizeof got) != (ssize_t)sizeof got) {
		put("child=silent");
	} else {
		put_signo("child_first", got[0]);
		put_signo("child_own", got[1]);
		put("pid=%s", got[1] <= 0 ? "-" : got[2] == pid ? "child" : got[2] == getpid() ? "parent" : "other");
	}
	if (pid > 0)
		waitpid(pid, NULL, 0);
	close(fds[0]);
	put_pending_as("parent_pending");
	close(fd);
}

void signalfd_epoll_fork(void)
{
	start_waiting();
	int fd = open_sfd(ten, SFD_NONBLOCK);
	if (fd < 0)
		return;
	int ep = epoll_create1(0), fds[2] = {-1, -1};
	struct epoll_event ev;
	memset(&ev, 0, sizeof ev);
	ev.events = EPOLLIN;
	ev.data.fd = fd;
	if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) < 0 || pipe(fds) < 0) {
		put("epoll=%s", error_name(errno));
		close(fd);
		return;
	}
	pid_t pid = fork();
	if (pid == 0) {
		kill(getpid(), SIGUSR1);
		int got[3];
		long began = now_ms();
		got[0] = epoll_wait(ep, &ev, 1, 30);
		got[0] = got[0] < 0 ? -errno : got[0];
		got[1] = now_ms() - began >= 25;
		struct signalfd_siginfo si;
		got[2] = read_signo(fd, &si);
		_exit(write(fds[1], got, sizeof got) == (ssize_t)sizeof got ? 0 : 1);
	}
	close(fds[1]);
	int got[3];
	if (pid < 0) {
		put("fork=%s", error_name(errno));
	} else if (read(fds[0], got, sizeof got) != (ssize_t)sizeof got) {
		put("child=silent");
	} else {
		if (got[0] < 0)
			put("child_epoll=%s", error_name(-got[0]));
		else
			put("child_epoll=%d", got[0]);
		put("child_wait=%s", got[1] ? "full" : "short");
		put_signo("child_read", got[2]);
	}
	if (pid > 0)
		waitpid(pid, NULL, 0);
	close(fds[0]);
	close(ep);
	close(fd);
}

// The new program is this one, told by the argument to read the
// descriptor it inherited (the witness knows nothing of signalfd).
const char signalfd_exec_arg[] = "--signalfd-image";

int signalfd_image(const char *fd_text)
{
	int fd = atoi(fd_text);
	put_pending_as("pending");
	put_mask();
	struct signalfd_siginfo si;
	int got = read_signo(fd, &si);
	put_signo("read", got);
	put("code=%s", got > 0 ? code_name(si.ssi_signo, si.ssi_code) : "-");
	put_pending_as("pending_after");
	return put_out(1) ? 0 : 1;
}

void signalfd_exec(void)
{
	start_waiting();
	int fd = open_sfd(ten, SFD_NONBLOCK);
	int fds[2];
	if (fd < 0 || pipe(fds) < 0)
		return;
	char self[sizeof witness], number[16];
	snprintf(self, sizeof self, "%s", witness);
	char *slash = strrchr(self, '/');
	strcpy(slash ? slash + 1 : self, "sigmask-probe-calls");
	snprintf(number, sizeof number, "%d", fd);
	pid_t pid = fork();
	if (pid == 0) {
		close(fds[0]);
		dup2(fds[1], 1);
		close(fds[1]);
		kill(getpid(), SIGUSR1);
		char *argv[] = {self, (char *)signalfd_exec_arg, number, NULL};
		execv(self, argv);
		put("exec=%s", error_name(errno));
		_exit(put_out(1) ? 127 : 1);
	}
	close(fds[1]);
	char text[1024];
	size_t used = 0;
	for (ssize_t n; pid > 0 && used < sizeof text - 1 && (n = read(fds[0], text + used, sizeof text - 1 - used)) > 0;)
		used += n;
	text[used] = '\0';
	close(fds[0]);
	if (pid < 0)
		put("fork=%s", error_name(errno));
	else
		waitpid(pid, NULL, 0);
	// The new program's words, as it wrote them.
	if (pid > 0)
		put("%s", used > 1 ? text + 1 : "image=silent");
	close(fd);
}

static int thread_fd, thread_got;
static void *read_in_thread(void *)
{
	struct signalfd_siginfo si;
	thread_got = read_signo(thread_fd, &si);
	return NULL;
}
void signalfd_thread(void)
{
	start_waiting();
	int fd = open_sfd(ten, SFD_NONBLOCK);
	if (fd < 0)
		return;
	tgkill_self(SIGUSR1);
	thread_fd = fd;
	pthread_t t;
	if (pthread_create(&t, NULL, read_in_thread, NULL) != 0) {
		put("thread=none");
		close(fd);
		return;
	}
	pthread_join(t, NULL);
	put_signo("other_thread", thread_got);
	struct signalfd_siginfo si;
	int got = read_signo(fd, &si);
	put_signo("main", got);
	put("code=%s", got > 0 ? code_name(si.ssi_signo, si.ssi_code) : "-");
	close(fd);
}
