// SPDX-License-Identifier: MIT
// Starts a command under chosen start conditions and collects what it did:
// shared by sigmask-probe-check and the tests.
#pragma once

#include <string>
#include <vector>

// Where the child's standard output goes.
enum class Out { pipe, file, terminal, null, closed, full, reader_gone };

struct Start {
	Out out = Out::pipe;
	// Runs in the child after the clean start, just before exec; returns
	// false, with errno set, when the condition cannot be made.
	bool (*setup)() = nullptr;
	// The child's environment; null passes on our own.
	char *const *envp = nullptr;
	int timeout = 0;	// seconds, 0 for none
};

struct Result {
	enum How { ran, not_set_up, not_started } how = ran;
	std::string why;	// when it did not run: the reason
	std::string out, err;
	int status = 0;		// as waitpid gives it
	bool timed_out = false;
};

// Runs argv[0] (found on our PATH) after a clean start: default signal
// dispositions, empty mask, no core dumps, a process group of its own,
// standard input /dev/null, standard error a pipe, no other descriptors;
// then how.setup.
Result spawn(const std::vector<std::string> &argv, const Start &how);

// "exit N", "killed by SIGNAME" or "timed out".
std::string describe(const Result &r);
std::string describe_status(int status);
