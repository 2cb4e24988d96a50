// SPDX-License-Identifier: MIT
// What the witness's line on standard error says it was handed.
#pragma once

#include <bitset>
#include <string>
#include <vector>

// A set of signals 1 to 128, as many as a kernel has (MIPS has 127),
// written as the witness writes them: "1,4,34-64".
struct SignalSet {
	static constexpr int most = 128;
	std::bitset<most> bits;	// signal n at bit n - 1
	bool known = true;	// false: the witness could not read it
	static SignalSet of(const std::vector<int> &sigs);
	static SignalSet parse(const std::string &text);
	bool has(int sig) const { return sig >= 1 && sig <= most && bits[sig - 1]; }
	std::string text() const;
	bool operator==(const SignalSet &o) const { return bits == o.bits && known == o.known; }
	SignalSet operator|(const SignalSet &o) const { return {bits | o.bits}; }
	SignalSet operator-(const SignalSet &o) const { return {bits & ~o.bits}; }
};

struct StartState {
	SignalSet blocked, pending, ignored, caught;
	std::string fd[3], tty;
	std::string path[3];	// of a file or directory on fd N, where /proc named it
	std::vector<std::string> args;	// argv, its name first
	std::vector<std::string> env;
};

// Finds the witness's line in what it wrote on standard error; false when
// there is none.
bool parse_witness(const std::string &err, StartState *state);
