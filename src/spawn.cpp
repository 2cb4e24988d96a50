// SPDX-License-Identifier: MIT
// Starts a command under chosen start conditions: see spawn.h.
#include "spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern char **environ;

namespace {

// What the child tells the parent, through a close-on-exec pipe, when it
// gives up before exec.
struct Failure {
	int stage;	// Result::not_set_up or Result::not_started
	int error;
};

[[noreturn]] void give_up(int fd, int stage)
{
	Failure f{stage, errno};
	if (write(fd, &f, sizeof f) < 0)
		_exit(126);
	_exit(127);
}

// The command as execve wants it: a path, looked up on our own PATH so that
// a child with no environment still finds it.
std::string find(const std::string &cmd)
{
	if (cmd.find('/') != std::string::npos)
		return cmd;
	const char *path = getenv("PATH");
	std::string dirs = path ? path : "/usr/bin:/bin";
	for (size_t at = 0;;) {
		size_t end = dirs.find(':', at);
		std::string dir = dirs.substr(at, end - at);
		std::string file = (dir.empty() ? "." : dir) + "/" + cmd;
		if (access(file.c_str(), X_OK) == 0)
			return file;
		if (end == std::string::npos)
			return "";
		at = end + 1;
	}
}

// Opens where standard output should go; returns -1 with why set when it
// cannot be had here.  Pipe and terminal ends are left in *read_end.
int open_out(Out out, int *read_end, std::string *slave, std::string *why)
{
	int fds[2];
	switch (out) {
	case Out::pipe:
	case Out::reader_gone:
		if (pipe2(fds, O_CLOEXEC) < 0)
			break;
		*read_end = fds[0];
		return fds[1];
	case Out::file: {
		const char *dir = getenv("TMPDIR");
		int fd = open(dir && *dir ? dir : P_tmpdir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
		if (fd < 0)
			*why = std::string("no temporary file: ") + strerror(errno);
		return fd;
	}
	case Out::terminal: {
		int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
		const char *name = nullptr;
		if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0 ||
		    !(name = ptsname(master))) {
			*why = std::string("no pseudo-terminal: ") + strerror(errno);
			if (master >= 0)
				close(master);
			return -1;
		}
		*read_end = master;
		*slave = name;
		return open("/dev/null", O_RDONLY | O_CLOEXEC);	// stands in until the child opens the slave
	}
	case Out::null:
	case Out::closed:
		return open("/dev/null", O_WRONLY | O_CLOEXEC);
	case Out::full: {
		int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
		if (fd < 0)
			*why = std::string("no /dev/full: ") + strerror(errno);
		return fd;
	}
	}
	*why = strerror(errno);
	return -1;
}

// Sets up the child's side and execs; never returns.
[[noreturn]] void child(const std::string &path, char *const argv[], const Start &how,
			int in, int out, const std::string &slave, int err, int report)
{
	for (int sig = 1; sig < NSIG; sig++)
		signal(sig, SIG_DFL);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	struct rlimit no_core = {0, 0};
	setrlimit(RLIMIT_CORE, &no_core);

	// A process group of its own, so that a time limit ends whatever it
	// started too; on a terminal, a session with the slave as controlling
	// terminal.
	if (how.out != Out::terminal)
		setpgid(0, 0);
	else if (setsid() < 0 || (out = open(slave.c_str(), O_WRONLY)) < 0)
		give_up(report, Result::not_set_up);
	dup2(in, 0);
	dup2(out, 1);
	dup2(err, 2);
	if (how.out == Out::closed)
		close(1);
	dup2(report, 3);
	fcntl(3, F_SETFD, FD_CLOEXEC);
	closefrom(4);
	if (how.setup && !how.setup())
		give_up(3, Result::not_set_up);
	execve(path.c_str(), argv, how.envp ? how.envp : environ);
	give_up(3, Result::not_started);
}

std::string read_all(int fd)
{
	std::string s;
	char buf[4096];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		s.append(buf, n);
	return s;
}

long now_ms()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000L + t.tv_nsec / 1000000;
}

// Reads the child's output and stderr until both end, then reaps it; kills
// it when the deadline passes first.
void collect(pid_t pid, int out, int err, int timeout, Result *r)
{
	long deadline = timeout ? now_ms() + timeout * 1000L : 0;
	auto left = [&] { return deadline ? std::max(0L, deadline - now_ms()) : -1L; };
	struct pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
	std::string *into[2] = {&r->out, &r->err};
	int open_ends = (out >= 0) + 1;	// poll passes over a negative fd
	while (open_ends > 0 && left() != 0) {
		if (poll(fds, 2, left()) < 0) {
			if (errno == EINTR)
				continue;
			break;
		}
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd < 0 || !fds[i].revents)
				continue;
			char buf[4096];
			ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n > 0) {
				into[i]->append(buf, n);
			} else if (n == 0 || errno != EINTR) {
				fds[i].fd = -1;	// end of file, or EIO once a terminal's slave is gone
				open_ends--;
			}
		}
	}
	// The child has closed its ends, so it is most likely exiting: look
	// again soon, then less often.
	for (useconds_t pause = 20; waitpid(pid, &r->status, WNOHANG) == 0;
	     pause = std::min(pause * 2, 10000u)) {
		if (left() == 0) {
			kill(-pid, SIGKILL);
			kill(pid, SIGKILL);	// in case it had no group of its own yet
			waitpid(pid, &r->status, 0);
			r->timed_out = true;
			return;
		}
		usleep(pause);
	}
}

} // namespace

Result spawn(const std::vector<std::string> &argv, const Start &how)
{
	Result r;
	std::string path = find(argv.at(0));
	if (path.empty()) {
		r.how = Result::not_started;
		r.why = strerror(ENOENT);
		return r;
	}
	std::vector<char *> args;
	for (const auto &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);

	int read_end = -1, err[2] = {-1, -1}, report[2] = {-1, -1};
	std::string slave;
	int out = open_out(how.out, &read_end, &slave, &r.why);
	int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
	pid_t pid = -1;
	if (out >= 0 && in >= 0 && pipe2(err, O_CLOEXEC) == 0 && pipe2(report, O_CLOEXEC) == 0) {
		if (how.out == Out::reader_gone) {
			close(read_end);
			read_end = -1;
		}
		pid = fork();
		if (pid == 0)
			child(path, args.data(), how, in, out, slave, err[1], report[1]);
	}
	if (pid < 0) {
		r.how = Result::not_set_up;
		if (r.why.empty())
			r.why = strerror(errno);
	}
	for (int fd : {in, err[1], report[1]})
		if (fd >= 0)
			close(fd);
	if (how.out != Out::file && out >= 0)
		close(out);

	Failure f;
	if (pid < 0) {
		// nothing ran
	} else if (read(report[0], &f, sizeof f) == sizeof f) {
		waitpid(pid, &r.status, 0);
		r.how = static_cast<Result::How>(f.stage);
		r.why = strerror(f.error);
	} else {
		collect(pid, read_end, err[0], how.timeout, &r);
		if (how.out == Out::file && lseek(out, 0, SEEK_SET) == 0)
			r.out = read_all(out);
	}
	for (int fd : {report[0], err[0], read_end, how.out == Out::file ? out : -1})
		if (fd >= 0)
			close(fd);
	return r;
}

std::string describe_status(int status)
{
	if (WIFEXITED(status))
		return "exit " + std::to_string(WEXITSTATUS(status));
	int sig = WTERMSIG(status);
	if (const char *name = sigabbrev_np(sig))
		return std::string("killed by SIG") + name;
	if (sig == SIGRTMIN)
		return "killed by SIGRTMIN";
	if (sig > SIGRTMIN && sig <= SIGRTMAX)
		return "killed by SIGRTMIN+" + std::to_string(sig - SIGRTMIN);
	return "killed by signal " + std::to_string(sig);
}

std::string describe(const Result &r)
{
	return r.timed_out ? "timed out" : describe_status(r.status);
}
