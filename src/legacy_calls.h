// SPDX-License-Identifier: MIT
// The legacy signal-mask calls each target's kernel has: sigprocmask and
// sigpending on one word of signals, sgetmask and ssetmask; and whether it
// numbers clone3.  One table, read by the calls rows, the scopes of known
// deviations and the tests.
#pragma once

#include <string>

// How a kernel has a call: no number for it at all (the target's headers
// have none, so the calls program has no case for it), a number with no
// call behind it (ENOSYS), the call itself, or a number whose call no
// kernel here could show (the case is skipped, saying so).
enum class Has { no, enosys, yes, unknown };

struct LegacyCalls {
	const char *target;		// as cmake/targets names it
	Has sigprocmask = Has::no, sigpending = Has::no;
	Has word_calls = Has::no;	// sgetmask and ssetmask
	int word_bits = 32;		// of sigprocmask's and sigpending's word
	Has clone3 = Has::yes;
};

// What the target (as ElfFacts::target() names it) has; nothing for one
// the table does not know.
const LegacyCalls &legacy_calls(const std::string &target);
