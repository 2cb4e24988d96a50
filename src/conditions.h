// SPDX-License-Identifier: MIT
// The start conditions sigmask-probe-check runs a probe under, what the
// probe documents for each, and what the witness must see arrive: one
// table, read by the check and by the tests.
#pragma once

#include "spawn.h"

#include <cstdint>
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

// A set of signals 1 to 64, written as the witness writes them: "1,4,34-64".
struct SignalSet {
	uint64_t bits = 0;
	bool known = true;	// false: the witness could not read it
	static SignalSet of(const Signals &sigs);
	static SignalSet parse(const std::string &text);
	std::string text() const;
	bool operator==(const SignalSet &o) const { return bits == o.bits && known == o.known; }
};

// What the witness reports it was handed.
struct StartState {
	SignalSet blocked, pending, ignored, caught;
	std::string fd[3], tty;
	std::vector<std::string> args, env;
};

// Finds the witness's line in what it wrote on standard error; false when
// there is none.
bool parse_witness(const std::string &err, StartState *state);

// One thing the witness saw otherwise than the row set it up.
struct Difference {
	std::string aspect, expected, got;
};

// Compares what the witness saw with what c sets up, for the aspects c
// touches (all of them for the baseline).  given: descriptors 0 to 2 as
// handed over; args: the arguments after the program's name that the
// command passes anyway.
std::vector<Difference> compare(const Condition &c, const StartState &seen,
				const std::string (&given)[3],
				const std::vector<std::string> &args);

// A short shell script that sets c up with a Debian base system's tools
// and runs command under it, with the documented result as a comment.
std::string explain(const Condition &c, const std::vector<std::string> &command);
// The command of that script alone, for a bug report.
std::string reproducer(const Condition &c, const std::vector<std::string> &command);
// A word as the shell reads it back.
std::string shell_quoted(const std::string &word);
