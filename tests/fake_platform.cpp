// SPDX-License-Identifier: MIT
// A platform with one fault, named by the first argument, that runs the
// rest as a command: each is a class of bug the check must catch, or a
// habit of real wrappers that it must not take for one.

#include "start_state.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

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

// Forks a child that starts as we did: the same mask and ignored signals,
// SIGCHLD's too, which we set back to its default so that we can wait,
// and what is pending raised again.
pid_t fork_as_we_started()
{
	sigset_t pending;
	sigpending(&pending);
	bool chld_ignored = signal(SIGCHLD, SIG_DFL) == SIG_IGN;
	pid_t pid = fork();
	if (pid == 0) {
		if (chld_ignored)
			signal(SIGCHLD, SIG_IGN);
		for (int sig = 1; sig < NSIG; sig++)
			if (sigismember(&pending, sig) == 1)
				kill(getpid(), sig);
	}
	return pid;
}

// Runs the command as a child that starts as we did.  Then, as xargs does,
// closes its own standard streams and lingers before it passes the
// child's status on, a death by a signal as the same death; or, as a
// tracer does, says so on standard error first.
int as_child(char **argv, bool close_streams, bool announce_death)
{
	pid_t pid = fork_as_we_started();
	if (pid == 0) {
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

// A MIPS signal for one of this machine's, as an emulator maps them by
// name: the classic ones by MIPS's headers, the real-time ones from the
// nearer end of the range (MIPS's last is 127); 0 for none.
int on_mips(int sig)
{
	static const int classic[32] = {0,  1,  2,  3,  4,  5,  6,  10, 8,  9,  16, 11, 17, 13, 14, 15,
					0,  18, 25, 23, 24, 26, 27, 21, 30, 31, 28, 29, 20, 22, 19, 12};
	return sig < 32 ? classic[sig] : sig <= 48 ? sig : sig + 63;
}

// Runs witness as a child that starts as we did, with its standard error
// on a pipe: what it wrote there, and its status; false when it could not.
bool witness_says(const char *witness, char **argv, std::string *text, int *status)
{
	int fds[2];
	if (pipe(fds) < 0)
		return false;
	pid_t pid = fork_as_we_started();
	if (pid == 0) {
		dup2(fds[1], 2);
		close(fds[0]);
		close(fds[1]);
		execv(witness, argv);
		_exit(127);
	}
	close(fds[1]);
	char buf[65536];
	for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
		text->append(buf, n);
	close(fds[0]);
	return pid > 0 && waitpid(pid, status, 0) == pid;
}

// Runs the witness in the place of a MIPS one that the command names, and
// passes its line on with each signal renumbered for MIPS, or, where
// renumber is false, as it is: a platform that hands a MIPS program this
// machine's numbers.
int as_mips_witness(const char *witness, char **argv, bool renumber)
{
	char given[3][64];
	for (int fd = 0; fd < 3; fd++)
		describe_fd(fd, given[fd], sizeof given[fd]);
	std::string text;
	int status;
	if (!witness_says(witness, argv, &text, &status))
		return 126;
	const char *line = text.c_str();
	std::string out;
	for (const char *at = line; *at;) {
		const char *end = strchr(at, ' ');
		std::string word(at, end ? end - at : strlen(at));
		at += word.size() + (end ? 1 : 0);
		size_t eq = word.find('=');
		std::string key = word.substr(0, eq + 1);
		if (key.size() == 4 && key.rfind("fd", 0) == 0 && key[2] >= '0' && key[2] <= '2')
			word = key + given[key[2] - '0'];	// what the command was given, not our pipe
		if (renumber && (key == "blocked=" || key == "pending=" || key == "ignored=" || key == "caught=")) {
			bool sig[129] = {};
			for (const char *n = word.c_str() + eq + 1; *n;) {
				char *stop;
				long first = strtol(n, &stop, 10), last = first;
				if (*stop == '-')
					last = strtol(stop + 1, &stop, 10);
				for (long k = first; k >= 1 && k <= last && k <= 64; k++)
					sig[on_mips(k)] = true;
				n = *stop ? stop + 1 : stop;
			}
			word = key;
			for (int k = 1; k <= 128; k++)
				if (sig[k])
					word += (word.size() > key.size() ? "," : "") + std::to_string(k);
		}
		out += (out.empty() ? "" : " ") + word;
	}
	if (write(2, out.data(), out.size()) < 0)
		return 126;
	return WIFEXITED(status) ? WEXITSTATUS(status) : 126;
}

// A witness on a platform that garbles what it writes: runs the real one
// with standard error on a pipe, and passes its line on with one kind of
// damage: flip, cut, repeat, split, join or huge.  What the real one says
// of descriptor 2 is put back to ours.
int corrupt_witness(const char *kind, char **argv)
{
	char given[64];
	describe_fd(2, given, sizeof given);
	std::string text;
	int status;
	argv[0] = const_cast<char *>(WITNESS);
	if (!witness_says(WITNESS, argv, &text, &status))
		return 126;

	size_t at = text.find(" fd2=");
	if (at != std::string::npos)
		text.replace(at + 5, text.find(' ', at + 5) - at - 5, given);
	std::string out;
	// Where the damage goes: into what every report holds and clean-start
	// judges, whatever the environment.
	size_t fd0 = std::min(text.find(" fd0=") + 5, text.size() - 1);
	size_t fd1 = std::min(text.find(" fd1=") + 5, text.size());
	if (!strcmp(kind, "flip")) {	// a bit of descriptor 0's first byte
		out = text;
		out[fd0] ^= 0x01;
	} else if (!strcmp(kind, "cut")) {	// all from descriptor 1's value on gone
		out = text.substr(0, fd1);
	} else if (!strcmp(kind, "repeat")) {	// the line twice
		out = text + text;
	} else if (!strcmp(kind, "split")) {	// a newline in descriptor 1's value
		out = text.substr(0, fd1) + "\n" + text.substr(fd1);
	} else if (!strcmp(kind, "join")) {	// no newline: the line never ends
		for (char c : text)
			if (c != '\n')
				out += c;
	} else if (!strcmp(kind, "huge")) {	// every number past any integer
		for (size_t i = 0; i < text.size(); i++) {
			bool digit = isdigit(static_cast<unsigned char>(text[i]));
			if (!digit)
				out += text[i];
			else if (i == 0 || !isdigit(static_cast<unsigned char>(text[i - 1])))
				out += "184467440737095516161844674407370955161";
		}
	} else {
		return 2;
	}
	if (write(2, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
		return 126;
	if (WIFSIGNALED(status)) {
		signal(WTERMSIG(status), SIG_DFL);
		raise(WTERMSIG(status));
	}
	return WIFEXITED(status) ? WEXITSTATUS(status) : 126;
}

} // namespace

int main(int argc, char **argv)
{
	// Started as corrupt-witness-KIND, in the witness's place.
	const char *name = strrchr(argv[0], '/');
	name = name ? name + 1 : argv[0];
	if (!strncmp(name, "corrupt-witness-", 16))
		return corrupt_witness(name + 16, argv);
	if (argc < 3)
		return 2;
	const char *fault = argv[1];
	char **command = argv + 2;
	sigset_t set;
	if (!strcmp(fault, "mips") || !strcmp(fault, "mips-unrenumbered")) {
		// fake-platform mips WITNESS COMMAND: the witness of this
		// machine stands in for the command's MIPS one.
		const char *witness = command[0], *name = strrchr(command[1], '/');
		command++;
		if (!strcmp(name ? name + 1 : command[0], "sigmask-probe-witness"))
			return as_mips_witness(witness, command, !strcmp(fault, "mips"));
	} else if (!strcmp(fault, "drop-pending")) {
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
	} else if (!strcmp(fault, "slow-start")) {	// as a loaded, slow platform
		usleep(1200 * 1000);
	} else if (!strcmp(fault, "hang-before")) {
		for (;;)
			pause();
	} else if (!strcmp(fault, "hang-after")) {	// as tini with SIGCHLD ignored
		if (fork_as_we_started() == 0) {
			execvp(command[0], command);
			_exit(127);
		}
		for (;;)
			pause();
	} else if (!strcmp(fault, "close-early")) {
		return as_child(command, true, false);
	} else if (!strcmp(fault, "announce-death")) {
		return as_child(command, false, true);
	} else if (!strcmp(fault, "refuse-sighup-pending")) {	// as runsc may fail to start
		sigpending(&set);
		if (sigismember(&set, SIGHUP) == 1) {
			static const char line[] = "fake-platform: cannot start the program\n";
			return write(2, line, sizeof line - 1) < 0 ? 126 : 128;
		}
	} else if (!strcmp(fault, "append-stdout") || !strcmp(fault, "nonblock-stdout")) {	// as make, node
		int flag = !strcmp(fault, "append-stdout") ? O_APPEND : O_NONBLOCK;
		for (int fd = 1; fd <= 2; fd++)
			fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | flag);
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
