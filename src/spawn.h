// SPDX-License-Identifier: MIT
// Starts commands under chosen start conditions and collects what they did:
// shared by sigmask-probe-check and the tests.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// Owns one descriptor and closes it when it goes.
class Fd {
public:
	Fd() = default;
	explicit Fd(int fd) : fd_(fd) {}
	Fd(Fd &&other) noexcept : fd_(other.release()) {}
	Fd &operator=(Fd &&other) noexcept
	{
		reset(other.release());
		return *this;
	}
	~Fd() { reset(); }
	int get() const { return fd_; }
	explicit operator bool() const { return fd_ >= 0; }
	int release()
	{
		int fd = fd_;
		fd_ = -1;
		return fd;
	}
	void reset(int fd = -1)
	{
		if (fd_ >= 0)
			close(fd_);
		fd_ = fd;
	}

private:
	int fd_ = -1;
};

// Where the child's standard output goes.
enum class Out { pipe, file, terminal, null, closed, full, reader_gone };

// What could not be set up in the child: a fixed text, and the signal it
// was about (0 for none).  The child reports it with errno.
struct Refusal {
	const char *what = nullptr;
	int sig = 0;
};

// How a command is started.  Every child first gets a clean start: default
// signal dispositions, an empty mask, no core dumps, a session of its own
// without a controlling terminal (but the row's terminal), standard input
// /dev/null, standard error a pipe, no other descriptors.
struct Launch {
	Out out = Out::pipe;
	bool close_stdin = false;
	// With Out::terminal: TOSTOP set, and the child in a process group that
	// is not the terminal's foreground group.
	bool background = false;
	// Runs in the child just before exec: returns a Refusal with a text, and
	// errno set, when the condition cannot be made.
	std::function<Refusal()> setup;
	char *const *envp = nullptr;	// null passes on our own environment
	int timeout = 0;		// seconds, 0 for none
	// The signals the caller ignores, which the child sets back to their
	// default (exec does that for caught ones); null: every signal.
	const sigset_t *ignored = nullptr;
};

// Bytes kept of each stream a child writes, and the most a file row's
// file may grow to; the rest is read and counted but not kept.
constexpr size_t kept_bytes = 64 * 1024;

struct Captured {
	std::string text;	// the first kept_bytes
	size_t size = 0;	// all that came
};

// What a run came to.
struct Outcome {
	enum Stage { ran, not_set_up, not_started } stage = ran;
	std::string why;	// when it did not run: the reason
	Captured out, err;
	int status = 0;		// as waitpid gives it
	bool timed_out = false;
	// Descriptors 0 to 2 as handed over, described as the witness does.
	std::string given[3];
};

// A failure of our own (no fork, no pipe, no memory): never a verdict on
// the command.
struct SpawnError : std::runtime_error {
	using std::runtime_error::runtime_error;
};

// Runs argv[0], looked up as execvp does, under how and collects what it
// did.  The caller becomes the reaper of every orphan below it: once the
// command has exited, or at the time limit, everything it left behind is
// ended, however it got away, so the caller must have no other children.
// When abort_fd becomes readable or hung up, everything is ended at once
// and *aborted set.  Throws SpawnError when we cannot run it.
Outcome spawn(const std::vector<std::string> &argv, const Launch &how, int abort_fd = -1,
	      bool *aborted = nullptr);

// The file execvp would run for name, or "" with *error set (ENOENT,
// EACCES, ENAMETOOLONG); a name with a slash must be an executable file.
std::string find_command(const std::string &name, int *error);

// The signals we ignore now.
sigset_t ignored_signals();
// Makes us the reaper of every orphan below us; ends and reaps all our
// children.
void adopt_orphans();
void end_children();

// "SIGHUP", "SIGRTMIN+2", "SIGRTMAX-1", "signal 99".
std::string signal_name(int sig);
// "exit N", "killed by SIGNAME" or "timed out".
std::string describe_status(int status);
std::string describe(const Outcome &o);
