// SPDX-License-Identifier: MIT
// The calls rows in each target's own numbering: what Debian's MIPS
// kernels wrote, and every case's signals carried to every numbering and
// back.

#include "helpers.h"
#include "numbering.h"

#include <gtest/gtest.h>

#include <elf.h>

#include <regex>
#include <string>

namespace {

ElfFacts facts(unsigned machine, bool wide)
{
	ElfFacts t;
	t.elf = true;
	t.machine = machine;
	t.wide = wide;
	return t;
}

const CallCase &call_named(const std::string &name)
{
	for (const CallCase &c : call_cases)
		if (name == c.name)
			return c;
	ADD_FAILURE() << "no case " << name;
	return call_cases.front();
}

// Lines the calls program wrote on Debian 12's kernels for MIPS (4kc-malta
// for mipsel, 5kc-malta for mips64el): SIGUSR1 16, SIGUSR2 17, SIGCHLD 18,
// SIGWINCH 20, SIGSTOP 23; 127 signals in a set of 16 bytes.
struct Measured {
	bool wide;
	const char *call, *line;
};

void PrintTo(const Measured &m, std::ostream *os) { *os << m.call << (m.wide ? " (mips64el)" : " (mipsel)"); }

class CallsRenumbered : public testing::TestWithParam<Measured> {};

TEST_P(CallsRenumbered, AreWhatDebiansMipsKernelsWrote)
{
	EXPECT_EQ(calls_expected(call_named(GetParam().call), facts(EM_MIPS, GetParam().wide), ""), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(Mips, CallsRenumbered, testing::Values(
	Measured{false, "set-block", "r=0 mask=1,16-17 old=1,16 bytes=16"},
	Measured{true, "set-setmask", "r=0 mask=16-17 old=1,16 bytes=16"},
	Measured{false, "kill-stop-setmask", "r=0 mask=16"},
	Measured{false, "round-trip", "back=1-8,10-22,24-127 libc=1-8,10-22,24-127"},
	Measured{false, "pending-sizes", "bytes=0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16"},
	Measured{true, "libc-sigset-tail", "old_bytes=16 mask=17"},
	Measured{false, "delivery-order", "order=16,35,40,40"},
	Measured{false, "spawn-plain", "blocked=1,16 pending=none ignored=17,32-33 caught=none"},
	Measured{false, "spawn-both", "blocked=2,17,35 pending=none ignored=32-33 caught=none"},
	Measured{false, "handler-mask", "in_handler=1,14,16 uc=1 after=1"},
	Measured{false, "sigwaitinfo-sigchld", "r=18 code=CLD_EXITED status=3 pid=child"},
	Measured{true, "sigtimedwait-order", "order=1,16,17,40:1,40:2,41:3,EAGAIN"},
	Measured{false, "sigqueueinfo-codes-self",
		 "user=0:16:SI_USER tkill=0:16:SI_TKILL positive=0:16:1 mismatch=0 got=16 signo=16 pending_end=none"},
	Measured{true, "clone3-clear-sighand",
		 "parent_10=handler:SA_SIGINFO|SA_RESTART:20 parent_12=SIG_IGN:SA_RESTART:20 r=pid "
		 "child_10=SIG_DFL:0:none child_12=SIG_IGN:0:none child_mask=1,16"},
	Measured{false, "legacy-sigpending", "r=0 pending=16 bytes=4"},
	Measured{false, "legacy-how", "null=0 set=EINVAL mask=1,16"},
	Measured{false, "ppoll-handler-mask", "r=-1 e=EINTR in_handler=16-17,20 uc=1,16 mask=1,16"}));

// The layout: the bit each signal lands in, 127 of them, SIGKILL's and
// SIGSTOP's "-".
TEST(CallsRenumbered, LayOutEverySignalTheTargetHas)
{
	std::string layout = calls_expected(call_named("layout"), facts(EM_MIPS, false), "");
	std::smatch m;
	ASSERT_TRUE(std::regex_match(layout, m, std::regex("layout=((?:[0-9]+|-),)+126")));
	EXPECT_NE(layout.find(",7,-,9,"), std::string::npos) << layout;
	EXPECT_NE(layout.find(",21,-,23,"), std::string::npos) << layout;
}

// Each case's signals, carried from the table's numbering into every
// other and back, come back as they were: none is one the other lacks.
TEST(CallsRenumbered, EveryCasesSignalsHaveANameInEveryNumbering)
{
	const Numbering &table = numberings.front();
	for (const Numbering &other : numberings)
		for (const CallCase &c : call_cases) {
			std::string line = calls_expected(c, facts(EM_X86_64, true), "");
			EXPECT_EQ(line.find('{'), std::string::npos) << c.name;
			// What only the target has, the check works out for it.
			line = std::regex_replace(line, std::regex(" ?(layout=[-0-9,]+|(back|libc|delivered|pending)=1-8,10-18,20-64)"),
						  "");
			EXPECT_EQ(calls_renumbered(calls_renumbered(line, table, other), other, table), line)
				<< c.name << " in " << other.family;
		}
}

} // namespace
