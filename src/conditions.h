// SPDX-License-Identifier: MIT
// The start conditions sigmask-probe-check runs a probe under, what the
// probe documents for each, and what the witness must see arrive: one
// table, read by the check and by the tests.
#pragma once

#include "spawn.h"

#include <string>
#include <vector>

// What the probe writes on standard output.
enum class Report { none, first, both };
// Arguments and environment: as given, with extra ones, or none at all.
enum class Args { plain, extra, no_env };

// A wait status by name: exited(0), killed(SIGHUP).
struct Status {
	bool signalled;
	int number;
	std::string text() const;
};
constexpr Status exited(int code) { return {false, code}; }
constexpr Status killed(int sig) { return {true, sig}; }

// Signals, in the order they are set up.
using Signals = std::vector<int>;

struct Condition {
	const char *name = nullptr;
	std::string about = {};		// the condition, in a few words
	Out out = Out::pipe;
	bool close_stdin = false;
	bool background = false;	// with a terminal: a background job, TOSTOP set
	// Set up in this order before exec: ignored, caught (a handler),
	// blocked, pending (blocked, then raised in the order given), and
	// back to the default action.
	Signals ignore = {}, handle = {}, block = {}, pending = {}, restore = {};
	bool block_all = false;
	Args args = Args::plain;
	bool baseline = false;		// the witness compares the whole start state
	// What the probe documents for it.
	Report report = Report::both;
	const char *diagnostic = "";	// its line on standard error, if any
	Status status = exited(0);
};

extern const std::vector<Condition> conditions;

// The extra arguments and environment entries of Args::extra.
extern const std::vector<std::string> extra_args, extra_env;

// Sets up c's signals; runs in the child, just before exec.
Refusal set_up(const Condition &c);
Launch launch(const Condition &c, int timeout);

std::string expected_out(const Condition &c);
// What --list shows for c: what it expects.
std::string expectation(const Condition &c);

// What c leaves blocked at exec, but for block_all: its blocked and its
// pending signals.
Signals blocked(const Condition &c);
// What c leaves ignored across exec, which keeps SIG_IGN and resets a
// handler to the default.
Signals left_ignored(const Condition &c);
bool touches_dispositions(const Condition &c);

// A short shell script that sets c up with a Debian base system's tools
// and runs command under it, with the documented result as a comment.
std::string explain(const Condition &c, const std::vector<std::string> &command);
// The command of that script alone, for a bug report.
std::string reproducer(const Condition &c, const std::vector<std::string> &command);
// A word as the shell reads it back.
std::string shell_quoted(const std::string &word);
