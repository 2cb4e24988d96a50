// sigmask-probe: installs two blocked-signal masks in turn and, after each,
// reports whether signals 1 to 4 are blocked.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Reads the mask in force and writes one line for each of signals 1 to 4.
static void check_blocked_sigs()
{
	sigset_t blocked;

	// With a null new set the call only reads the mask; it changes nothing.
	sigprocmask(SIG_BLOCK, nullptr, &blocked);
	for (int sig = 1; sig <= 4; sig++) {
		if (sigismember(&blocked, sig))
			printf(" signal %d is blocked \n", sig);
		else
			printf(" signal %d is not blocked \n", sig);
	}
}

// Pushes a finished report out: the next mask may release a pending signal
// whose default action ends the process, and the buffer would die with it.
// Returns 0, or the errno of the failed write.
static int flush_report()
{
	if (fflush(stdout) == 0 && !ferror(stdout))
		return 0;
	return errno;
}

int main()
{
	sigset_t set;

	sigemptyset(&set);
	sigaddset(&set, SIGHUP);
	sigaddset(&set, SIGILL);
	sigprocmask(SIG_SETMASK, &set, nullptr);
	check_blocked_sigs();
	int first_error = flush_report();

	sigemptyset(&set);
	sigaddset(&set, SIGINT);
	sigprocmask(SIG_SETMASK, &set, nullptr);
	check_blocked_sigs();
	int second_error = flush_report();

	int error = first_error ? first_error : second_error;
	if (error) {
		fprintf(stderr, "sigmask-probe: write error: %s\n", strerror(error));
		return EXIT_FAILURE;
	}
	return EXIT_SUCCESS;
}
