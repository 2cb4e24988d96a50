// SPDX-License-Identifier: MIT
// A platform faked inside the program's own C library: preloaded, it
// changes what a call answers, as a tool that keeps a program's signal
// state in its own books does.  The fault is chosen when it is built.

#include <dlfcn.h>

#include <cerrno>
#include <csignal>

namespace {

template <typename F> F *real(const char *name)
{
	return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
}

[[maybe_unused]] void handler(int) {}

} // namespace

#ifdef FAULT_DISPOSITIONS
// Dispositions that exec cannot hand over: each kind, with and without
// SA_SIGINFO, as valgrind shows its own SIGRTMAX.
extern "C" int sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
	static auto next = real<int(int, const struct sigaction *, struct sigaction *)>("sigaction");
	int rc = next(sig, act, old);
	struct {
		int sig;
		void (*handler)(int);
		int flags;
	} const made_up[] = {
		{SIGUSR1, SIG_IGN, 0},		{SIGUSR2, SIG_IGN, SA_SIGINFO},
		{SIGALRM, SIG_DFL, SA_SIGINFO}, {SIGTERM, handler, 0},
		{SIGWINCH, handler, SA_SIGINFO},
	};
	for (const auto &m : made_up)
		if (rc == 0 && !act && old && sig == m.sig) {
			old->sa_handler = m.handler;
			old->sa_flags = m.flags;
		}
	return rc;
}
#endif

#if defined(FAULT_NONE) || defined(FAULT_WAIT_MASK_IGNORED) || defined(FAULT_WAIT_MASK_NOT_ATOMIC) || \
	defined(FAULT_WAIT_NULL_MASK_EMPTY) || defined(FAULT_WAIT_MASK_KEPT)
#define FAKE_WAITS
#endif

#if defined(FAKE_WAITS) || defined(FAULT_OLD_16) || defined(FAULT_SETMASK_NULL) || \
	defined(FAULT_SIG64) || defined(FAULT_SIGKILL_READBACK) || defined(FAULT_QUEUE_INFO_LOST)
// The mask calls, raw and through libc, with the fault applied to what
// goes in or comes out.
#include <sys/syscall.h>

#include <cstdarg>
#include <cstring>

namespace {

void fault_out(void *old)
{
	(void)old;
#ifdef FAULT_OLD_16
	if (old)
		memset(static_cast<char *>(old) + 8, 0, 8);
#endif
#ifdef FAULT_SIGKILL_READBACK
	if (old)
		static_cast<unsigned char *>(old)[1] |= 1;	// signal 9
#endif
}

// The mask call itself, and what the fault makes of it.  The sets are the
// caller's, and may be unmapped on purpose: only the kernel reads them.
long mask_call(long (*next)(long, ...), int how, const void *set, void *old, size_t size)
{
#ifdef FAULT_SETMASK_NULL
	static const unsigned char none[8] = {0};
	if (!set && how == SIG_SETMASK)
		set = none;
#endif
	long r = next(SYS_rt_sigprocmask, how, set, old, size);
	if (r == 0)
		fault_out(old);
#ifdef FAULT_SIG64
	static const unsigned char sixty_four[8] = {0, 0, 0, 0, 0, 0, 0, 0x80};
	if (r == 0 && set)
		next(SYS_rt_sigprocmask, SIG_UNBLOCK, sixty_four, nullptr, 8);
#endif
	return r;
}

#ifdef FAKE_WAITS
// The waits with a mask of their own, as emulators have got them wrong:
// the mask ignored; put in place by sigprocmask around a plain wait;
// a null mask taken for an empty one; the mask left in place after.
// Only a mask of the kernel's size is faulted: other sizes go on to the
// kernel, which refuses them.
struct mask_arg {
	const void *set;
	size_t size;
};

bool is_wait(long number)
{
	return number == SYS_ppoll || number == SYS_pselect6 || number == SYS_epoll_pwait ||
	       number == SYS_epoll_pwait2;
}

// The wait number with its arguments a: ppoll takes its mask and size in
// its fourth and fifth, the epoll waits in their fifth and sixth, and
// pselect6 in a pair its sixth points to, or none.
long wait_call(long (*next)(long, ...), long number, long *a)
{
	int at = number == SYS_ppoll ? 3 : 4;
	mask_arg m = {nullptr, 8};
	if (number != SYS_pselect6)
		m = {reinterpret_cast<const void *>(a[at]), static_cast<size_t>(a[at + 1])};
	else if (a[5])
		m = *reinterpret_cast<const mask_arg *>(a[5]);
#ifdef FAULT_WAIT_NULL_MASK_EMPTY
	static const unsigned char empty[8] = {0};
	if (!m.set)
		m.set = empty;
#endif
	const void *faulted = m.size == 8 ? m.set : nullptr;
#ifdef FAULT_WAIT_MASK_NOT_ATOMIC
	unsigned char old[8];
	if (faulted && next(SYS_rt_sigprocmask, SIG_SETMASK, faulted, old, 8) < 0)
		return -1;
#endif
#if defined(FAULT_WAIT_MASK_IGNORED) || defined(FAULT_WAIT_MASK_NOT_ATOMIC)
	if (faulted)
		m.set = nullptr;
#endif
	if (number != SYS_pselect6)
		a[at] = reinterpret_cast<long>(m.set);
	else if (a[5] || m.set)
		a[5] = reinterpret_cast<long>(&m);
	long r = next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
	int error = errno;
#ifdef FAULT_WAIT_MASK_NOT_ATOMIC
	if (faulted)
		next(SYS_rt_sigprocmask, SIG_SETMASK, old, nullptr, 8);
#endif
#ifdef FAULT_WAIT_MASK_KEPT
	if (faulted)
		next(SYS_rt_sigprocmask, SIG_SETMASK, faulted, nullptr, 8);
#endif
	errno = error;
	return r;
}
#endif

} // namespace

// As libc's own, it takes six arguments whatever the caller passed, which
// the machine's calling convention allows and AddressSanitizer cannot see.
extern "C" __attribute__((no_sanitize_address)) long syscall(long number, ...)
{
	static auto next = real<long(long, ...)>("syscall");
	va_list ap;
	va_start(ap, number);
	long a[6];
	for (long &arg : a)
		arg = va_arg(ap, long);
	va_end(ap);
#ifdef FAULT_QUEUE_INFO_LOST
	// The caller's siginfo is lost on the way, as an emulator that sends
	// the signal as kill and tgkill would: the code and value are theirs.
	if (number == SYS_rt_sigqueueinfo)
		return next(SYS_kill, a[0], a[1]);
	if (number == SYS_rt_tgsigqueueinfo)
		return next(SYS_tgkill, a[0], a[1], a[2]);
#endif
	if (number == SYS_rt_sigprocmask)
		return mask_call(next, static_cast<int>(a[0]), reinterpret_cast<const void *>(a[1]),
				 reinterpret_cast<void *>(a[2]), a[3]);
#ifdef FAKE_WAITS
	if (is_wait(number))
		return wait_call(next, number, a);
#endif
	return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

extern "C" int pthread_sigmask(int how, const sigset_t *set, sigset_t *old)
{
	static auto next = real<long(long, ...)>("syscall");
	long r = mask_call(next, how, set, old, 8);
	return r < 0 ? errno : 0;
}

extern "C" int sigprocmask(int how, const sigset_t *set, sigset_t *old)
{
	int error = pthread_sigmask(how, set, old);
	errno = error ? error : errno;
	return error ? -1 : 0;
}
#endif

#ifdef FAKE_WAITS
// libc's waits, as it makes them: a copy of the timeout, which the
// kernel writes the time left into; the kernel's 8 bytes of the mask.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/select.h>

#include <ctime>

namespace {

long libc_wait(long number, long a0, long a1, long a2, long a3, long a4, long a5)
{
	static auto next = real<long(long, ...)>("syscall");
	long a[6] = {a0, a1, a2, a3, a4, a5};
	return wait_call(next, number, a);
}

long copy_of(const struct timespec *timeout, struct timespec *copy)
{
	if (!timeout)
		return 0;
	*copy = *timeout;
	return reinterpret_cast<long>(copy);
}

} // namespace

extern "C" int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *timeout, const sigset_t *mask)
{
	struct timespec t;
	return libc_wait(SYS_ppoll, reinterpret_cast<long>(fds), n, copy_of(timeout, &t),
			 reinterpret_cast<long>(mask), 8, 0);
}

extern "C" int pselect(int n, fd_set *in, fd_set *out, fd_set *ex, const struct timespec *timeout,
		       const sigset_t *mask)
{
	struct timespec t;
	mask_arg sixth = {mask, 8};
	return libc_wait(SYS_pselect6, n, reinterpret_cast<long>(in), reinterpret_cast<long>(out),
			 reinterpret_cast<long>(ex), copy_of(timeout, &t), reinterpret_cast<long>(&sixth));
}

extern "C" int epoll_pwait(int ep, struct epoll_event *events, int most, int timeout, const sigset_t *mask)
{
	return libc_wait(SYS_epoll_pwait, ep, reinterpret_cast<long>(events), most, timeout,
			 reinterpret_cast<long>(mask), 8);
}

extern "C" int epoll_pwait2(int ep, struct epoll_event *events, int most, const struct timespec *timeout,
			    const sigset_t *mask)
{
	struct timespec t;
	return libc_wait(SYS_epoll_pwait2, ep, reinterpret_cast<long>(events), most, copy_of(timeout, &t),
			 reinterpret_cast<long>(mask), 8);
}
#endif

#ifdef FAULT_FORK_EMPTY_MASK
#include <sys/types.h>
#include <unistd.h>

// The child of fork starts with nothing blocked.
extern "C" pid_t fork()
{
	static auto next = real<pid_t()>("fork");
	pid_t pid = next();
	if (pid == 0) {
		sigset_t none;
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, nullptr);
	}
	return pid;
}
#endif

#ifdef FAULT_EXEC_DROPS_PENDING
#include <unistd.h>

// What is pending is gone by the time the new program runs.
extern "C" int execv(const char *path, char *const argv[])
{
	static auto next = real<int(const char *, char *const[])>("execv");
	sigset_t pending;
	sigpending(&pending);
	for (int sig = 1; sig < NSIG; sig++) {
		if (sigismember(&pending, sig) != 1)
			continue;
		struct sigaction ignore = {}, was;
		ignore.sa_handler = SIG_IGN;
		sigaction(sig, &ignore, &was);
		sigaction(sig, &was, nullptr);
	}
	return next(path, argv);
}
#endif

#ifdef FAULT_SIGNALFD_IGNORED_LOST
#include <sys/types.h>
#include <unistd.h>

// A signal a process sends itself while it is set to SIG_IGN is gone at
// once, blocked or not, as in an emulator that keeps the dispositions in
// its own books: signalfd and sigwaitinfo never see it.
extern "C" int kill(pid_t pid, int sig)
{
	static auto next = real<int(pid_t, int)>("kill");
	struct sigaction sa;
	if (pid == getpid() && sig > 0 && sigaction(sig, nullptr, &sa) == 0 && sa.sa_handler == SIG_IGN)
		return 0;
	return next(pid, sig);
}
#endif

#ifdef FAULT_SIGTIMEDWAIT_EAGAIN
#include <sys/syscall.h>

#include <cstdarg>
#include <cstddef>

namespace {

// The waits look in a queue of their own, which never holds the signal,
// as a tracer that polls its own did: the kernel checks the size and the
// timeout, the wait runs out (at once where there is no timeout) with
// EAGAIN, or ends with EINTR where a handler ran.
long wait_for_nothing(const void *timeout, size_t size)
{
	static auto next = real<long(long, ...)>("syscall");
	static const unsigned char nothing[8] = {};
	static const long now[2] = {0, 0};
	return next(SYS_rt_sigtimedwait, nothing, nullptr, timeout ? timeout : now, size);
}

} // namespace

extern "C" int sigtimedwait(const sigset_t *, siginfo_t *, const struct timespec *timeout)
{
	return static_cast<int>(wait_for_nothing(timeout, 8));
}

extern "C" int sigwaitinfo(const sigset_t *, siginfo_t *)
{
	return static_cast<int>(wait_for_nothing(nullptr, 8));
}

// As libc's own, it takes six arguments whatever the caller passed, which
// the machine's calling convention allows and AddressSanitizer cannot see.
extern "C" __attribute__((no_sanitize_address)) long syscall(long number, ...)
{
	static auto next = real<long(long, ...)>("syscall");
	va_list ap;
	va_start(ap, number);
	long a[6];
	for (long &arg : a)
		arg = va_arg(ap, long);
	va_end(ap);
	if (number == SYS_rt_sigtimedwait)
		return wait_for_nothing(reinterpret_cast<const void *>(a[2]), a[3]);
	return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
#endif

#ifdef FAULT_SIGNALFD_VALUE_LOST
#include <sys/signalfd.h>
#include <unistd.h>

// A signalfd's records come with ssi_int 0, as qemu hands on the host's
// records to a 64-bit target of the other byte order.
namespace {
bool signalfds[1024];
bool marked(int fd) { return fd >= 0 && fd < 1024 && signalfds[fd]; }
} // namespace

extern "C" int signalfd(int fd, const sigset_t *mask, int flags)
{
	static auto next = real<int(int, const sigset_t *, int)>("signalfd");
	int r = next(fd, mask, flags);
	if (r >= 0 && r < 1024)
		signalfds[r] = true;
	return r;
}

extern "C" int close(int fd)
{
	static auto next = real<int(int)>("close");
	if (marked(fd))
		signalfds[fd] = false;
	return next(fd);
}

extern "C" ssize_t read(int fd, void *buf, size_t size)
{
	static auto next = real<ssize_t(int, void *, size_t)>("read");
	ssize_t n = next(fd, buf, size);
	for (ssize_t at = 0; marked(fd) && at + ssize_t(sizeof(signalfd_siginfo)) <= n; at += sizeof(signalfd_siginfo))
		reinterpret_cast<signalfd_siginfo *>(static_cast<char *>(buf) + at)->ssi_int = 0;
	return n;
}
#endif
