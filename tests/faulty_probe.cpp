// SPDX-License-Identifier: MIT
// A probe with one fault built in, chosen when it is compiled, to show that
// sigmask-probe-check catches it.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#ifdef FAULT_SIG_BLOCK
const int how = SIG_BLOCK;	// adds to the inherited mask
#else
const int how = SIG_SETMASK;
#endif

static void report()
{
	sigset_t blocked;
	sigprocmask(SIG_BLOCK, nullptr, &blocked);
	for (int sig = 1; sig <= 4; sig++)
		printf(sigismember(&blocked, sig) ? " signal %d is blocked \n"
						  : " signal %d is not blocked \n", sig);
#ifndef FAULT_NO_FLUSH
	fflush(stdout);
#endif
}

int main()
{
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGHUP);
	sigaddset(&set, SIGILL);
	sigprocmask(how, &set, nullptr);
	report();
	sigemptyset(&set);
	sigaddset(&set, SIGINT);
	sigprocmask(how, &set, nullptr);
	report();
	if (fflush(stdout) != 0 || ferror(stdout)) {
		fprintf(stderr, "sigmask-probe: write error: %s\n", strerror(errno));
#ifndef FAULT_EXIT_0_ON_WRITE_ERROR
		return 1;
#endif
	}
	return 0;
}
