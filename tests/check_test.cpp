// SPDX-License-Identifier: MIT
// The check on the probe: natively, by the host's check, and on each
// target by its own; and its options, answers and errors.

#include "helpers.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <regex>
#include <string>

namespace {

// The check on the probe, run once for the tests of the Check suite: by
// the host's check, from a hostile start (signals ignored and blocked,
// SIGCHLD ignored) that it must not hand on; under an emulator, with the
// emulator's known deviations.
const Outcome &check_run()
{
	static const Outcome run = [] {
		Launch how;
		how.setup = [] {
			sigset_t set;
			sigemptyset(&set);
			sigaddset(&set, SIGHUP);
			sigaddset(&set, SIGQUIT);
			for (int sig : {SIGPIPE, SIGINT, SIGCHLD})
				signal(sig, SIG_IGN);
			sigprocmask(SIG_SETMASK, &set, nullptr);
			return Refusal{};
		};
		how.timeout = 120;
		return spawn(Words{fact("host_check")} + known_options(fact("known")) + command(fact("probe")), how);
	}();
	return run;
}

TEST(Check, VerifiesEveryRowAndFailsOnlyTheKnownDeviations)
{
	const Outcome &r = check_run();
	const std::string &tap = r.out.text;
	Rows known = known_rows(fact("known"));
	size_t skipped = calls_skipped().size();
	EXPECT_EQ(failed_rows(tap), Rows{}) << tap;
	EXPECT_EQ(failed_rows(tap, true), known) << tap;
	EXPECT_EQ(tap.find("not verified"), std::string::npos);
	EXPECT_TRUE(std::regex_search(tap, std::regex("\n# " + std::to_string(every_row().size() - known.size() - skipped) +
							 " passed, 0 failed, " + std::to_string(skipped) + " skipped(, " +
							 std::to_string(known.size()) + " known, 0 fixed)?\n$")))
		<< tap;
	EXPECT_EQ(describe(r), "exit 0");
	EXPECT_EQ(r.err.text, "");
}

// What a TAP harness makes of the report agrees with the check.
TEST(Check, ReadsCleanlyInATapHarness)
{
	TempDir dir;
	Outcome harness = tool({"perl", TAP_SUMMARY, dir.file("report", check_run().out.text)});
	std::string n = std::to_string(every_row().size());
	EXPECT_EQ(harness.out.text, "version 13, plan 1.." + n + ", ran " + n + ", skipped " +
				    std::to_string(calls_skipped().size()) +
				    ", failed: none, todo passed: none, parse errors: none\n");
	EXPECT_EQ(harness.err.text, "");
}

// The fingerprint names the probe's build as readelf sees it.
TEST(Check, FingerprintsTheProbe)
{
	Outcome elf = tool({"readelf", "-hl", fact("probe")});
	std::smatch m;
	ASSERT_TRUE(std::regex_search(elf.out.text, m, std::regex("Machine: +[^\n]* (\\S+)\n")));
	std::string machine = m[1];
	ASSERT_TRUE(std::regex_search(elf.out.text, m, std::regex("interpreter: ([^\\]]+)\\]")));
	std::string interpreter = m[1];
	ASSERT_TRUE(std::regex_search(elf.out.text, m, std::regex("Class: +(\\S+)")));
	EXPECT_TRUE(std::regex_search(check_run().out.text,
				      std::regex("\n# probe: [^\n]+: " + std::string(m[1]) + " (little|big)-endian [^\n]*" +
						 machine + ", interpreter " + interpreter + "\n")))
		<< check_run().out.text;
	if (!fact("elf_machine").empty()) {
		EXPECT_EQ(machine, fact("elf_machine"));
	}
}

// The calls program of this build runs the cases the check's table has for
// its target, and those alone.
TEST(Check, CallsProgramRunsTheTablesCases)
{
	std::string calls = fs::path(fact("probe")).parent_path() / "sigmask-probe-calls";
	Outcome list = tool(command(calls) + Words{"--list"});
	Words expected;
	for (const CallCase &call : call_cases)
		if (calls_numbered(call, elf_facts(fact("probe"))))
			expected.push_back(call.name);
	EXPECT_EQ(words(list.out.text), expected);
	Outcome bad = tool(command(calls) + Words{"null-set-block", "nonesuch"});
	EXPECT_EQ(describe(bad), "exit 2");
	EXPECT_EQ(bad.err.text, "sigmask-probe-calls: no case nonesuch\n");
	EXPECT_EQ(bad.out.text.rfind("sigmask-probe-calls: null-set-block ", 0), 0u) << bad.out.text;
}

// A known file's line scoped to this build's target holds for its probe;
// one scoped to every other target does not.
TEST(Check, KnownLinesHoldForThisTargetAlone)
{
	TempDir dir;
	std::string target = elf_facts(fact("probe")).target();
	ASSERT_NE(target, "");
	std::string file = dir.file("known", target + ": stdout-pipe  this target's\n!" + target +
						      ": stdout-file  every other target's\n");
	Outcome r = tool(Words{fact("host_check"), "-o", "stdout-pipe", "-o", "stdout-file", "-k", file} +
			 command(fact("probe")));
	EXPECT_NE(r.out.text.find("\nok 1 - stdout-pipe # TODO this target's\nok 2 - stdout-file\n"), std::string::npos)
		<< r.out.text;
}

// The target's own check, where it runs under an emulator too, with what
// the emulator adds on that side: make check-platform.
TEST(CheckPlatform, PassesButTheKnownDeviations)
{
	if (!emulated())
		GTEST_SKIP() << "the host's check is the Check suite's";
	// What qemu adds as the check's parent, in place of what it does as
	// the program's alone; the mask calls go through it alike.
	std::string known = std::regex_replace(fact("known"), std::regex("(^| )qemu-user( |$)"),
					       "$1qemu-user-parent$2");
	Outcome r = tool(command(fact("check")) + known_options(known) + command(fact("probe")));
	EXPECT_EQ(failed_rows(r.out.text), Rows{}) << r.out.text;
	EXPECT_EQ(failed_rows(r.out.text, true), known_rows(known)) << r.out.text;
	EXPECT_EQ(describe(r), "exit 0");
}

struct Usage {
	Words args;
	std::string status, out, err;	// out and err: regular expressions
	Out where = Out::pipe;		// the check's own standard output
};

class CheckUsage : public testing::TestWithParam<Usage> {};

TEST_P(CheckUsage, AnswersAsDocumented)
{
	Launch how;
	how.out = GetParam().where;
	Outcome r = tool(command(fact("check")) + GetParam().args, {}, how);
	EXPECT_EQ(describe(r), GetParam().status);
	EXPECT_TRUE(std::regex_match(r.out.text, std::regex(GetParam().out))) << r.out.text;
	EXPECT_TRUE(std::regex_match(r.err.text, std::regex(GetParam().err))) << r.err.text;
}

INSTANTIATE_TEST_SUITE_P(Table, CheckUsage, testing::Values(
	Usage{{"--version"}, "exit 0", "sigmask-probe-check [0-9.]+\n", ""},
	Usage{{"-h"}, "exit 0", "usage: sigmask-probe-check [^]*", ""},
	Usage{{"--list"}, "exit 0", "(\\S+ +\\S[^\n]*: [^\n]*\n){" + std::to_string(conditions.size() + call_cases.size()) + "}", ""},
	Usage{{"-l", "-o", "calls/size-1*"}, "exit 0",
	      "calls/size-16 +rt_sigprocmask with sigsetsize 16: r=-1 e=EINVAL mask=1,10 old=untouched\n"
	      "calls/size-128 +[^\n]+\n", ""},
	Usage{{"-l", "-o", "sighup-pending-*"}, "exit 0",
	      "sighup-pending-pipe +SIGHUP blocked and pending: first report, killed by SIGHUP\n"
	      "sighup-pending-file +[^\n]+\nsighup-pending-ignore-undone +[^\n]+\n"
	      "sighup-pending-ignored +SIGHUP ignored, blocked and pending: both reports, exit 0\n", ""},
	Usage{{"-t", "1", "-o", "stdout-pipe", "sleep", "10"}, "exit 1",
	      "TAP version 13\n(# [^\n]*\n)+1..1\nnot ok 1 - stdout-pipe\n  ---\n  message: \"timed out\"\n[^]*"
	      "    status: \"timed out\"\n[^]*# 0 passed, 1 failed, 0 skipped; start state not verified: [^\n]*\n", ""},
	// Errors of our own are errors, written as such, whatever was asked.
	Usage{{"--version"}, "exit 2", "", me + "write error: No space left on device\n", Out::full},
	Usage{{"-l"}, "exit 2", "", me + "write error: Bad file descriptor\n", Out::closed},
	Usage{{"-x"}, "exit 2", "", me + "bad option: -x \\(see --help\\)\n"},
	Usage{{"-lx"}, "exit 2", "", me + "bad option: -x \\(see --help\\)\n"},
	Usage{{"--bogus=1"}, "exit 2", "", me + "bad option: --bogus \\(see --help\\)\n"},
	Usage{{"--only"}, "exit 2", "", me + "option needs an argument: --only \\(see --help\\)\n"},
	Usage{{"-t", "0"}, "exit 2", "", me + "bad time limit: 0 \\(1 to 86400\\)\n"},
	Usage{{"-t", "4294967297"}, "exit 2", "", me + "bad time limit: 4294967297 \\(1 to 86400\\)\n"},
	Usage{{"-j", "0"}, "exit 2", "", me + "bad number of jobs: 0 \\(1 to 1024\\)\n"},
	Usage{{"-o", "nonesuch"}, "exit 2", "", me + "no condition matches nonesuch\n"},
	Usage{{"--explain", "nonesuch"}, "exit 2", "", me + "no condition is named nonesuch\n"},
	Usage{{"--report=/nonexistent/report"}, "exit 2", "",
	      me + "cannot write the report on /nonexistent/report: No such file or directory\n"},
	Usage{{"-k", "/nonexistent"}, "exit 2", "",
	      me + "cannot read known deviations /nonexistent: No such file or directory\n"},
	Usage{{"-w", "/bin/true", "/bin/true"}, "exit 2", "",
	      me + "--witness: no sigmask-probe in the command to stand in for\n"},
	Usage{{"/nonexistent/probe"}, "exit 2", "", me + "cannot run /nonexistent/probe: No such file or directory\n"},
	Usage{{"no-such-command-here"}, "exit 2", "", me + "cannot run no-such-command-here: No such file or directory\n"},
	Usage{{"no\nsuch"}, "exit 2", "", me + "cannot run no\\\\nsuch: No such file or directory\n"},
	Usage{{NOT_A_PROGRAM}, "exit 2", "", me + "cannot run " NOT_A_PROGRAM ": Exec format error\n"}));

// A directory or a file that cannot be run early on PATH does not hide the
// command later on PATH; found nowhere else, it cannot be run.
TEST(CheckUsage, LooksUpThePathAsExecDoes)
{
	TempDir dir;
	fs::create_directory(dir.path + "/sh");
	dir.file("only-here", "");
	Words path = {"PATH=" + dir.path + ":/usr/bin:/bin"};
	Outcome r = tool(command(fact("check")) + Words{"-o", "stdout-pipe", "sh", "-c", ":"}, path);
	EXPECT_NE(r.out.text.find("\n# command: sh -c :\n"), std::string::npos) << r.out.text << r.err.text;
	EXPECT_EQ(describe(r), "exit 1");	// it ran, and printed nothing
	Outcome denied = tool(command(fact("check")) + Words{"only-here"}, path);
	EXPECT_EQ(denied.err.text, me + "cannot run only-here: Permission denied\n");
}

} // namespace
