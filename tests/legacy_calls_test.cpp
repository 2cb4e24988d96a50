// SPDX-License-Identifier: MIT
// The table of the legacy calls each target's kernel has, against the
// headers the build's programs were compiled with.

#include "helpers.h"
#include "legacy_calls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// The calls program has a case for a legacy call where the target's
// headers number it; the check skips the row where they do not, and
// expects the call or ENOSYS where they do.  So the table numbers just
// what the headers number, for the target the probe's ELF header names.
TEST(LegacyCalls, NumberedAsTheTargetsHeadersSay)
{
	std::string target = elf_facts(fact("probe")).target();
	ASSERT_NE(target, "") << fact("probe");
	const LegacyCalls &kernel = legacy_calls(target);
	ASSERT_EQ(kernel.target, target) << "not in the table";
	const struct {
		std::string call;
		Has has;
	} calls[] = {
		{"sigprocmask", kernel.sigprocmask}, {"sigpending", kernel.sigpending},
		{"sgetmask", kernel.word_calls}, {"ssetmask", kernel.word_calls}, {"clone3", kernel.clone3},
	};
	std::string program = "#include <sys/syscall.h>\n";
	for (const auto &c : calls)
		program += "#ifdef SYS_" + c.call + "\nnumbered " + c.call + "\n#endif\n";
	TempDir dir;
	Outcome cpp = tool({fact("cxx"), "-E", "-P", "-x", "c++", dir.file("numbers.cpp", program)});
	ASSERT_EQ(describe(cpp), "exit 0") << cpp.err.text;
	Words numbered = words(cpp.out.text);
	for (const auto &c : calls)
		EXPECT_EQ(std::find(numbered.begin(), numbered.end(), c.call) != numbered.end(), c.has != Has::no)
			<< target << "'s " << c.call << ", by " << fact("cxx");
}

} // namespace
