// SPDX-License-Identifier: MIT
// The legacy calls of each target's kernel: see legacy_calls.h.
#include "legacy_calls.h"

namespace {

// As the real kernels show.  ppc64's headers number sigprocmask and
// sigpending, but only its 32-bit programs have them; s390x's word is a
// long.
const LegacyCalls table[] = {
	{.target = "amd64"},
	{.target = "i386", .sigprocmask = Has::yes, .sigpending = Has::yes, .word_calls = Has::yes},
	{.target = "aarch64"},
	{.target = "armhf", .sigprocmask = Has::yes, .sigpending = Has::yes},
	{.target = "armel", .sigprocmask = Has::yes, .sigpending = Has::yes},
	{.target = "s390x", .sigprocmask = Has::yes, .sigpending = Has::yes, .word_bits = 64},
	{.target = "riscv64"},
	{.target = "ppc64el", .sigprocmask = Has::enosys, .sigpending = Has::enosys, .word_calls = Has::yes, .word_bits = 64},
	{.target = "mips64el"},
	{.target = "mipsel", .sigprocmask = Has::yes, .sigpending = Has::yes, .word_calls = Has::yes},
	{.target = "hppa", .sigprocmask = Has::yes, .sigpending = Has::yes, .word_calls = Has::yes},
	// Numbered, but what a 64-bit program gets of them no sparc64 kernel
	// here has shown; its headers number no clone3.
	{.target = "sparc64", .sigprocmask = Has::unknown, .sigpending = Has::unknown, .word_calls = Has::unknown,
	 .word_bits = 64, .clone3 = Has::no},
	// sigpending alone (its sigprocmask is OSF's, of another number and
	// another meaning); what a 64-bit program gets of it, and the rest,
	// no alpha kernel here has shown.
	{.target = "alpha", .sigpending = Has::unknown, .clone3 = Has::no},
};

const LegacyCalls nothing = {.target = ""};

} // namespace

const LegacyCalls &legacy_calls(const std::string &target)
{
	for (const LegacyCalls &t : table)
		if (target == t.target)
			return t;
	return nothing;
}
