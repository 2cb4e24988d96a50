// SPDX-License-Identifier: MIT
// A platform with one fault, named by the first argument, that runs the
// rest as a command: each is a class of bug the check must catch.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

void for_pending(void (*act)(int sig))
{
	sigset_t pending;
	sigpending(&pending);
	for (int sig = 1; sig < NSIG; sig++)
		if (sigismember(&pending, sig) == 1)
			act(sig);
}

// Ignoring a pending signal discards it.
void drop(int sig)
{
	struct sigaction was, ignore = {};
	ignore.sa_handler = SIG_IGN;
	sigaction(sig, &ignore, &was);
	sigaction(sig, &was, nullptr);
}

// Takes a pending synchronous signal for itself, as an emulator does.
void take(int sig)
{
	if (sig == SIGILL || sig == SIGTRAP || sig == SIGBUS || sig == SIGFPE || sig == SIGSEGV ||
	    sig == SIGSYS) {
		sigset_t one;
		sigemptyset(&one);
		sigaddset(&one, sig);
		struct timespec now = {0, 0};
		sigtimedwait(&one, nullptr, &now);
	}
}

// Runs the command as a child, passing a death by a signal on as status
// 128 + N.
int status_for_signal(char **argv)
{
	pid_t pid = fork();
	if (pid == 0) {
		execvp(argv[0], argv);
		_exit(127);
	}
	int status;
	if (waitpid(pid, &status, 0) < 0)
		return 126;	// with SIGCHLD ignored, the status is gone
	return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 3)
		return 2;
	const char *fault = argv[1];
	char **command = argv + 2;
	sigset_t set;
	if (!strcmp(fault, "drop-pending")) {
		for_pending(drop);
	} else if (!strcmp(fault, "empty-mask")) {	// all but what is pending
		sigpending(&set);
		sigprocmask(SIG_SETMASK, &set, nullptr);
	} else if (!strcmp(fault, "reset-ignored")) {	// it catches nothing itself
		for (int sig = 1; sig < NSIG; sig++)
			signal(sig, SIG_DFL);
	} else if (!strcmp(fault, "take-pending")) {
		for_pending(take);
	} else if (!strcmp(fault, "die-of-pending")) {
		sigemptyset(&set);
		sigprocmask(SIG_SETMASK, &set, nullptr);
	} else if (!strcmp(fault, "reopen-closed")) {
		for (int fd = 0; fd < 3; fd++)
			if (fcntl(fd, F_GETFD) < 0)
				open("/dev/null", O_RDONLY);
	} else if (!strcmp(fault, "status-for-signal")) {
		return status_for_signal(command);
	} else {
		return 2;
	}
	execvp(command[0], command);
	return 127;
}
