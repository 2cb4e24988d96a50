// SPDX-License-Identifier: MIT
// Judging a row from its two runs: did the condition arrive as set, and did
// the probe then do what it documents?
#pragma once

#include "conditions.h"
#include "numbering.h"
#include "report.h"
#include "witness_line.h"

#include <string>
#include <vector>

enum class Verdict { passed, failed, skipped };

// What a run's rows are judged against.
struct Basis {
	bool verified = false;	// a witness runs in the probe's place
	// How the witness's target numbers its signals; null: as the check.
	const Numbering *target = nullptr;
	// What the check hands over on the plain start, besides descriptors:
	// the arguments after the probe's name, and the environment.
	std::vector<std::string> args, env;
	// What the witness saw of the plain start through the command, and
	// where that differs from what the check handed over; baseline is null
	// when the witness gave no report there.
	const StartState *baseline = nullptr;
	std::vector<std::string> platform_adds;
	// What the platform wrote on standard error on the plain start, which
	// every other row expects among the probe's own lines; and the same a
	// line each, numbers aside.
	std::string platform_err;
	std::vector<std::string> platform_err_lines;
};

// Takes what the platform wrote on standard error in the probe's run from
// the plain start, when that run exited 0 and none of it was cut.
void take_platform_err(const Outcome &plain, Basis *basis);

// Where what the witness saw differs from what row c should have handed
// over, for the aspects c touches: the plain start compares all of them
// with the ideal, every other row with the baseline and its own changes
// (with the ideal where there is no baseline).
std::vector<Field> compare(const Condition &c, const StartState &seen, const Basis &basis,
			   const std::string (&given)[3]);

// Judges row c from its runs into report's verdict, message, basis and
// fields.
Verdict judge(const Condition &c, const Outcome &witness, const Outcome &probe, const Basis &basis,
	      RowReport *report);
