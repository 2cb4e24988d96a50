// SPDX-License-Identifier: MIT
// The legacy calls of each target's kernel: see legacy_calls.h.
#include "legacy_calls.h"

namespace {

// As the real kernels show.  ppc64's headers number sigprocmask and
// sigpending, but only its 32-bit programs have them; s390x's word is a
// long.
const LegacyCalls table[] = {
	{.target = "amd64"},
	{.target = "i386", .mask_calls = Has::yes, .word_calls = Has::yes},
	{.target = "aarch64"},
	{.target = "armhf", .mask_calls = Has::yes},
	{.target = "armel", .mask_calls = Has::yes},
	{.target = "s390x", .mask_calls = Has::yes, .word_bits = 64},
	{.target = "riscv64"},
	{.target = "ppc64el", .mask_calls = Has::enosys, .word_calls = Has::yes, .word_bits = 64},
	{.target = "mips64el"},
	{.target = "mipsel", .mask_calls = Has::yes, .word_calls = Has::yes},
	{.target = "hppa", .mask_calls = Has::yes, .word_calls = Has::yes},
	// Numbered, but what a 64-bit program gets of them no sparc64 kernel
	// here has shown; its headers number no clone3.
	{.target = "sparc64", .mask_calls = Has::unknown, .word_calls = Has::unknown, .word_bits = 64,
	 .clone3 = Has::no},
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
