// SPDX-License-Identifier: MIT
// sigmask-probe: installs two blocked-signal masks in turn and, after each,
// reports whether signals 1 to 4 are blocked.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Says on standard error which call failed and why.
static void complain(const char *what, int error)
{
	fprintf(stderr, "sigmask-probe: %s: %s\n", what, strerror(error));
}

// Reads the mask in force and writes one line for each of signals 1 to 4.
// Returns false, having written nothing, when the mask cannot be read: a
// set the call did not fill says nothing about the process.
static bool check_blocked_sigs()
{
	sigset_t blocked;

	// With a null new set the call only reads the mask; it changes nothing.
	if (sigprocmask(SIG_BLOCK, nullptr, &blocked) != 0) {
		complain("cannot read the signal mask", errno);
		return false;
	}
	for (int sig = 1; sig <= 4; sig++) {
		if (sigismember(&blocked, sig))
			printf(" signal %d is blocked \n", sig);
		else
			printf(" signal %d is not blocked \n", sig);
	}
	return true;
}

// Installs set as the whole mask.  On failure the report that follows
// still runs: it tells what is really in force.
static bool install_mask(const sigset_t *set)
{
	if (sigprocmask(SIG_SETMASK, set, nullptr) != 0) {
		complain("cannot set the signal mask", errno);
		return false;
	}
	return true;
}

// Pushes a finished report out: the next mask may release a pending signal
// whose default action ends the process, and the buffer would die with it.
// Returns whether standard output has taken everything so far; a failure is
// reported once, when it is first seen.
static bool flush_report(bool written)
{
	if (fflush(stdout) == 0 && !ferror(stdout))
		return written;
	if (written)
		complain("write error", errno);
	return false;
}

int main()
{
	sigset_t set;
	bool ok = true, written = true;

	sigemptyset(&set);
	sigaddset(&set, SIGHUP);
	sigaddset(&set, SIGILL);
	ok &= install_mask(&set);
	ok &= check_blocked_sigs();
	written = flush_report(written);

	sigemptyset(&set);
	sigaddset(&set, SIGINT);
	ok &= install_mask(&set);
	ok &= check_blocked_sigs();
	written = flush_report(written);

	return ok && written ? EXIT_SUCCESS : EXIT_FAILURE;
}
