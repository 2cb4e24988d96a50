// SPDX-License-Identifier: MIT
// sigmask-probe-witness: writes on standard error, as one line, the start
// state it was handed: blocked and pending signals, ignored and caught
// ones, what descriptors 0 to 2 are, the controlling terminal, arguments
// and environment.  It reads all of that before it changes anything, never
// unblocks a signal (so a pending one cannot kill it) and exits 0.

#include "kernel_sigaction.h"
#include "start_state.h"

#include <sys/ioctl.h>
#include <sys/syscall.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The signals in set, as "1,4,34-64"; "?" when the set could not be read.
static void put_signals(const char *name, const sigset_t *set, bool read)
{
	fprintf(stderr, " %s=%s", name, read ? "" : "?");
	if (!read)
		return;
	const char *sep = "";
	for (int sig = 1; sig < NSIG; sig++) {
		if (sigismember(set, sig) != 1)
			continue;
		int last = sig;
		while (last + 1 < NSIG && sigismember(set, last + 1) == 1)
			last++;
		if (last > sig)
			fprintf(stderr, "%s%d-%d", sep, sig, last);
		else
			fprintf(stderr, "%s%d", sep, sig);
		sep = ",";
		sig = last;
	}
}

// A word with the bytes that would split or garble the line escaped.
static void put_word(const char *name, const char *word)
{
	fprintf(stderr, " %s=", name);
	for (const unsigned char *c = (const unsigned char *)word; *c; c++) {
		if (*c <= ' ' || *c >= 0x7f || *c == '\\')
			fprintf(stderr, "\\x%02x", *c);
		else
			putc(*c, stderr);
	}
}

// The handler of a signal that libc keeps for itself (32 and 33), and
// will not say: from the kernel, whose action starts with it, but for
// MIPS's, which starts with its flags in a word of their own.  Its set is
// as many bytes as the kernel has signals.
static bool raw_handler(int sig, void (**handler)(int))
{
#ifdef __mips__
	const int slot = 1;
#else
	const int slot = 0;
#endif
	void (*action[16])(int) = {};
	if (kernel_sigaction(sig, nullptr, action) != 0)
		return false;
	*handler = action[slot];
	return true;
}

// libc will not add those to a set either; their bits go in as the
// kernel has them, which is how sigismember reads them.
static void add(sigset_t *set, int sig)
{
	if (sigaddset(set, sig) != 0)
		reinterpret_cast<unsigned long *>(set)[(sig - 1) / (8 * sizeof(long))] |=
			1UL << ((sig - 1) % (8 * sizeof(long)));
}

// A descriptor on our controlling terminal, or -1: /dev/tty, where /dev
// has one and the platform opens it; else whichever of 0 to 2 says it is
// our session's (TIOCGSID) or, where the platform cannot say (gVisor),
// names a foreground group, as only a controlling terminal does.
static int controlling_terminal()
{
	int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
	if (fd >= 0)
		return fd;
	for (fd = 0; fd < 3; fd++) {
		pid_t sid;
		if (!isatty(fd))
			continue;
		if (ioctl(fd, TIOCGSID, &sid) == 0 ? sid == getsid(0) : tcgetpgrp(fd) > 0)
			return fd;
	}
	return -1;
}

int main(int argc, char **argv, char **envp)
{
	sigset_t blocked, pending, ignored, caught;
	bool have_blocked = sigprocmask(SIG_BLOCK, nullptr, &blocked) == 0;
	bool have_pending = sigpending(&pending) == 0;
	sigemptyset(&ignored);
	sigemptyset(&caught);
	for (int sig = 1; sig < NSIG; sig++) {
		struct sigaction sa;
		void (*handler)(int) = SIG_DFL;
		if (sigaction(sig, nullptr, &sa) == 0)
			handler = sa.sa_handler;
		else if (!raw_handler(sig, &handler))
			continue;
		// The handler's value decides, whatever the flags: SA_SIGINFO
		// with SIG_IGN still ignores the signal.
		if (handler == SIG_IGN)
			add(&ignored, sig);
		else if (handler != SIG_DFL)
			add(&caught, sig);
	}
	// Descriptors before anything is opened, which would take a free one.
	char fds[3][64];
	for (int fd = 0; fd < 3; fd++)
		describe_fd(fd, fds[fd], sizeof fds[fd]);
	const char *tty = "none";
	int fd = controlling_terminal();
	if (fd >= 0) {
		// In a PID namespace that does not hold the process groups, both
		// read 0: which one is in the foreground cannot be told.
		pid_t foreground = tcgetpgrp(fd), own = getpgrp();
		tty = foreground <= 0 || own <= 0 ? "unknown"
		      : foreground == own     ? "foreground"
					      : "background";
		if (fd > 2)
			close(fd);
	}

	static char buf[1 << 16];
	setvbuf(stderr, buf, _IOFBF, sizeof buf);
	fputs(WITNESS_TAG, stderr);
	put_signals("blocked", &blocked, have_blocked);
	put_signals("pending", &pending, have_pending);
	put_signals("ignored", &ignored, true);
	put_signals("caught", &caught, true);
	for (int fd = 0; fd < 3; fd++)
		fprintf(stderr, " fd%d=%s", fd, fds[fd]);
	// What a file or a directory there is, where /proc names it.
	for (int fd = 0; fd < 3; fd++) {
		char link[32], path[4096];
		snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
		ssize_t n;
		if ((!strncmp(fds[fd], "file:", 5) || !strncmp(fds[fd], "dir/", 4)) &&
		    (n = readlink(link, path, sizeof path - 1)) > 0) {
			path[n] = '\0';
			char key[8];
			snprintf(key, sizeof key, "path%d", fd);
			put_word(key, path);
		}
	}
	fprintf(stderr, " tty=%s", tty);
	for (int i = 0; i < argc; i++)
		put_word("arg", argv[i]);
	for (char **e = envp; *e; e++)
		put_word("env", *e);
	putc('\n', stderr);
	fflush(stderr);
	return EXIT_SUCCESS;
}
