// SPDX-License-Identifier: MIT
// The cases sigmask-probe-calls runs, what Linux does in each on the
// probe's target, and their verdicts: one table, beside the conditions,
// read by the check and by the tests.  Each case is a row of the report,
// calls/<name>.
#pragma once

#include "elf_facts.h"
#include "report.h"
#include "spawn.h"

#include <string>
#include <vector>

// Where a case runs: everywhere, or where the target's kernel has a
// number for the legacy sigprocmask, for sigpending, for sgetmask and
// ssetmask, or for clone3 (legacy_calls.h says which).
enum class Needs { nothing, legacy_sigprocmask, legacy_sigpending, legacy_word_calls, clone3 };

struct CallCase {
	const char *name = nullptr;
	const char *about = "";
	// What Linux gives: key=value words; {word-bytes}, {legacy-mask},
	// {legacy-old}, {legacy-pending}, {layout}, {sgetmask}, {ssetmask} and
	// {fdinfo} stand for what depends on the target, or on the kernel or
	// the /proc the case reports.
	const char *expected = "";
	Needs needs = Needs::nothing;
	// What it gives where the kernel has the number the case calls, but
	// no call behind it.
	const char *enosys = "";
};

extern const std::vector<CallCase> call_cases;

// The prefix of the rows' names.
extern const char calls_prefix[];

// Whether the target's kernel has the legacy sigprocmask and sigpending.
bool has_legacy_calls(const ElfFacts &target);

// Whether the target numbers every call case c makes: the calls program
// has the case where it does.
bool calls_numbered(const CallCase &c, const ElfFacts &target);

// Why case c does not run for a program with these ELF facts, or "".
std::string calls_skip(const CallCase &c, const ElfFacts &target);

// What Linux gives in case c on that target, the case's own line seen.
std::string calls_expected(const CallCase &c, const ElfFacts &target, const std::string &seen);

// A line's signals, from numbering from into numbering to, by name; the
// table's are numbered as most targets number them (numberings' first).
struct Numbering;
std::string calls_renumbered(const std::string &line, const Numbering &from, const Numbering &to);

// The line the calls program wrote for c in out, without its tag and
// name; false when there is none.
bool calls_line(const std::string &out, const CallCase &c, std::string *seen);

// Judges row c from the run of the calls program: ok when its line is what
// Linux gives; fills report's verdict, message and fields.
bool judge_call(const CallCase &c, const Outcome &run, const ElfFacts &target, RowReport *report);
