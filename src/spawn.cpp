// SPDX-License-Identifier: MIT
// Starts a command under chosen start conditions: see spawn.h.
//
// The child sets up the condition and execs; it reports a failure before
// exec through a close-on-exec pipe.  We read its output meanwhile, keeping
// the first kept_bytes of each stream, and wait for it; once it has exited
// we end everything it left behind.
#include "spawn.h"

#include "kernel_sigaction.h"
#include "start_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
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

// What the child tells us when it gives up before exec.
struct ChildFailure {
	int stage;	// Outcome::not_set_up or Outcome::not_started
	int error;
	Refusal refusal;	// its text is this program's, the same in both processes
};

std::string failed(const char *what, int error = errno)
{
	return std::string(what) + ": " + strerror(error);
}

// Failures that are ours, not the platform's: out of descriptors or memory.
bool ours(int error)
{
	return error == EMFILE || error == ENFILE || error == ENOMEM || error == EAGAIN;
}

Fd open_fd(const char *path, int flags)
{
	Fd fd(open(path, flags | O_CLOEXEC));
	if (!fd)
		throw SpawnError(failed((std::string("cannot open ") + path).c_str()));
	return fd;
}

void make_pipe(Fd *read_end, Fd *write_end)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) < 0)
		throw SpawnError(failed("cannot make a pipe"));
	read_end->reset(fds[0]);
	write_end->reset(fds[1]);
}

// Where the child's standard output goes, and what we read it through.
struct Ends {
	Fd out;		// becomes the child's descriptor 1 (for a terminal: a stand-in)
	Fd read;	// a pipe's read end or a terminal's master
	Fd slave;	// a terminal's slave, held open until the child has its own
	std::string slave_name;
};

// A file of no name in TMPDIR (or /tmp), gone with its last descriptor.
// Where the file system cannot make one so (gVisor's cannot), a named
// file serves, unlinked at once.
Fd temporary_file()
{
	const char *env = getenv("TMPDIR");
	std::string dir = env && *env ? env : P_tmpdir;
	Fd fd(open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
	if (fd || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
		return fd;
	std::string name = dir + "/sigmask-probe-check.XXXXXX";
	fd.reset(mkostemp(name.data(), O_CLOEXEC));
	if (fd)
		unlink(name.c_str());
	return fd;
}

// Opens where standard output should go.  Returns "", or what this system
// lacks for it; throws when the failure is ours.
std::string open_out(Out out, Ends *e)
{
	switch (out) {
	case Out::pipe:
	case Out::reader_gone:
		make_pipe(&e->read, &e->out);
		if (out == Out::reader_gone)
			e->read.reset();
		return "";
	case Out::file:
		e->out = temporary_file();
		if (!e->out && ours(errno))
			throw SpawnError(failed("cannot make a temporary file"));
		return e->out ? "" : failed("no temporary file");
	case Out::terminal: {
		// Non-blocking: with no data, a master whose slave is open says
		// EAGAIN, one without an open slave EIO.
		e->read.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
		const char *name = nullptr;
		if (!e->read || grantpt(e->read.get()) < 0 || unlockpt(e->read.get()) < 0 ||
		    !(name = ptsname(e->read.get()))) {
			if (ours(errno))
				throw SpawnError(failed("cannot open a pseudo-terminal"));
			return failed("no pseudo-terminal");
		}
		e->slave_name = name;
		e->slave.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
		if (!e->slave)
			return failed("no pseudo-terminal");
		e->out = open_fd("/dev/null", O_WRONLY);
		return "";
	}
	case Out::null:
	case Out::closed:
		e->out = open_fd("/dev/null", O_WRONLY);
		return "";
	case Out::full:
		e->out.reset(open("/dev/full", O_WRONLY | O_CLOEXEC));
		if (!e->out && ours(errno))
			throw SpawnError(failed("cannot open /dev/full"));
		return e->out ? "" : failed("no /dev/full");
	}
	return "";
}

std::string describe_fd(int fd)
{
	char buf[64];
	::describe_fd(fd, buf, sizeof buf);
	return buf;
}

[[noreturn]] void give_up(int fd, int stage, Refusal refusal)
{
	ChildFailure f{stage, errno, refusal};
	if (write(fd, &f, sizeof f) < 0)
		_exit(126);
	_exit(127);
}

// Sets TOSTOP on the terminal and hands its foreground to a group that
// then empties.  Ours stays in the background and, its parent being in
// another session, orphaned: a job-control stop becomes EIO, not a hang.
bool to_background(int tty)
{
	struct termios t;
	if (tcgetattr(tty, &t) < 0)
		return false;
	t.c_lflag |= TOSTOP;
	if (tcsetattr(tty, TCSANOW, &t) < 0)
		return false;
	int hold[2];
	if (pipe2(hold, O_CLOEXEC) < 0)
		return false;
	pid_t holder = fork();
	if (holder == 0) {
		char c;
		close(hold[1]);
		_exit(read(hold[0], &c, 1) < 0);
	}
	bool ok = holder > 0 && setpgid(holder, holder) == 0 && tcsetpgrp(tty, holder) == 0;
	close(hold[0]);
	close(hold[1]);
	if (holder > 0)
		waitpid(holder, nullptr, 0);
	return ok;
}

// Gives the child its clean start and condition, and execs; never returns.
[[noreturn]] void child(const std::string &path, char *const argv[], const Launch &how,
			int in, int out, const std::string &slave, int err, int report)
{
	for (int sig = 1; sig < NSIG; sig++)
		if (!how.ignored || sigismember(how.ignored, sig) == 1)
			signal(sig, SIG_DFL);
	// libc refuses the signals it keeps for itself, below SIGRTMIN, and a
	// parent may have left them ignored (posix_spawn does, and so make).
	static const char default_action[256] = {};
	for (int sig = 32; sig < SIGRTMIN; sig++)
		kernel_sigaction(sig, default_action, nullptr);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	struct rlimit no_core = {0, 0}, most = {kept_bytes, kept_bytes};
	setrlimit(RLIMIT_CORE, &no_core);
	if (how.out == Out::file)
		setrlimit(RLIMIT_FSIZE, &most);

	if (setsid() < 0)
		give_up(report, Outcome::not_set_up, {"cannot start a session"});
	if (how.out == Out::terminal) {
		// Linux makes it the controlling terminal only if it is opened for reading.
		if ((out = open(slave.c_str(), O_RDWR)) < 0)
			give_up(report, Outcome::not_set_up, {"cannot open the terminal"});
		if (how.background && !to_background(out))
			give_up(report, Outcome::not_set_up, {"cannot put the job in the background"});
	}
	dup2(in, 0);
	dup2(out, 1);
	dup2(err, 2);
	if (how.close_stdin)
		close(0);
	if (how.out == Out::closed)
		close(1);
	dup2(report, 3);
	fcntl(3, F_SETFD, FD_CLOEXEC);
	closefrom(4);
	if (how.setup) {
		Refusal refusal = how.setup();
		if (refusal.what)
			give_up(3, Outcome::not_set_up, refusal);
	}
	execve(path.c_str(), argv, how.envp ? how.envp : environ);
	give_up(3, Outcome::not_started, {});
}

// Kills every child of ours that /proc lists; the number found, -1
// without /proc.  A /proc of another PID namespace, as in one made
// without mounting its own, numbers every process otherwise: it is none.
int kill_listed_children()
{
	pid_t self = getpid();
	char link[32];
	ssize_t length = readlink("/proc/self", link, sizeof link - 1);
	if (length <= 0 || (link[length] = '\0', strtol(link, nullptr, 10) != self))
		return -1;
	DIR *proc = opendir("/proc");
	if (!proc)
		return -1;
	int found = 0;
	while (struct dirent *entry = readdir(proc)) {
		char *end, path[64], stat[512];
		pid_t pid = static_cast<pid_t>(strtol(entry->d_name, &end, 10));
		if (*end || pid <= 0)
			continue;
		snprintf(path, sizeof path, "/proc/%d/stat", pid);
		int fd = open(path, O_RDONLY | O_CLOEXEC);
		ssize_t n = fd < 0 ? -1 : read(fd, stat, sizeof stat - 1);
		if (fd >= 0)
			close(fd);
		if (n <= 0)
			continue;
		stat[n] = '\0';
		// pid (comm) state ppid ...: comm may hold anything but ends at the last ')'.
		const char *after = strrchr(stat, ')');
		int ppid;
		char state;
		if (after && sscanf(after + 1, " %c %d", &state, &ppid) == 2 && ppid == self) {
			kill(pid, SIGKILL);
			found++;
		}
	}
	closedir(proc);
	return found;
}

// Without /proc: asks of every possible process ID whether it is a child
// of ours, which only a child answers.  Slow, and only for that case.
int kill_children_by_asking()
{
	int found = 0;
	for (pid_t pid = 2; pid < (1 << 22); pid++) {
		siginfo_t info;
		if (waitid(P_PID, pid, &info, WEXITED | WSTOPPED | WCONTINUED | WNOHANG | WNOWAIT) == 0) {
			kill(pid, SIGKILL);
			found++;
		}
	}
	return found;
}

long now_ms()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000L + t.tv_nsec / 1000000;
}

// Keeps what still fits of kept_bytes.
void keep(Captured *into, const char *buf, size_t n)
{
	into->text.append(buf, std::min(n, kept_bytes - into->text.size()));
}

// What a read of a stream came to: data, nothing for now, or its end (end
// of file; or EIO, from a terminal's master when no slave is open).
enum class Read { data, nothing, end };

Read read_into(Fd &fd, Captured *into)
{
	char buf[65536];
	ssize_t n = read(fd.get(), buf, sizeof buf);
	if (n > 0) {
		keep(into, buf, n);
		into->size += n;
		return Read::data;
	}
	return n < 0 && (errno == EINTR || errno == EAGAIN) ? Read::nothing : Read::end;
}

// While a command runs, its exit must wake our poll: SIGCHLD gets a
// handler that does nothing, and comes in only while we poll.
struct ChildSignals {
	struct sigaction old_action;
	sigset_t old_mask, waiting;
	ChildSignals()
	{
		struct sigaction wake = {};
		wake.sa_handler = [](int) {};
		sigaction(SIGCHLD, &wake, &old_action);
		sigset_t chld;
		sigemptyset(&chld);
		sigaddset(&chld, SIGCHLD);
		sigprocmask(SIG_BLOCK, &chld, &old_mask);
		waiting = old_mask;
		sigdelset(&waiting, SIGCHLD);
		adopt_orphans();
	}
	~ChildSignals()
	{
		sigprocmask(SIG_SETMASK, &old_mask, nullptr);
		sigaction(SIGCHLD, &old_action, nullptr);
	}
};

// Ends the command's session and whatever else it left behind, once the
// command itself has been reaped (or killed).
void end_rest(pid_t pid)
{
	kill(-pid, SIGKILL);
	end_children();
}

// How long we wait at a time while the terminal has no slave open: one
// may open again, and a master without one cannot be polled.
constexpr long idle_ms = 20;

// Linux tells a terminal's master that its last holder has gone by
// POLLHUP, set as the holder closes it, and so before we can reap that
// holder; gVisor never does, and has what they wrote there at once.  Once
// the command and all it left are gone, the master is read until it has
// been quiet this long.
constexpr long hangup_grace_ms = 500;

// Reads the child's streams until they end, and reaps it; at its exit ends
// what it left behind, at the deadline ends it.  A terminal's master stays
// open until then, whatever the command closes: closing it would hang up
// the command's session.  Returns false when abort_fd told us to stop.
bool collect(pid_t pid, int timeout, int abort_fd, Fd *out, bool terminal, Fd *err, Fd *report,
	     Fd *slave, std::string *failure, Outcome *o, const sigset_t *waiting)
{
	long deadline = timeout ? now_ms() + timeout * 1000L : 0;
	long quiet_until = 0;	// for a terminal, once reaped
	bool reaped = false, idle = false;
	for (;;) {
		if (!reaped) {
			pid_t w = waitpid(pid, &o->status, WNOHANG);
			if (w < 0) {
				int error = errno;
				end_rest(pid);
				throw SpawnError(failed("cannot wait for the command", error));
			}
			if (w == pid) {
				reaped = true;
				end_rest(pid);
			}
		}
		// Once the child has execed, or given up, it holds the terminal
		// itself: its going must end our reading.
		if (!*report)
			slave->reset();
		if (idle && (reaped || read_into(*out, &o->out) != Read::end))
			idle = false;	// a slave is open again, or nobody is left to open one
		if (reaped && !*out && !*err && !*report)
			return true;
		long left = deadline ? deadline - now_ms() : -1;
		if (!reaped && deadline && left <= 0) {
			kill(-pid, SIGKILL);
			kill(pid, SIGKILL);	// in case it has no session of its own yet
			o->timed_out = true;
			deadline = 0;	// SIGCHLD wakes us when it has gone
			continue;
		}
		if (reaped) {
			// Its streams still held: by what it left, which a platform
			// may make ours only after we reaped it (gVisor does), so
			// that is ended again now and then; by nothing of ours,
			// until the deadline.
			end_children();
			long now = now_ms();
			if (terminal && *out && !quiet_until)
				quiet_until = now + hangup_grace_ms;
			if (quiet_until && now >= quiet_until)
				out->reset();
			if (deadline && now >= deadline)
				for (Fd *fd : {out, err, report})
					fd->reset();
			if ((quiet_until && now >= quiet_until) || (deadline && now >= deadline))
				continue;
			left = quiet_until ? std::min(idle_ms, quiet_until - now) : idle_ms;
		}
		if (idle)
			left = left < 0 ? idle_ms : std::min(left, idle_ms);
		struct pollfd fds[4];
		Fd *owner[4];
		nfds_t n = 0;
		for (Fd *fd : {out, err, report})
			if (*fd && !(fd == out && idle)) {
				owner[n] = fd;
				fds[n++] = {fd->get(), POLLIN, 0};
			}
		if (abort_fd >= 0)
			fds[n++] = {abort_fd, POLLIN, 0};
		struct timespec ts = {left / 1000, left % 1000 * 1000000};
		if (ppoll(fds, n, left < 0 ? nullptr : &ts, waiting) < 0) {
			if (errno == EINTR)
				continue;
			int error = errno;
			kill(pid, SIGKILL);
			end_rest(pid);
			throw SpawnError(failed("cannot poll", error));
		}
		if (abort_fd >= 0 && fds[n - 1].revents) {
			kill(pid, SIGKILL);
			end_rest(pid);
			return false;
		}
		for (nfds_t i = 0; i < n - (abort_fd >= 0); i++) {
			if (!fds[i].revents)
				continue;
			Captured into;
			Fd *fd = owner[i];
			Read r = read_into(*fd, fd == report ? &into : fd == out ? &o->out : &o->err);
			failure->append(into.text);
			if (r == Read::data && fd == out && quiet_until)
				quiet_until = now_ms() + hangup_grace_ms;
			if (r == Read::end && fd == out && terminal && !reaped)
				idle = true;
			else if (r == Read::end)
				fd->reset();
		}
	}
}

} // namespace

Outcome spawn(const std::vector<std::string> &argv, const Launch &how, int abort_fd,
	      bool *aborted)
{
	Outcome o;
	int error = 0;
	std::string path = find_command(argv.at(0), &error);
	if (path.empty()) {
		o.stage = Outcome::not_started;
		o.why = strerror(error);
		return o;
	}
	Ends ends;
	std::string lacks = open_out(how.out, &ends);
	if (!lacks.empty()) {
		o.stage = Outcome::not_set_up;
		o.why = lacks;
		return o;
	}
	Fd in = open_fd("/dev/null", O_RDONLY), err, err_end, report, report_end;
	make_pipe(&err, &err_end);
	make_pipe(&report, &report_end);
	o.given[0] = how.close_stdin ? "closed" : describe_fd(in.get());
	o.given[1] = how.out == Out::closed ? "closed"
		     : describe_fd(ends.slave ? ends.slave.get() : ends.out.get());
	o.given[2] = describe_fd(err_end.get());

	std::vector<char *> args;
	for (const auto &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	ChildSignals signals;
	// vfork spares copying our pages for a child that soon execs; one that
	// forks a holder of its terminal needs a copy of its own.
	pid_t pid = how.background ? fork() : vfork();
	if (pid == 0)
		child(path, args.data(), how, in.get(), ends.out.get(), ends.slave_name, err_end.get(),
		      report_end.get());
	if (pid < 0)
		throw SpawnError(failed("cannot fork"));
	for (Fd *fd : {&in, &err_end, &report_end})
		fd->reset();
	Fd file = how.out == Out::file ? std::move(ends.out) : Fd();
	ends.out.reset();

	std::string failure;
	bool done = collect(pid, how.timeout, abort_fd, &ends.read, how.out == Out::terminal, &err,
			    &report, &ends.slave, &failure, &o, &signals.waiting);
	if (aborted)
		*aborted = !done;
	ChildFailure f;
	if (failure.size() == sizeof f) {
		memcpy(&f, failure.data(), sizeof f);
		o.stage = static_cast<Outcome::Stage>(f.stage);
		std::string what = f.refusal.what ? f.refusal.what : "";
		if (f.refusal.sig)
			what += " " + signal_name(f.refusal.sig);
		o.why = what.empty() ? strerror(f.error) : failed(what.c_str(), f.error);
	}
	if (file) {
		struct stat st;
		char buf[4096];
		ssize_t n;
		if (fstat(file.get(), &st) == 0)
			o.out.size = st.st_size;
		while (o.out.text.size() < kept_bytes &&
		       (n = pread(file.get(), buf, sizeof buf, o.out.text.size())) > 0)
			keep(&o.out, buf, n);
	}
	return o;
}
std::string find_command(const std::string &name, int *error)
{
	if (name.find('/') != std::string::npos) {
		struct stat st;
		if (stat(name.c_str(), &st) != 0)
			*error = errno;
		else if (!S_ISREG(st.st_mode) || access(name.c_str(), X_OK) != 0)
			*error = EACCES;
		else
			return name;
		return "";
	}
	if (name.empty() || name.size() > NAME_MAX) {
		*error = name.empty() ? ENOENT : ENAMETOOLONG;
		return "";
	}
	const char *path = getenv("PATH");
	std::string dirs = path ? path : "/bin:/usr/bin";
	bool denied = false;
	for (size_t at = 0;;) {
		size_t end = dirs.find(':', at);
		std::string dir = dirs.substr(at, end - at);
		std::string file = (dir.empty() ? "." : dir) + "/" + name;
		struct stat st;
		if (file.size() < PATH_MAX && stat(file.c_str(), &st) == 0) {
			if (S_ISREG(st.st_mode) && access(file.c_str(), X_OK) == 0)
				return file;
			denied = true;
		}
		if (end == std::string::npos)
			break;
		at = end + 1;
	}
	*error = denied ? EACCES : ENOENT;
	return "";
}

sigset_t ignored_signals()
{
	sigset_t set;
	sigemptyset(&set);
	for (int sig = 1; sig < NSIG; sig++) {
		struct sigaction sa;
		if (sigaction(sig, nullptr, &sa) == 0 && sa.sa_handler == SIG_IGN)
			sigaddset(&set, sig);
	}
	return set;
}

void adopt_orphans()
{
	prctl(PR_SET_CHILD_SUBREAPER, 1);
}

void end_children()
{
	for (;;) {
		pid_t pid;
		while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0)
			;
		if (pid < 0 && errno != EINTR)
			return;		// no children left
		if (kill_listed_children() <= 0)
			kill_children_by_asking();
		waitpid(-1, nullptr, 0);
	}
}

std::string signal_name(int sig)
{
	if (const char *name = sigabbrev_np(sig))
		return std::string("SIG") + name;
	if (sig == SIGRTMIN)
		return "SIGRTMIN";
	if (sig == SIGRTMAX)
		return "SIGRTMAX";
	if (sig > SIGRTMIN && sig < SIGRTMAX)
		return sig - SIGRTMIN <= (SIGRTMAX - SIGRTMIN) / 2
			       ? "SIGRTMIN+" + std::to_string(sig - SIGRTMIN)
			       : "SIGRTMAX-" + std::to_string(SIGRTMAX - sig);
	return "signal " + std::to_string(sig);
}

std::string describe_status(int status)
{
	if (WIFEXITED(status))
		return "exit " + std::to_string(WEXITSTATUS(status));
	return "killed by " + signal_name(WTERMSIG(status));
}

std::string describe(const Outcome &o)
{
	return o.timed_out ? "timed out" : describe_status(o.status);
}
