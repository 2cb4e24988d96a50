// SPDX-License-Identifier: MIT
// The cases of the waits that put a mask of their own in place while they
// wait: ppoll, pselect6, epoll_pwait and epoll_pwait2, through libc, and
// raw where the kernel's answer is the point.  The mask a pending signal
// finds, the handler's mask and uc_sigmask, a null mask, the sizes they
// refuse, a signal sent while they wait, what an ignored signal and a
// ready descriptor do, and the time ppoll writes back.
//
// Each starts from signals 1 and 10 blocked, with a handler that notes
// what it catches (SA_SIGINFO | SA_RESTART, sa_mask {28}) on 10 and 12,
// and waits for a pipe that no one writes unless the case says so.

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <initializer_list>

#include "cases.h"

// Where a case stands with its wait, as the handler notes it.
enum { before, within, after };
static const char *const phase_names[] = {"before", "within", "after"};
static volatile sig_atomic_t phase;

// What the handler caught, in order; the first one's mask, uc_sigmask,
// code, sender and phase.  It writes a byte to told too, where that is a
// pipe, for a sender that waits to hear of it.
static struct {
	int sigs[8], n;
	struct kset mask;
	sigset_t uc;
	int code, phase;
	pid_t pid;
} caught;
static int told = -1;

static void poke(int fd)
{
	char c = 0;
	ssize_t n = write(fd, &c, 1);
	(void)n;	// a lost byte costs a wait its time, no more
}

static void note(int sig, siginfo_t *info, void *context)
{
	int saved = errno;
	if (caught.n == 0) {
		caught.mask = mask_now();
		caught.uc = context_mask(context);
		caught.code = info->si_code;
		caught.pid = info->si_pid;
		caught.phase = phase;
	}
	if (caught.n < 8)
		caught.sigs[caught.n++] = sig;
	if (told >= 0)
		poke(told);
	errno = saved;
}

static void begin(void)
{
	handle_with_info(SIGUSR1, note);
	handle_with_info(SIGUSR2, note);
	set_mask(start);
}

static void put_handled(void)
{
	char text[64] = "";
	size_t used = 0;
	for (int i = 0; i < caught.n; i++)
		used += snprintf(text + used, sizeof text - used, "%s%d", i ? "," : "", caught.sigs[i]);
	put("handler=%s", caught.n ? text : "none");
}

static const int twelve[] = {SIGUSR2, 0};

// What the waits watch: the read end of a pipe, and an epoll instance
// that watches it.
struct watch {
	int fds[2], ep;
};

static void close_watch(struct watch *w)
{
	for (int fd : {w->fds[0], w->fds[1], w->ep})
		if (fd >= 0)
			close(fd);
}

static bool open_watch(struct watch *w)
{
	w->fds[0] = w->fds[1] = w->ep = -1;
	struct epoll_event e;
	memset(&e, 0, sizeof e);
	e.events = EPOLLIN;
	if (pipe(w->fds) == 0 && (w->ep = epoll_create1(EPOLL_CLOEXEC)) >= 0 &&
	    epoll_ctl(w->ep, EPOLL_CTL_ADD, w->fds[0], &e) == 0)
		return true;
	put("watch=%s", error_name(errno));
	close_watch(w);
	return false;
}

// Each call's wait on w for up to ms, with mask in place while it waits
// (NULL: the mask as it is): through libc, and raw, with the mask and its
// size as the kernel takes them.
struct waiter {
	int (*libc)(const struct watch *w, int ms, const sigset_t *mask);
	long (*raw)(const struct watch *w, int ms, const void *mask, size_t size);
};

// epoll_pwait2's timespec is 64-bit on every target.
struct kernel_timespec64 {
	long long sec, nsec;
};

static struct timespec in_ms(int ms)
{
	struct timespec t = {ms / 1000, ms % 1000 * 1000000L};
	return t;
}

static int libc_ppoll(const struct watch *w, int ms, const sigset_t *mask)
{
	struct pollfd p = {w->fds[0], POLLIN, 0};
	struct timespec t = in_ms(ms);
	return ppoll(&p, 1, &t, mask);
}
static long raw_ppoll(const struct watch *w, int ms, const void *mask, size_t size)
{
	struct pollfd p = {w->fds[0], POLLIN, 0};
	struct kernel_timespec t = {ms / 1000, ms % 1000 * 1000000L};
	return syscall(SYS_ppoll, &p, 1, &t, mask, size);
}

static int libc_pselect(const struct watch *w, int ms, const sigset_t *mask)
{
	fd_set in;
	FD_ZERO(&in);
	FD_SET(w->fds[0], &in);
	struct timespec t = in_ms(ms);
	return pselect(w->fds[0] + 1, &in, NULL, NULL, &t, mask);
}
// pselect6's sixth argument points to the mask and its size, or is NULL.
struct mask_and_size {
	const void *mask;
	size_t size;
};
static long pselect6_with(const struct watch *w, int ms, const struct mask_and_size *sixth)
{
	fd_set in;
	FD_ZERO(&in);
	FD_SET(w->fds[0], &in);
	struct kernel_timespec t = {ms / 1000, ms % 1000 * 1000000L};
	return syscall(SYS_pselect6, w->fds[0] + 1, &in, NULL, NULL, &t, sixth);
}
static long raw_pselect6(const struct watch *w, int ms, const void *mask, size_t size)
{
	const struct mask_and_size sixth = {mask, size};
	return pselect6_with(w, ms, &sixth);
}

static int libc_epoll_pwait(const struct watch *w, int ms, const sigset_t *mask)
{
	struct epoll_event e;
	return epoll_pwait(w->ep, &e, 1, ms, mask);
}
static long raw_epoll_pwait(const struct watch *w, int ms, const void *mask, size_t size)
{
	struct epoll_event e;
	return syscall(SYS_epoll_pwait, w->ep, &e, 1, ms, mask, size);
}

static int libc_epoll_pwait2(const struct watch *w, int ms, const sigset_t *mask)
{
	struct epoll_event e;
	struct timespec t = in_ms(ms);
	return epoll_pwait2(w->ep, &e, 1, &t, mask);
}
static long raw_epoll_pwait2(const struct watch *w, int ms, const void *mask, size_t size)
{
	struct epoll_event e;
	struct kernel_timespec64 t = {ms / 1000, ms % 1000 * 1000000LL};
	return syscall(SYS_epoll_pwait2, w->ep, &e, 1, &t, mask, size);
}

static const struct waiter by_ppoll = {libc_ppoll, raw_ppoll};
static const struct waiter by_pselect6 = {libc_pselect, raw_pselect6};
static const struct waiter by_epoll_pwait = {libc_epoll_pwait, raw_epoll_pwait};
static const struct waiter by_epoll_pwait2 = {libc_epoll_pwait2, raw_epoll_pwait2};

// A wait through libc, timed, with the case's phase set around it.
struct waited {
	int r, error;
	long took;
};
static struct waited wait_with(const struct waiter *call, const struct watch *w, int ms, const sigset_t *mask)
{
	struct waited o;
	long began = now_ms();
	phase = within;
	o.r = call->libc(w, ms, mask);
	o.error = errno;
	phase = after;
	o.took = now_ms() - began;
	return o;
}

// Its result, and how much of ms it took: "short", well within it, or
// "full", all of it.
static void put_waited(const struct waited *o, int ms)
{
	errno = o->error;
	put_result(o->r);
	put("wait=%s", o->took >= ms - 5 ? "full" : o->took < ms / 2 ? "short" : "part");
}

// 34. The temporary mask takes the place of the mask for the length of
// the wait, in one step with it: a pending signal it releases is handled
// and ends the wait at once, with EINTR.  The handler runs with the
// temporary mask, less SIGKILL and SIGSTOP, and its uc_sigmask is the
// mask the call puts back.
static void released(const struct waiter *call, const int *temporary, struct waited *o)
{
	begin();
	struct watch w;
	if (!open_watch(&w))
		return;
	kill(getpid(), SIGUSR1);
	sigset_t mask = sigset_of(temporary);
	*o = wait_with(call, &w, 2000, &mask);
	close_watch(&w);
}
static void atomic(const struct waiter *call)
{
	struct waited o;
	released(call, twelve, &o);
	put_waited(&o, 2000);
	put_handled();
	put_mask();
	put_pending();
}
static void handler_mask_in(const struct waiter *call)
{
	static const int kill_twelve_stop[] = {SIGKILL, SIGUSR2, SIGSTOP, 0};
	struct waited o;
	released(call, kill_twelve_stop, &o);
	errno = o.error;
	put_result(o.r);
	put_kset("in_handler", &caught.mask);
	put_sigset("uc", &caught.uc);
	put_mask();
}
void ppoll_atomic(void) { atomic(&by_ppoll); }
void pselect6_atomic(void) { atomic(&by_pselect6); }
void epoll_pwait_atomic(void) { atomic(&by_epoll_pwait); }
void epoll_pwait2_atomic(void) { atomic(&by_epoll_pwait2); }
void ppoll_handler_mask(void) { handler_mask_in(&by_ppoll); }
void pselect6_handler_mask(void) { handler_mask_in(&by_pselect6); }
void epoll_pwait_handler_mask(void) { handler_mask_in(&by_epoll_pwait); }
void epoll_pwait2_handler_mask(void) { handler_mask_in(&by_epoll_pwait2); }

// 35. A null mask leaves the mask as it is: what it blocks stays pending
// and the wait runs out.  Raw, any sigsetsize but the set's with a mask is
// EINVAL before anything changes; with a null mask the size is not
// looked at, nor is pselect6's mask where its sixth argument is NULL.
static void null_mask(const struct waiter *call)
{
	begin();
	struct watch w;
	if (!open_watch(&w))
		return;
	kill(getpid(), SIGUSR1);
	struct waited o = wait_with(call, &w, 30, NULL);
	put_waited(&o, 30);
	put_handled();
	put_mask();
	put_pending();
	close_watch(&w);
}
static void sizes(const struct waiter *call)
{
	begin();
	struct watch w;
	if (!open_watch(&w))
		return;
	kill(getpid(), SIGUSR1);
	struct roomy mask;
	memset(&mask, 0, sizeof mask);
	mask.k = kset_of(twelve);
	put_as("s4", call->raw(&w, 0, &mask, kset_bytes / 2));
	put_as("s16", call->raw(&w, 0, &mask, 2 * kset_bytes));
	put_as("null_s16", call->raw(&w, 0, NULL, 2 * kset_bytes));
	put_handled();
	put_pending();
	put_mask();
	close_watch(&w);
}
void ppoll_null_mask(void) { null_mask(&by_ppoll); }
void pselect6_null_mask(void) { null_mask(&by_pselect6); }
void epoll_pwait_null_mask(void) { null_mask(&by_epoll_pwait); }
void epoll_pwait2_null_mask(void) { null_mask(&by_epoll_pwait2); }
void ppoll_sizes(void) { sizes(&by_ppoll); }
void pselect6_sizes(void) { sizes(&by_pselect6); }
void epoll_pwait_sizes(void) { sizes(&by_epoll_pwait); }
void epoll_pwait2_sizes(void) { sizes(&by_epoll_pwait2); }
void pselect6_null_sixth(void)
{
	begin();
	struct watch w;
	if (!open_watch(&w))
		return;
	kill(getpid(), SIGUSR1);
	put_result(pselect6_with(&w, 30, NULL));
	put_handled();
	put_pending();
	put_mask();
	close_watch(&w);
}

// 36. A signal sent while the call waits: one its mask releases ends the
// wait; one it blocks waits until the call has put the mask back.
//
// The sender, a thread of the case's or a child, blocks everything and
// sends sig to the case ms on (10 unless a case says otherwise).  Where
// wake is a pipe's write end, it then writes wake once a byte comes on
// hear (the handler's, or the case's when its wait is over), or grace ms
// on (1 s unless a case says otherwise): a wait the signal did not end
// ends all the same, soon.
static struct {
	int sig, hear, wake, ms, grace;
	pid_t to;
} sender;
static void send_soon(void)
{
	sigset_t all;
	sigfillset(&all);
	pthread_sigmask(SIG_BLOCK, &all, NULL);
	struct timespec t = {sender.ms / 1000, sender.ms % 1000 * 1000000L};
	nanosleep(&t, NULL);
	if (getpid() == sender.to || getppid() == sender.to)
		kill(sender.to, sender.sig);
	if (sender.wake < 0)
		return;
	struct pollfd p = {sender.hear, POLLIN, 0};
	poll(&p, 1, sender.grace);
	poke(sender.wake);
}
static void *send_from_thread(void *)
{
	send_soon();
	return NULL;
}
struct sending {
	pthread_t thread;
	pid_t child;
};
static bool start_sending(int sig, int by_child, int hear, int wake, struct sending *s)
{
	sender.sig = sig;
	sender.hear = hear;
	sender.wake = wake;
	sender.ms = sender.ms ? sender.ms : 10;
	sender.grace = sender.grace ? sender.grace : 1000;
	sender.to = getpid();
	s->child = 0;
	if (by_child) {
		s->child = fork();
		if (s->child == 0) {
			send_soon();
			_exit(0);
		}
		if (s->child > 0)
			return true;
	} else if (pthread_create(&s->thread, NULL, send_from_thread, NULL) == 0) {
		return true;
	}
	put("sender=none");
	return false;
}
static void stop_sending(const struct sending *s)
{
	if (s->child > 0)
		waitpid(s->child, NULL, 0);
	else
		pthread_join(s->thread, NULL);
}

// 10, blocked but for the wait, comes from a thread or a child.  Sent
// before the wait has begun, it is pending when the wait releases it:
// the same answer.
static void during(const struct waiter *call, int by_child)
{
	begin();
	struct watch w;
	int heard[2];
	if (!open_watch(&w))
		return;
	if (pipe(heard) < 0) {
		put("pipe=%s", error_name(errno));
		close_watch(&w);
		return;
	}
	told = heard[1];
	struct sending s;
	if (start_sending(SIGUSR1, by_child, heard[0], w.fds[1], &s)) {
		sigset_t mask = sigset_of(twelve);
		struct waited o = wait_with(call, &w, 2000, &mask);
		poke(heard[1]);
		stop_sending(&s);
		put_waited(&o, 2000);
		put_handled();
		if (caught.n > 0) {
			put("code=%s", code_name(SIGUSR1, caught.code));
			if (caught.pid == getpid())
				put("pid=self");
			else if (s.child > 0 && caught.pid == s.child)
				put("pid=child");
			else
				put("pid=%d", (int)caught.pid);
			put_sigset("uc", &caught.uc);
		}
		put_mask();
	}
	told = -1;
	close(heard[0]);
	close(heard[1]);
	close_watch(&w);
}

// 12, which the wait's mask blocks and the case's does not, comes from a
// thread 10 ms into a wait of 2 s, which writes the pipe the wait watches
// 50 ms later, or once the handler has run: the wait ends with the pipe
// ready, and the handler runs as the call returns; where the wait's mask
// did not hold 12, the handler has ended the wait before.  Sent before the
// wait has begun, the handler runs outside it: then the case tries again,
// the sender waiting longer (40, 160 ms).
static void block_more(const struct waiter *call)
{
	static const int more[] = {SIGHUP, SIGUSR1, SIGUSR2, 0};
	begin();
	sigset_t mask = sigset_of(more);
	struct waited o;
	int heard[2];
	if (pipe(heard) < 0) {
		put("pipe=%s", error_name(errno));
		return;
	}
	told = heard[1];
	bool waited = false;
	for (int ms = 10; ms <= 160; ms *= 4) {
		struct watch w;
		if (!open_watch(&w))
			break;
		memset(&caught, 0, sizeof caught);
		phase = before;
		sender.ms = ms;
		sender.grace = 50;
		struct sending s;
		bool sent = start_sending(SIGUSR2, 0, heard[0], w.fds[1], &s);
		if (sent) {
			o = wait_with(call, &w, 2000, &mask);
			waited = true;
			stop_sending(&s);
		}
		close_watch(&w);
		// The handler's bytes, not to be heard on the next try.
		for (int i = 0; i < caught.n; i++) {
			char c;
			if (read(heard[0], &c, 1) != 1)
				break;
		}
		if (!sent || caught.n == 0 || caught.phase == within)
			break;
	}
	told = -1;
	close(heard[0]);
	close(heard[1]);
	sender.ms = sender.grace = 0;
	if (!waited)
		return;
	put_waited(&o, 2000);
	put_handled();
	if (caught.n > 0 && caught.phase != within)
		put("sent=%s", phase_names[caught.phase]);
	put_sigset("uc", &caught.uc);
	put_mask();
	put_pending();
}
void ppoll_during(void) { during(&by_ppoll, 0); }
void pselect6_during(void) { during(&by_pselect6, 1); }
void epoll_pwait_during(void) { during(&by_epoll_pwait, 0); }
void epoll_pwait2_during(void) { during(&by_epoll_pwait2, 1); }
void ppoll_block_more(void) { block_more(&by_ppoll); }
void pselect6_block_more(void) { block_more(&by_pselect6); }
void epoll_pwait_block_more(void) { block_more(&by_epoll_pwait); }
void epoll_pwait2_block_more(void) { block_more(&by_epoll_pwait2); }

// 37. What the wait's mask releases but no handler takes: an ignored
// signal that blocking kept pending is discarded; ppoll and pselect6 then
// go back to waiting and run out (ms 30), the epoll waits end at once
// with EINTR (ms 2000).  And a descriptor ready as the wait begins wins
// over a pending signal the mask releases: the signal stays pending.
static void ignored_pending(const struct waiter *call, int ms)
{
	begin();
	ignore(SIGUSR1);
	struct watch w;
	if (!open_watch(&w))
		return;
	kill(getpid(), SIGUSR1);
	put_pending_as("pending_before");
	sigset_t mask = sigset_of(twelve);
	struct waited o = wait_with(call, &w, ms, &mask);
	put_waited(&o, ms);
	put_handled();
	put_pending();
	put_mask();
	close_watch(&w);
}
static void ready_first(const struct waiter *call)
{
	begin();
	struct watch w;
	if (!open_watch(&w))
		return;
	poke(w.fds[1]);
	kill(getpid(), SIGUSR1);
	sigset_t mask = sigset_of(twelve);
	struct waited o = wait_with(call, &w, 2000, &mask);
	errno = o.error;
	put_result(o.r);
	put_handled();
	put_pending();
	put_mask();
	close_watch(&w);
}
void ppoll_ignored_pending(void) { ignored_pending(&by_ppoll, 30); }
void pselect6_ignored_pending(void) { ignored_pending(&by_pselect6, 30); }
void epoll_pwait_ignored_pending(void) { ignored_pending(&by_epoll_pwait, 2000); }
void epoll_pwait2_ignored_pending(void) { ignored_pending(&by_epoll_pwait2, 2000); }
void ppoll_ready_first(void) { ready_first(&by_ppoll); }
void epoll_pwait_ready_first(void) { ready_first(&by_epoll_pwait); }

// 38. ppoll raw, ended by a signal its mask releases, writes back the
// time that was left: less than it was given, by no more than passed.
static long long ns_now(void)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000000000LL + t.tv_nsec;
}
void ppoll_time_left(void)
{
	begin();
	struct watch w;
	if (!open_watch(&w))
		return;
	kill(getpid(), SIGUSR1);
	struct kset mask = kset_of(twelve);
	struct pollfd p = {w.fds[0], POLLIN, 0};
	struct kernel_timespec t = {2, 0};
	const long long given = 2000000000LL;
	long long began = ns_now();
	long r = syscall(SYS_ppoll, &p, 1, &t, &mask, kset_bytes);
	int error = errno;
	long long took = ns_now() - began, left = t.sec * 1000000000LL + t.nsec;
	errno = error;
	put_result(r);
	put_handled();
	if (left == given)
		put("ts=untouched");
	else if (left < given && left >= given - took - 1000000)
		put("ts=remaining");
	else
		put("ts=%ld.%09ld", t.sec, t.nsec);
	close_watch(&w);
}
