// SPDX-License-Identifier: MIT
// A platform with one fault, named by the first argument, that runs the
// rest as a command: each is a class of bug the check must catch, or a
// habit of real wrappers that it must not take for one.

#include <fcntl.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

// Runs the command as a child that starts as we did: the same mask and
// ignored signals, and what is pending raised again.  Then, as xargs does,
// closes its own standard streams and lingers before it passes the
// child's status on, a death by a signal as the same death; or, as a
// tracer does, says so on standard error first.
int as_child(char **argv, bool close_streams, bool announce_death)
{
	sigset_t pending;
	sigpending(&pending);
	bool chld_ignored = signal(SIGCHLD, SIG_DFL) == SIG_IGN;	// so that we can wait
	pid_t pid = fork();
	if (pid == 0) {
		if (chld_ignored)
			signal(SIGCHLD, SIG_IGN);
		for (int sig = 1; sig < NSIG; sig++)
			if (sigismember(&pending, sig) == 1)
				kill(getpid(), sig);
		execvp(argv[0], argv);
		_exit(127);
	}
	int status;
	if (pid < 0 || waitpid(pid, &status, 0) < 0)
		return 126;
	if (close_streams) {
		for (int fd = 0; fd < 3; fd++)
			close(fd);
		usleep(100 * 1000);
	}
	if (WIFEXITED(status))
		return WEXITSTATUS(status);
	if (announce_death)
		dprintf(2, "fake-platform: the program died of signal %d\n", WTERMSIG(status));
	sigset_t one;
	sigemptyset(&one);
	sigaddset(&one, WTERMSIG(status));
	signal(WTERMSIG(status), SIG_DFL);
	sigprocmask(SIG_UNBLOCK, &one, nullptr);
	raise(WTERMSIG(status));
	return 128 + WTERMSIG(status);
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
	} else if (!strcmp(fault, "close-early")) {
		return as_child(command, true, false);
	} else if (!strcmp(fault, "announce-death")) {
		return as_child(command, false, true);
	} else if (!strcmp(fault, "add-variable")) {	// for every program
		setenv("FAKE_PLATFORM", "1", 1);
	} else if (!strcmp(fault, "block-sigusr1")) {
		sigemptyset(&set);
		sigaddset(&set, SIGUSR1);
		sigprocmask(SIG_BLOCK, &set, nullptr);
	} else if (!strcmp(fault, "ignore-sigpipe")) {	// as python3 does
		signal(SIGPIPE, SIG_IGN);
	} else if (!strcmp(fault, "banner")) {	// for every program
		static const char line[] = "fake-platform: starting\n";
		if (write(2, line, sizeof line - 1) < 0)
			return 126;
	} else if (!strcmp(fault, "banner-with-pid")) {	// the same, numbered anew each time
		struct timespec now;
		clock_gettime(CLOCK_REALTIME, &now);
		if (dprintf(2, "==%d== fake-platform 1.0 starting at %lld.%09ld\n==%d==\n", getpid(),
			    static_cast<long long>(now.tv_sec), now.tv_nsec, getpid()) < 0)
			return 126;
	} else {
		return 2;
	}
	execvp(command[0], command);
	return 127;
}
