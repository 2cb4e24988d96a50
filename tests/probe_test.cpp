// SPDX-License-Identifier: MIT
// Every suite of the test runner (main.cpp), on the helpers of helpers.h.

#include "helpers.h"

#include "calls.h"
#include "conditions.h"
#include "known.h"
#include "usage_error.h"
#include "witness_line.h"

#include <gtest/gtest.h>
#include <elf.h>
#include <seccomp.h>

#include <fnmatch.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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
		if (!calls_skipped().count(calls_prefix + std::string(call.name)))
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

// Each fault of a probe fails the rows that expose it, and those alone.
struct Fake {
	const char *name;
	Words command;	// the probe's path follows when it ends in "--"
	std::function<bool(const Condition &)> exposes;
};

void PrintTo(const Fake &f, std::ostream *os) { *os << f.name; }

bool pending(const Condition &c) { return !c.pending.empty(); }
bool blocks(const Condition &c) { return c.block_all || !c.block.empty(); }

Outcome check_on(Words fake)
{
	if (fake.back() == "--") {
		fake.pop_back();
		fake.push_back(fact("probe"));
	}
	return tool(command(fact("check")) + fake);
}

class FakeProbes : public testing::TestWithParam<Fake> {};

TEST_P(FakeProbes, FailTheRowsThatExposeThem)
{
	Outcome r = check_on(GetParam().command);
	EXPECT_EQ(failed_rows(r.out.text), rows_where(GetParam().exposes)) << r.out.text;
	EXPECT_EQ(describe(r), "exit 1");
}

INSTANTIATE_TEST_SUITE_P(Table, FakeProbes, testing::Values(
	// The first report dies in the buffer with the released signal.
	Fake{"no_flush", {FAKES "/faulty-no-flush"}, [](auto &c) { return c.report == Report::first; }},
	Fake{"exit_0_on_write_error", {FAKES "/faulty-exit-0-on-write-error"},
	     [](auto &c) { return *c.diagnostic != '\0'; }},
	// Adding to the mask keeps what was inherited and what came before,
	// and never releases what is pending.
	Fake{"sig_block", {FAKES "/faulty-sig-block"},
	     [](auto &c) { return !expected_out(c).empty() || pending(c) || blocks(c); }},
	// Never touching the mask, it never releases a pending signal; its
	// shell writes errors its own way.
	Fake{"prints_eight_lines", {EIGHT_LINES},
	     [](auto &c) { return (pending(c) && c.status.signalled) || *c.diagnostic; }}),
	[](const auto &info) { return std::string(info.param.name); });

class FakePlatforms : public testing::TestWithParam<Fake> {};

// Under a platform with one fault, the witness sees the rows that expose
// it fail to arrive, even where the probe's output would match.
TEST_P(FakePlatforms, FailTheRowsThatExposeThem)
{
	Outcome r = check_on(GetParam().command);
	Rows exposed = rows_where(GetParam().exposes);
	EXPECT_EQ(failed_rows(r.out.text), exposed) << r.out.text;
	EXPECT_EQ(r.out.text.find("not verified"), std::string::npos);
	EXPECT_EQ(describe(r), exposed.empty() ? "exit 0" : "exit 1");
}

bool ignores(const Condition &c)
{
	return std::any_of(c.ignore.begin(), c.ignore.end(), [&](int sig) {
		return std::find(c.restore.begin(), c.restore.end(), sig) == c.restore.end();
	});
}

INSTANTIATE_TEST_SUITE_P(Table, FakePlatforms, testing::Values(
	Fake{"honest", {"env", "--"}, [](auto &) { return false; }},
	Fake{"drops_pending", {fake_platform, "drop-pending", "--"}, pending},
	Fake{"empties_the_mask", {fake_platform, "empty-mask", "--"}, blocks},
	Fake{"resets_ignored", {fake_platform, "reset-ignored", "--"}, ignores},
	Fake{"takes_synchronous_pending", {fake_platform, "take-pending", "--"},
	     [](auto &c) {
		     return std::any_of(c.pending.begin(), c.pending.end(), [](int sig) {
			     return sig == SIGILL || sig == SIGTRAP || sig == SIGBUS || sig == SIGFPE ||
				    sig == SIGSEGV || sig == SIGSYS;
		     });
	     }},
	// As sudo does: it dies of what is pending, or drops it.
	Fake{"dies_of_pending", {fake_platform, "die-of-pending", "--"},
	     [](auto &c) { return pending(c) || blocks(c); }},
	Fake{"reopens_closed", {fake_platform, "reopen-closed", "--"},
	     [](auto &c) { return c.close_stdin || c.out == Out::closed; }},
	// It forks, which loses what is pending, too; and where SIGCHLD is
	// ignored, its child's status.
	Fake{"status_for_signal", {fake_platform, "status-for-signal", "--"},
	     [](auto &c) {
		     return c.status.signalled || pending(c) ||
			    std::find(c.ignore.begin(), c.ignore.end(), SIGCHLD) != c.ignore.end();
	     }},
	// What a platform does to every program fails the plain start alone,
	// and the rows where the probe's own behaviour changes with it.
	Fake{"adds_a_variable", {fake_platform, "add-variable", "--"},
	     [](auto &c) { return c.baseline || c.args == Args::no_env; }},
	Fake{"blocks_a_signal", {fake_platform, "block-sigusr1", "--"}, [](auto &c) { return c.baseline; }},
	Fake{"ignores_sigpipe", {fake_platform, "ignore-sigpipe", "--"},
	     [](auto &c) {
		     return c.baseline || (c.out == Out::reader_gone &&
					   std::find(c.ignore.begin(), c.ignore.end(), SIGPIPE) == c.ignore.end());
	     }},
	// What a platform writes on standard error for every program, numbers
	// aside, fails the plain start alone; a line it writes only when the
	// program dies of a signal fails those rows.
	Fake{"a_banner", {fake_platform, "banner", "--"}, [](auto &c) { return c.baseline; }},
	Fake{"a_banner_with_its_pid", {fake_platform, "banner-with-pid", "--"}, [](auto &c) { return c.baseline; }},
	Fake{"announces_a_death", {fake_platform, "announce-death", "--"},
	     [](auto &c) { return c.status.signalled; }},
	// The same banner under a platform that fails some rows: it changes
	// none of their verdicts.
	Fake{"a_banner_and_drops_pending", {fake_platform, "banner", fake_platform, "drop-pending", "--"},
	     [](auto &c) { return c.baseline || pending(c); }},
	// xargs closes its standard streams before it exits: no terminal row
	// may hang up on it.
	Fake{"closes_its_streams_early", {fake_platform, "close-early", "--"}, [](auto &) { return false; }}),
	[](const auto &info) { return std::string(info.param.name); });

// The witness tells a disposition by its handler alone, whatever the
// flags: SA_SIGINFO makes neither SIG_IGN nor SIG_DFL a handler.
TEST(Witness, TellsDispositionsByTheirHandler)
{
	enum Kind { ignored, by_default, caught };
	struct {
		int sig;
		Kind kind;
	} const reported[] = {
		{SIGUSR1, ignored}, {SIGUSR2, ignored},	// SIG_IGN; with SA_SIGINFO
		{SIGALRM, by_default},			// SIG_DFL with SA_SIGINFO
		{SIGTERM, caught}, {SIGWINCH, caught},	// a handler; with SA_SIGINFO
	};
	Outcome r = tool({fact("witness")}, {"LD_PRELOAD=" FAKES "/fake-libc-dispositions.so"});
	StartState seen;
	ASSERT_TRUE(parse_witness(r.err.text, &seen)) << r.err.text;
	for (const auto &d : reported) {
		SCOPED_TRACE(signal_name(d.sig));
		EXPECT_EQ(seen.ignored.bits >> (d.sig - 1) & 1, d.kind == ignored);
		EXPECT_EQ(seen.caught.bits >> (d.sig - 1) & 1, d.kind == caught);
	}
}

// A platform with a fault in the mask calls themselves, faked in the
// program's own libc, fails the calls rows its fault touches, and those
// alone.
struct CallsFault {
	const char *name;
	std::function<bool(const CallCase &)> touches;
};

void PrintTo(const CallsFault &f, std::ostream *os) { *os << f.name; }

class CallsFakes : public testing::TestWithParam<CallsFault> {};

TEST_P(CallsFakes, FailTheCasesTheyTouch)
{
	std::string library = std::string(FAKES "/fake-libc-") +
			      std::regex_replace(GetParam().name, std::regex("_"), "-") + ".so";
	Outcome r = tool({fact("check"), "-o", "calls/*", "env", "LD_PRELOAD=" + library, fact("probe")});
	EXPECT_EQ(failed_rows(r.out.text), calls_where(GetParam().touches)) << r.out.text;
}

// Whether a case, one this build runs, has keys with a mask read back.
bool reads_a_mask(const CallCase &call)
{
	return calls_skip(call, elf_facts(fact("probe"))).empty() &&
	       std::regex_search(call.expected, std::regex("(^| )(mask|old|buf|back|libc|thread|in_handler|after|"
							   "child_mask|blocked)="));
}

bool named(const CallCase &call, std::initializer_list<const char *> names)
{
	return std::any_of(names.begin(), names.end(), [&](const char *n) { return n == std::string(call.name); });
}

INSTANTIATE_TEST_SUITE_P(Table, CallsFakes, testing::Values(
	// Passing every call through changes nothing.
	CallsFault{"none", [](auto &) { return false; }},
	// The old set written 16 bytes wide shows wherever bytes are counted.
	CallsFault{"old_16", [](auto &c) { return std::string(c.expected).find("bytes=8") != std::string::npos; }},
	CallsFault{"setmask_null", [](auto &c) { return named(c, {"null-set-setmask"}); }},
	CallsFault{"sig64", [](auto &c) { return named(c, {"layout", "round-trip", "pending-delivery"}); }},
	CallsFault{"sigkill_readback", reads_a_mask},
	CallsFault{"fork_empty_mask", [](auto &c) { return named(c, {"fork-mask"}); }},
	CallsFault{"exec_drops_pending", [](auto &c) { return named(c, {"exec"}); }}),
	[](const auto &info) { return std::string(info.param.name); });

// --explain's script for every calls row, run by sh, writes the line Linux
// gives, as the script says.
class ExplainCalls : public testing::TestWithParam<CallCase> {};

TEST_P(ExplainCalls, RunsTheOneCase)
{
	const CallCase &call = GetParam();
	Outcome script = tool({fact("check"), "--explain", calls_prefix + std::string(call.name), fact("probe")});
	std::smatch said;
	ASSERT_TRUE(std::regex_search(script.out.text, said, std::regex("\n# Linux: ([^\n]*)\n$"))) << script.out.text;
	if (!calls_skip(call, elf_facts(fact("probe"))).empty()) {
		EXPECT_EQ(said[1].str().rfind("skipped: ", 0), 0u) << script.out.text;
		return;
	}
	Outcome run = tool({"sh", "-c", script.out.text});
	EXPECT_EQ(run.out.text, said[1].str() + "\n") << script.out.text;
}

INSTANTIATE_TEST_SUITE_P(Table, ExplainCalls, testing::ValuesIn(call_cases),
			 [](const auto &info) { return std::regex_replace(info.param.name, std::regex("\\W"), "_"); });

// Sets signal sig to SIG_IGN through the kernel: libc refuses the signals
// it keeps for itself.  The kernel's action starts with its handler.
Refusal ignore_raw(int sig)
{
	void (*action[8])(int) = {SIG_IGN};
	return unless(syscall(SYS_rt_sigaction, sig, action, nullptr, 8) == 0);
}

// Those signals too: a parent that used posix_spawn, such as make, leaves
// them ignored, which the witness sees, and the check does not hand on.
TEST(Witness, SeesTheSignalsLibcKeeps)
{
	Launch how;
	how.setup = [] { return ignore_raw(32); };
	StartState seen;
	ASSERT_TRUE(parse_witness(spawn({fact("witness")}, how).err.text, &seen));
	EXPECT_EQ(seen.ignored.text(), "32");
	Outcome r = spawn({fact("check"), "-o", "clean-start", "-o", "calls/pending-delivery", fact("probe")}, how);
	EXPECT_TRUE(std::regex_search(r.out.text, std::regex("\nok 1 - clean-start\nok 2 - calls/pending-delivery\n")))
		<< r.out.text;
}

// Makes a system call fail with EPERM when its arguments match; the filter
// holds across exec.  Both x86 ABIs are covered, so that an i386 probe on
// an amd64 kernel meets it too.
bool refuse(int syscall, std::vector<scmp_arg_cmp> args)
{
	scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
	int rc = ctx ? 0 : -ENOMEM;
	for (uint32_t arch : std::initializer_list<uint32_t>{SCMP_ARCH_X86_64, SCMP_ARCH_X86})
		if (rc == 0 && seccomp_arch_exist(ctx, arch) == -EEXIST)
			rc = seccomp_arch_add(ctx, arch);
	if (rc == 0)
		rc = seccomp_rule_add_array(ctx, SCMP_ACT_ERRNO(EPERM), syscall, args.size(),
					    args.data());
	if (rc == 0)
		rc = seccomp_load(ctx);
	seccomp_release(ctx);
	errno = -rc;
	return rc == 0;
}

struct Refused {
	const char *name;
	std::function<Refusal()> setup;
	std::string out, err, status;
};

void PrintTo(const Refused &r, std::ostream *os) { *os << r.name; }

class MaskCalls : public testing::TestWithParam<Refused> {};

TEST_P(MaskCalls, RefusedAreReportedNeverGuessed)
{
	if (emulated())
		GTEST_SKIP() << "the probe runs under " << fact("emulator")
			     << ": a seccomp filter would act on the emulator's own calls";
	Launch how;
	how.setup = GetParam().setup;
	Outcome r = spawn(command(fact("probe")), how);
	ASSERT_EQ(r.stage, Outcome::ran) << r.why;
	EXPECT_EQ(r.out.text, GetParam().out);
	EXPECT_EQ(r.err.text, GetParam().err);
	EXPECT_EQ(describe(r), GetParam().status);
}

// SIGQUIT is blocked at start, so a report of the inherited mask shows it.
const std::string inherited_mask_twice =
	" signal 1 is not blocked \n"
	" signal 2 is not blocked \n"
	" signal 3 is blocked \n"
	" signal 4 is not blocked \n"
	" signal 1 is not blocked \n"
	" signal 2 is not blocked \n"
	" signal 3 is blocked \n"
	" signal 4 is not blocked \n";

INSTANTIATE_TEST_SUITE_P(Table, MaskCalls, testing::Values(
	Refused{"query_refused",
		[] { return unless(refuse(SCMP_SYS(rt_sigprocmask), {SCMP_A1(SCMP_CMP_EQ, 0)})); }, "",
		"sigmask-probe: cannot read the signal mask: Operation not permitted\n"
		"sigmask-probe: cannot read the signal mask: Operation not permitted\n",
		"exit 1"},
	Refused{"installation_refused",
		[] {
			sigset_t set;
			sigemptyset(&set);
			sigaddset(&set, SIGQUIT);
			return unless(sigprocmask(SIG_SETMASK, &set, nullptr) == 0 &&
				      refuse(SCMP_SYS(rt_sigprocmask), {SCMP_A0(SCMP_CMP_EQ, SIG_SETMASK)}));
		},
		inherited_mask_twice,
		"sigmask-probe: cannot set the signal mask: Operation not permitted\n"
		"sigmask-probe: cannot set the signal mask: Operation not permitted\n",
		"exit 1"},
	// The filter alone changes nothing: one on a call the probe never makes.
	Refused{"unrelated_call_refused", [] { return unless(refuse(SCMP_SYS(mkdir), {})); },
		both_reports, "", "exit 0"}),
	[](const auto &info) { return std::string(info.param.name); });

// Hostile commands and surroundings: the check's report stays true and
// nothing it starts outlives it.
bool alive(const std::string &pid_file)
{
	std::string pid = slurp(pid_file);
	return !pid.empty() && kill(std::stoi(pid), 0) == 0;
}

TEST(Hostile, WhatACommandLeavesBehindIsEndedWithTheRow)
{
	TempDir dir;
	std::string stay = dir.path + "/stay", gone = dir.path + "/gone";
	Launch how;
	how.timeout = 60;
	// A child in the background holding standard output, and one that
	// escaped into a session of its own.
	Outcome r = spawn({fact("check"), "-o", "stdout-pipe", "sh", "-c",
			   "\"$0\"; sleep 30 & echo $! >" + stay + "; setsid sleep 31 & echo $! >" + gone,
			   fact("probe")},
			  how);
	EXPECT_TRUE(std::regex_search(r.out.text, std::regex("\nok 1 - stdout-pipe\n"))) << r.out.text;
	EXPECT_FALSE(r.timed_out);
	EXPECT_FALSE(alive(stay));
	EXPECT_FALSE(alive(gone));
}

TEST(Hostile, AFloodIsCutAndBounded)
{
	Launch how;
	how.timeout = 60;
	Outcome r = spawn({fact("check"), "-t", "2", "-o", "stdout-pipe", "-o", "stdout-file", "yes"}, how);
	EXPECT_LT(r.out.size, 16u * 1024) << "the report stays small";
	EXPECT_TRUE(std::regex_search(r.out.text, std::regex(
		"\n  cut:\n    stdout: \"[0-9]+ bytes, 65536 kept, 512 shown\"\n"))) << r.out.text;
	// The file row's file grows no further than what is kept.
	EXPECT_TRUE(std::regex_search(r.out.text, std::regex(
		"not ok 2 - stdout-file\n[^]*status: \"killed by SIGXFSZ\""))) << r.out.text;
	struct rusage use;
	getrusage(RUSAGE_CHILDREN, &use);
	EXPECT_LT(use.ru_maxrss, 64 * 1024) << "KiB at the most";
}

// A row whose output is not a terminal has no controlling terminal: what
// the command writes to /dev/tty goes nowhere near the user's.
TEST(Hostile, NoRowReachesTheUsersTerminal)
{
	Launch how;
	how.out = Out::terminal;	// the user's terminal
	Outcome r = spawn({fact("check"), "-o", "clean-start", "-o", "stdout-pipe", "sh", "-c",
			   "echo \"$1$1\" >/dev/tty; exec \"$0\"", fact("probe"), "leaked-"},
			  how);
	EXPECT_NE(r.out.text.find("/dev/tty: No such device or address"), std::string::npos) << r.out.text;
	EXPECT_EQ(r.out.text.find("leaked-leaked-"), std::string::npos) << r.out.text;
}

// What a command writes reaches the report escaped: valid UTF-8 as it is,
// control characters as YAML escapes, other bytes as U+FFFD, whether it
// exits or is killed.  It writes in those rows alone, not on the plain
// start, with standard output a pipe.
TEST(Hostile, TextFromTheCommandIsEscaped)
{
	const std::string garbage = "printf 'a\\033[31mb\\r\\000c\\377d \\303\\274\\n' >&2";
	Outcome r = tool({fact("check"), "-o", "stdout-file", "-o", "stdout-null", "sh", "-c",
			  "[ -p /dev/stdout ] && exit; " + garbage + "; [ -f /dev/stdout ] || kill -9 $$"});
	const std::string line = "\n    stderr: \"a\\x1b[31mb\\r\\x00c\xef\xbf\xbd" "d \xc3\xbc\\n\"\n";
	size_t first = r.out.text.find(line);
	EXPECT_NE(first, std::string::npos) << r.out.text;
	EXPECT_NE(r.out.text.find(line, first + 1), std::string::npos) << r.out.text;
	EXPECT_NE(r.out.text.find("\n    status: \"killed by SIGKILL\"\n"), std::string::npos) << r.out.text;
}

// A calls program that dies, cannot start or is not there fails, or skips,
// the rows it did not answer, and says why.
TEST(Hostile, ACallsProgramThatFailsFailsItsRows)
{
	TempDir dir;
	for (const char *program : {"sigmask-probe", "sigmask-probe-witness"})
		fs::copy(fs::path(fact("probe")).parent_path() / program, dir.path + "/" + program);
	std::string calls = dir.path + "/sigmask-probe-calls";
	Words check = {fact("check"), "-o", "calls/null-set-*", dir.path + "/sigmask-probe"};

	Outcome none = tool(check);
	EXPECT_TRUE(std::regex_search(none.out.text, std::regex(
		"\nok 1 - calls/null-set-block # SKIP no " + dir.path + "/sigmask-probe-calls: No such file or directory\n")))
		<< none.out.text;

	dir.file("sigmask-probe-calls", "#!/bin/sh\necho 'sigmask-probe-calls: null-set-block r=0 mask=1,10 old=1,10'\n"
					"kill -SEGV $$\n");
	fs::permissions(calls, fs::perms::owner_all);
	Outcome dies = tool(check);
	EXPECT_TRUE(std::regex_search(dies.out.text, std::regex(
		"\nok 1 - calls/null-set-block\nnot ok 2 - calls/null-set-unblock\n[^]*"
		"    calls: \"none; the calls program: killed by SIGSEGV\"\n"))) << dies.out.text;

	fs::copy(NOT_A_PROGRAM, calls, fs::copy_options::overwrite_existing);
	Outcome foreign = tool(check);
	EXPECT_NE(foreign.out.text.find("    calls: \"cannot run: Exec format error\"\n"), std::string::npos)
		<< foreign.out.text;
	EXPECT_EQ(failed_rows(foreign.out.text), calls_where([](auto &c) {
			  return std::string(c.name).rfind("null-set-", 0) == 0; })) << foreign.out.text;

	// So does a missing witness: the rows run, not verified.
	fs::remove(dir.path + "/sigmask-probe-witness");
	Outcome unverified = tool({fact("check"), "-o", "stdout-pipe", dir.path + "/sigmask-probe"});
	EXPECT_TRUE(std::regex_search(unverified.out.text, std::regex(
		"\nok 1 - stdout-pipe\n# start state not verified\n# 1 passed, 0 failed, 0 skipped; start state not "
		"verified: no " + dir.path + "/sigmask-probe-witness: No such file or directory\n$"))) << unverified.out.text;
}

// Started with SIGCHLD ignored, it still reads every status.
TEST(Hostile, StatusesAreReadWithSigchldIgnored)
{
	Launch how;
	how.setup = [] { return unless(signal(SIGCHLD, SIG_IGN) != SIG_ERR); };
	Outcome r = spawn({fact("check"), "-o", "stdout-null", "sh", "-c", "exit 3"}, how);
	EXPECT_TRUE(std::regex_search(r.out.text, std::regex("\n    status: \"exit 3\"\n"))) << r.out.text;
	EXPECT_EQ(describe(r), "exit 1");
}

// Its own failures are errors, never a pass or a skip.
TEST(Hostile, OwnFailuresAreErrors)
{
	struct {
		const char *name;
		std::function<Refusal()> setup;
		std::string err;
	} const cases[] = {
		{"descriptors", [] {
			 struct rlimit few = {8, 8};
			 return unless(setrlimit(RLIMIT_NOFILE, &few) == 0);
		 }, me + "cannot make a pipe: Too many open files\n"},
		// One process for a user that already has one: no fork.
		{"processes", [] {
			 struct passwd *nobody = getpwnam("nobody");
			 struct rlimit one = {1, 1};
			 return unless(nobody && setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0 &&
				       setrlimit(RLIMIT_NPROC, &one) == 0);
		 }, me + "cannot fork: Resource temporarily unavailable\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Launch how;
		how.setup = c.setup;
		Outcome r = spawn({fact("check"), fact("probe")}, how);
		if (r.stage == Outcome::not_set_up)
			GTEST_SKIP() << c.name << ": " << r.why << " (an unprivileged user is needed)";
		EXPECT_EQ(r.err.text, c.err);
		EXPECT_EQ(describe(r), "exit 2");
		EXPECT_EQ(r.out.text.find("ok "), std::string::npos) << r.out.text;
	}
}

// What this system lacks is a skip with its reason, and a run that only
// skipped judged nothing: it does not pass.
TEST(Hostile, OnlySkipsAreNoPass)
{
	Outcome r = tool({fact("check"), "-o", "stdout-file", fact("probe")}, {"TMPDIR=/nonexistent"});
	EXPECT_TRUE(std::regex_search(r.out.text, std::regex(
		"\nok 1 - stdout-file # SKIP no temporary file: No such file or directory\n"
		"# 0 passed, 0 failed, 1 skipped\n$"))) << r.out.text;
	EXPECT_EQ(describe(r), "exit 1");
}

// Interrupted, it ends the row's processes, says so and dies of the signal.
TEST(Hostile, AnInterruptionEndsTheRowsAndBailsOut)
{
	TempDir dir;
	std::string pid = dir.path + "/pid";
	Outcome r = tool({"sh", "-c",
			  "\"$0\" -o stdout-pipe sh -c 'echo $$ >\"$0\"; exec sleep 1000' \"$1\" & "
			  "while [ ! -s \"$1\" ]; do sleep 0.01; done; kill -INT $!; wait $!; echo \"status $?\"",
			  fact("check"), pid});
	EXPECT_TRUE(std::regex_search(r.out.text, std::regex("\nBail out! interrupted by SIGINT\nstatus 130\n$")))
		<< r.out.text;
	EXPECT_FALSE(alive(pid));
}

// As the first program of a system (process 1 of a PID namespace here,
// where powering off ends the namespace's processes with SIGINT), the
// check writes its report, then a last line with its status, and powers
// off instead of returning.  It takes no notice of the NAME=value words a
// kernel passes on, and ends what the rows leave behind.  Why it failed
// comes just before the last line, as a comment when the report is not
// where its standard error goes, and once when it is.
struct Boot {
	const char *name;
	Words args;
	int status;
	std::string said = "";	// before the last line
	bool one_file = false;	// standard error on the report
};

void PrintTo(const Boot &b, std::ostream *os) { *os << b.name; }

class FirstProgram : public testing::TestWithParam<Boot> {};

TEST_P(FirstProgram, ReportsItsStatusAndPowersOff)
{
	Launch how;
	if (GetParam().one_file)
		how.setup = [] { return dup2(STDOUT_FILENO, STDERR_FILENO) < 0 ? Refusal{"dup2"} : Refusal{}; };
	Outcome r = tool(Words{"unshare", "-p", "-f", "-m", "--propagation", "private", fact("check")} +
			 GetParam().args, {}, how);
	if (r.out.text.find("unshare: ") == 0 || r.err.text.find("unshare: ") == 0)
		GTEST_SKIP() << r.out.text << r.err.text;
	std::string end = GetParam().said + "# sigmask-probe-check: exit status " +
			  std::to_string(GetParam().status) + "\n";
	ASSERT_GE(r.out.text.size(), end.size()) << r.err.text;
	size_t at = r.out.text.size() - end.size();
	EXPECT_EQ(r.out.text.substr(at), end) << r.out.text;
	EXPECT_EQ(r.out.text.substr(0, at).find("sigmask-probe-check: "), std::string::npos) << r.out.text;
	EXPECT_EQ(describe(r), "killed by SIGINT") << r.out.text << r.err.text;
	EXPECT_EQ(r.out.text.find("\nnot ok ") != std::string::npos, GetParam().status == 1) << r.out.text;
}

INSTANTIATE_TEST_SUITE_P(Table, FirstProgram, testing::Values(
	Boot{"passing", {"-o", "stdout-*"}, 0},
	// user-mode-linux puts its own words after the check's.
	Boot{"with_kernel_words", {"-o", "stdout-pipe", "root=98:0", "console=tty0"}, 0},
	Boot{"failing", {"-o", "sighup-pending-pipe", FAKES "/faulty-no-flush"}, 1},
	Boot{"bad_option", {"--bogus"}, 2, "# sigmask-probe-check: bad option: --bogus (see --help)\n"},
	Boot{"no_such_row", {"-o", "no-such-row"}, 2, "# sigmask-probe-check: no condition matches no-such-row\n"},
	Boot{"bad_option_on_one_file", {"--bogus"}, 2, "sigmask-probe-check: bad option: --bogus (see --help)\n", true},
	// What a row leaves running, in a session of its own, does not keep
	// the machine up.
	Boot{"leaving_a_process", {"-o", "stdout-pipe", "sh", "-c", "setsid sleep 60 & exec \"$0\"", FAKES "/faulty-no-flush"}, 0}),
	[](const auto &info) { return std::string(info.param.name); });

// The tree's boot image on a kernel, as make check-kernel boots it: on
// Debian's kernel for the target, or on user-mode-linux ("uml"), the one
// SIGMASK_PROBE_UML names if it is set.
Outcome boot(const std::string &machine, const std::string &args = "", Words env = {})
{
	Launch how;
	how.timeout = 900;
	std::string build = fs::path(fact("build_dir")).parent_path();
	const char *uml = getenv("SIGMASK_PROBE_UML");
	std::string kernel = machine == "uml" && uml ? uml : "";
	return tool({"sh", SOURCE_DIR "/tools/check-kernel", build, machine, kernel, args}, env, how);
}

// What check-kernel says when user-mode-linux cannot run programs here.
const std::string no_uml = "tools/check-kernel: uml: user-mode-linux cannot run programs on this machine";

// Where the first program's variants boot: on user-mode-linux where it runs
// programs, else (on a CPU with AMX, for one) on qemu-system's amd64 kernel.
// Decided once, by a short boot, and said in the output of the test.
const std::string &first_program_machine()
{
	static const std::string machine = [] {
		Outcome r = boot("uml", "-o clean-start");
		if (describe(r) != "exit 2" || r.err.text.rfind(no_uml, 0) != 0)
			return "uml";
		std::cerr << testing::UnitTest::GetInstance()->current_test_suite()->name()
			  << ": on amd64 under qemu-system: user-mode-linux cannot run programs here\n" << r.err.text;
		return "amd64";
	}();
	return machine;
}

std::string image_of(const std::string &tree)
{
	return fs::path(fact("build_dir")).parent_path() / tree / ("sigmask-probe-" + tree + ".cpio.gz");
}

// Every row, passed, but the calls rows the target cannot have: what the
// check reports natively, after its fingerprint.
std::string every_row_passed(int status = 0)
{
	Words rows = every_row();
	ElfFacts target = elf_facts(fact("probe"));
	std::string s = "1.." + std::to_string(rows.size()) + "\n";
	size_t skipped = 0;
	for (size_t i = 0; i < rows.size(); i++) {
		std::string skip;
		if (i >= conditions.size())
			skip = calls_skip(call_cases[i - conditions.size()], target);
		s += "ok " + std::to_string(i + 1) + " - " + rows[i] + (skip.empty() ? "" : " # SKIP " + skip) + "\n";
		skipped += !skip.empty();
	}
	return s + "# " + std::to_string(rows.size() - skipped) + " passed, 0 failed, " +
	       std::to_string(skipped) + " skipped\n"
	       "# sigmask-probe-check: exit status " + std::to_string(status) + "\n";
}

// On Debian's kernel for the target (for amd64, on user-mode-linux too,
// where it runs programs), the check as the first program passes every
// row, the report is the native one but for its fingerprint, and its
// status reaches the host.
// The image has nothing in /dev: the check mounts devtmpfs itself.
TEST(Kernel, EveryRowPassesAsTheFirstProgram)
{
	Words names = names_in(image_of(fact("target")));
	EXPECT_NE(std::find(names.begin(), names.end(), "dev"), names.end());
	EXPECT_FALSE(std::any_of(names.begin(), names.end(), [](auto &n) { return n.rfind("dev/", 0) == 0; }))
		<< "no device nodes";
	Words machines = {fact("target")};
	if (fact("target") == "amd64" && first_program_machine() == "uml")
		machines.push_back("uml");
	for (const std::string &machine : machines) {
		SCOPED_TRACE(machine);
		Outcome r = boot(machine);
		EXPECT_EQ(describe(r), "exit 0") << r.err.text;
		size_t plan = r.out.text.find("\n1..");
		ASSERT_NE(plan, std::string::npos) << r.out.text;
		EXPECT_EQ(r.out.text.substr(plan + 1), every_row_passed()) << r.out.text;
		EXPECT_TRUE(std::regex_search(r.out.text.substr(0, plan), std::regex(
			"^TAP version 13\n(# [^\n]*\n)*# probe: /sigmask-probe: [^\n]+\n(# [^\n]*\n)*# kernel: Linux ")))
			<< r.out.text;
	}
}

// The first-program mode's variants, on user-mode-linux where a real kernel
// is not the point (where it cannot run programs, on qemu-system's amd64
// kernel): a failing row's status and a bad option's reach the host, and
// why the check failed; the words a kernel passes on are ignored; and on
// Debian's amd64 kernel, the static image boots without a loader in it.
TEST(KernelBoots, StatusesReachTheHost)
{
	TempDir bin;
	std::string tree = fs::path(fact("probe")).parent_path();
	for (const char *program : {"sigmask-probe-check", "sigmask-probe-witness", "sigmask-probe-calls"})
		fs::copy(tree + "/" + program, bin.path + "/" + program);
	fs::copy(FAKES "/faulty-no-flush", bin.path + "/sigmask-probe");
	std::string faulty = bin.path + "/faulty.cpio.gz";
	Outcome pack = tool({fs::path(fact("host_check")).parent_path() / "sigmask-probe-image", "--bin", bin.path,
			     "-o", faulty});
	ASSERT_EQ(describe(pack), "exit 0") << pack.err.text;

	Outcome failing = boot(first_program_machine(), "-o sighup-pending-pipe", {"IMAGE=" + faulty});
	EXPECT_EQ(describe(failing), "exit 1") << failing.err.text;
	EXPECT_NE(failing.out.text.find("\nnot ok 1 - sighup-pending-pipe\n"), std::string::npos) << failing.out.text;
	Outcome bad = boot(first_program_machine(), "--bogus");
	EXPECT_EQ(describe(bad), "exit 2") << bad.err.text;
	EXPECT_EQ(bad.out.text, "# sigmask-probe-check: bad option: --bogus (see --help)\n"
				"# sigmask-probe-check: exit status 2\n");
}

// check-kernel's standard output is the report, byte for byte: nothing of
// the kernel's or the build's; its standard error says why the check failed.
TEST(KernelBoots, StandardOutputIsTheReportAlone)
{
	Outcome clean = boot(first_program_machine(), "-o clean-start");
	EXPECT_EQ(describe(clean), "exit 0") << clean.err.text;
	EXPECT_TRUE(std::regex_match(clean.out.text, std::regex(
		"TAP version 13\n(# [^\n]*\n)+1\\.\\.1\nok 1 - clean-start\n# 1 passed, 0 failed, 0 skipped\n"
		"# sigmask-probe-check: exit status 0\n")))
		<< clean.out.text;
	const std::string booted = "tools/check-kernel: [a-z0-9]+: booted and reported in [0-9.]+ s\n";
	EXPECT_TRUE(std::regex_match(clean.err.text, std::regex(booted))) << clean.err.text;

	Outcome bad = boot(first_program_machine(), "-o no-such-row");
	EXPECT_EQ(describe(bad), "exit 2") << bad.err.text;
	EXPECT_EQ(bad.out.text, "# sigmask-probe-check: no condition matches no-such-row\n"
				"# sigmask-probe-check: exit status 2\n");
	EXPECT_TRUE(std::regex_match(bad.err.text, std::regex("sigmask-probe-check: no condition matches no-such-row\n" +
							       booted)))
		<< bad.err.text;
}

TEST(KernelBoots, KernelWordsAreIgnored)
{
	// Before "--" they reach init's environment, after it its arguments.
	Outcome r = boot(first_program_machine(), "-o clean-start TEST_WORD=1", {"APPEND=TEST_VARIABLE=1"});
	EXPECT_EQ(describe(r), "exit 0") << r.err.text << r.out.text;
	EXPECT_NE(r.out.text.find("\nok 1 - clean-start\n"), std::string::npos) << r.out.text;
}

TEST(KernelBoots, TheStaticImageNeedsNoLoader)
{
	std::string image = image_of(fact("target") + "-static");
	EXPECT_EQ(names_in(image), (Words{"dev", "tmp", "init", "sigmask-probe", "sigmask-probe-witness",
					  "sigmask-probe-calls"}));
	Outcome r = boot(fact("target"), "", {"IMAGE=" + image});
	EXPECT_EQ(describe(r), "exit 0") << r.err.text;
	EXPECT_NE(r.out.text.find("\n# probe: /sigmask-probe: ELF64 little-endian AMD X86-64, interpreter none (static)\n"),
		  std::string::npos) << r.out.text;
	EXPECT_NE(r.out.text.find("\n" + every_row_passed()), std::string::npos) << r.out.text;
}

// Under a user-mode-linux that cannot run programs, as on a CPU with AMX,
// check-kernel says so in one line, and only that, with status 2; one whose
// kernel panics otherwise shows its console, with status 3.  Neither reads
// the boot image: a file stands in for it.
TEST(KernelRunner, SaysWhenUserModeLinuxCannotRunPrograms)
{
	TempDir dir;
	std::string panicking = dir.file("panicking-uml", "#!/bin/sh\n"
					  "echo 'Kernel panic - not syncing: VFS: Unable to mount root fs'\n"
					  "kill -ABRT $$\n");
	fs::permissions(panicking, fs::perms::owner_all);
	auto under = [&](const std::string &uml) {
		std::string build = fs::path(fact("build_dir")).parent_path();
		return tool({"sh", SOURCE_DIR "/tools/check-kernel", build, "uml", uml, "-o clean-start"},
			    {"IMAGE=" + dir.file("image", "")});
	};

	Outcome amx = under(FAKE_UML_AMX);
	EXPECT_EQ(describe(amx), "exit 2");
	EXPECT_EQ(amx.err.text, no_uml + " (its console says \"ptrace set fp regs failed, errno = 14\", as on a CPU "
					 "with AMX); boot a target's kernel under qemu-system instead\n");
	EXPECT_EQ(amx.out.text, "");

	Outcome panic = under(panicking);
	EXPECT_EQ(describe(panic), "exit 3");
	EXPECT_EQ(panic.err.text.rfind("tools/check-kernel: uml: the kernel panicked\n"
				       "tools/check-kernel: its console's last lines:\n"
				       "Kernel panic - not syncing: VFS: Unable to mount root fs\n", 0), 0u)
		<< panic.err.text;
	EXPECT_EQ(panic.out.text, "");
}

// The report, whatever the number of jobs, and with known deviations.
TEST(Reports, AreTheSameWhateverTheJobs)
{
	Outcome one = tool({fact("check"), "-j", "1", fact("probe")});
	Outcome four = tool({fact("check"), "-j", "4", fact("probe")});
	EXPECT_EQ(one.out.text, four.out.text);
	EXPECT_EQ(describe(four), "exit 0");
}

TEST(Reports, KnownDeviationsAreTodo)
{
	TempDir dir;
	std::string known = dir.file("known", "# fails here\nstdout-pipe  a reason\n\nsighup-* \tanother\n");
	Outcome r = tool({fact("check"), "-o", "stdout-*", "-o", "sighup-pending-pipe", "-k", known,
			  FAKES "/faulty-no-flush"});
	EXPECT_TRUE(std::regex_search(r.out.text, std::regex(
		"\nok 1 - stdout-pipe # TODO a reason\n[^]*\nnot ok 9 - sighup-pending-pipe # TODO another\n"
		"[^]*\n# 8 passed, 0 failed, 0 skipped, 1 known, 1 fixed; start state not verified: [^\n]*\n$")))
		<< r.out.text;
	EXPECT_EQ(describe(r), "exit 0");
	Outcome harness = tool({"perl", TAP_SUMMARY, dir.file("report", r.out.text)});
	EXPECT_NE(harness.out.text.find("failed: none, todo passed: stdout-pipe,"), std::string::npos)
		<< harness.out.text;

	std::string bad = dir.file("bad", "stdout-pipe\n");
	EXPECT_EQ(tool({fact("check"), "-k", bad}).err.text, me + bad + ":1: a pattern and a reason, please\n");
	bad = dir.file("bad", "# typo\nstdout-pipo reason\n");
	EXPECT_EQ(tool({fact("check"), "-k", bad}).err.text, me + bad + ":2: no condition matches stdout-pipo\n");
}

// A failing row says what differs in words a reader can act on: the
// environment as what was added or is missing, and, where an expectation
// was built on what the platform adds to every program, that it was.
TEST(Reports, DifferencesSayWhereTheyComeFrom)
{
	Outcome r = tool({fact("check"), "-o", "clean-start", "-o", "no-env", "-o", "sighup-pending-ignored",
			  "env", "FAKE=1", fake_platform, "reset-ignored", fake_platform, "ignore-sigpipe",
			  fact("probe")});
	const std::string &tap = r.out.text;
	EXPECT_TRUE(std::regex_search(tap, std::regex(
		"\nnot ok 1 - clean-start\n[^]*\n  expected:\n    ignored: \"none\"\n    env: \"as handed over\"\n"
		"  got:\n    ignored: \"13\"\n    env: \"added FAKE=1\"\n"))) << tap;
	EXPECT_TRUE(std::regex_search(tap, std::regex(
		"\nnot ok 2 - no-env\n  ---\n  message: [^\n]*\n  expected:\n    env: \"none\"\n  got:\n    env: \"FAKE=1\"\n")))
		<< tap;
	EXPECT_TRUE(std::regex_search(tap, std::regex(
		"\nnot ok 3 - sighup-pending-ignored\n  ---\n  message: [^\n]*\n  basis: \"as clean-start saw it through "
		"this command, plus this row's own changes; clean-start differs in: ignored\"\n  expected:\n"
		"    ignored: \"1,13\"\n"))) << tap;
}

// The README's picture of the results is well-formed XML with one cell
// for each condition on each platform of its grid.
TEST(Reports, ResultsPictureHasACellPerConditionAndPlatform)
{
	const std::string svg = SOURCE_DIR "/doc/matrix.svg";
	Outcome lint = tool({"xmllint", "--noout", svg});
	EXPECT_EQ(lint.out.text + lint.err.text, "");
	std::smatch header;
	std::string readme = slurp(SOURCE_DIR "/README.md");
	ASSERT_TRUE(std::regex_search(readme, header, std::regex("\n\\| condition \\|([^\n]+)\n")));
	Words platforms;
	for (const std::string &w : words(header[1]))
		if (w != "|")
			platforms.push_back(w);
	// Well-formed, the cells can be read off the text.
	std::map<std::string, int> cells;
	for (const std::string &cell : all_matches(slurp(svg), "<rect class=\"cell\" data-row=\"([^\"]*)\" "
							     "data-platform=\"([^\"]*)\""))
		cells[cell]++;
	std::map<std::string, int> wanted;
	for (const std::string &row : every_row())
		for (const std::string &p : platforms)
			wanted[row + "@" + p] = 1;
	EXPECT_EQ(cells, wanted);
}

// ELF facts of a target, by its name: the first that says it is.
ElfFacts of_target(const std::string &name)
{
	for (unsigned machine : {EM_386, EM_X86_64, EM_AARCH64, EM_ARM, EM_S390, EM_RISCV, EM_PPC64, EM_MIPS})
		for (bool wide : {false, true})
			for (bool big : {false, true})
				for (unsigned flags : {0x400u, 0u})
					if (ElfFacts e{true, wide, big, machine, flags, ""}; e.target() == name)
						return e;
	throw std::out_of_range("no ELF facts for " + name);
}

// Every file of known deviations the package ships reads cleanly, for
// every target, whether this kernel runs its programs or not: each line
// that holds a pattern that matches a row, and a reason.
TEST(Reports, ShippedKnownFilesRead)
{
	for (const auto &file : fs::directory_iterator(SOURCE_DIR "/known")) {
		Outcome r = tool({fact("check"), "-k", file.path(), "--explain", "clean-start", "true"});
		EXPECT_EQ(r.err.text, "") << file.path();
		EXPECT_EQ(describe(r), "exit 0") << file.path();
		for (const std::string &target : target_names())
			for (bool foreign : {false, true})
				EXPECT_NO_THROW(read_known(file.path(), "", every_row(), {of_target(target), foreign}))
					<< file.path() << " for " << target;
	}
}

// The lines of the files qemu-user's deviations were once split into are
// lines of qemu-user, which holds each for the targets it holds for: the
// old names read as before, and say nothing that file does not.
TEST(Reports, SplitQemuFilesAreLinesOfTheOne)
{
	auto lines = [](const std::string &name, bool drop_scope) {
		std::set<std::string> found;
		std::ifstream in(SOURCE_DIR "/known/" + name);
		for (std::string line; std::getline(in, line);) {
			Words w = words(line);
			if (w.empty() || w[0][0] == '#')
				continue;
			if (drop_scope && w[0].back() == ':')
				w.erase(w.begin());
			std::string text;
			for (const std::string &word : w)
				text += (text.empty() ? "" : " ") + word;
			found.insert(text);
		}
		return found;
	};
	std::set<std::string> one = lines("qemu-user", true);
	for (const char *split : {"qemu-user-core-dump", "qemu-user-calls", "qemu-user-exec", "qemu-user-legacy",
				  "qemu-user-riscv64"}) {
		SCOPED_TRACE(split);
		std::set<std::string> part = lines(split, false);
		EXPECT_FALSE(part.empty());
		for (const std::string &line : part)
			EXPECT_TRUE(one.count(line)) << line;
	}
}

// A line of a known file holds for the targets its scope names: by name,
// by the facts of the probe's ELF header, or because this kernel cannot
// run the target's programs; a line for another target may name a row
// this one lacks.
TEST(Reports, KnownLinesHoldForTheirTargets)
{
	TempDir dir;
	std::string file = dir.file("known",
		"i386: stdout-pipe  i386 alone\n"
		"!i386: stdout-file  all but i386\n"
		"32-bit,big-endian: stdout-null  32-bit or big-endian\n"
		"legacy-calls,!armhf: stdout-closed  the legacy calls, but not armhf\n"
		"foreign:   stdout-full  where an exec leaves the emulator\n"
		"mipsel: calls/no-such-case  a row of another target's\n"
		"stdin-closed  everywhere\n");
	struct {
		const char *target;
		bool foreign;
		Rows known;
	} const table[] = {
		{"i386", false, {"stdout-pipe", "stdout-null", "stdout-closed", "stdin-closed"}},
		{"amd64", false, {"stdout-file", "stdin-closed"}},
		{"amd64", true, {"stdout-file", "stdout-full", "stdin-closed"}},
		{"armhf", false, {"stdout-file", "stdout-null", "stdin-closed"}},
		{"s390x", false, {"stdout-file", "stdout-null", "stdout-closed", "stdin-closed"}},
		{"riscv64", true, {"stdout-file", "stdout-full", "stdin-closed"}},
	};
	for (const auto &row : table) {
		SCOPED_TRACE(std::string(row.target) + (row.foreign ? ", foreign" : ""));
		Rows known;
		for (const Known &k : read_known(file, "", every_row(), {of_target(row.target), row.foreign}))
			known.insert(k.pattern);
		EXPECT_EQ(known, row.known);
	}
	try {
		read_known(file, "", every_row(), {of_target("mipsel"), false});
		ADD_FAILURE() << "the line for mipsel names no row";
	} catch (const UsageError &e) {
		EXPECT_EQ(std::string(e.what()), file + ":6: no condition matches calls/no-such-case");
	}
	// Mistakes in a scope are a usage error too, with the file and line.
	std::string bad = dir.file("bad", "# a typo\ni368: stdout-pipe reason\n");
	EXPECT_EQ(tool({fact("check"), "-k", bad, fact("probe")}).err.text, me + bad + ":2: no target or fact i368\n");
	bad = dir.file("bad", "amd64:\n");
	EXPECT_EQ(tool({fact("check"), "-k", bad, fact("probe")}).err.text, me + bad + ":1: a pattern and a reason, please\n");
}

// Through prove's JUnit formatter, as a CI dashboard reads it, the report
// is well-formed XML with one testcase a row: a failing row a failure, a
// known one not.
TEST(Reports, JUnitHasATestcaseARow)
{
	TempDir dir;
	std::string known = dir.file("known", "sighup-pending-file  a reason\n");
	Outcome prove = tool({"prove", "--formatter", "TAP::Formatter::JUnit", "-e",
			      fact("check") + " -o stdout-pipe -o sighup-pending-pipe -o sighup-pending-file -k " + known,
			      FAKES "/faulty-no-flush"});
	std::string xml = dir.file("report.xml", prove.out.text);
	Outcome lint = tool({"xmllint", "--noout", xml});
	EXPECT_EQ(lint.out.text + lint.err.text, "") << prove.out.text;
	auto xpath = [&](const std::string &query) { return tool({"xmllint", "--xpath", query, xml}).out.text; };
	EXPECT_EQ(xpath("count(//testcase)"), "3\n");
	EXPECT_EQ(xpath("string(//testcase[failure]/@name)"), "2 - sighup-pending-pipe\n");
	EXPECT_EQ(xpath("count(//testcase[@name='3 - sighup-pending-file']/failure)"), "0\n");
}

// Asked for no known deviations, the check names the package's file for
// the command's platform in the report's header, and applies none of it.
TEST(Reports, TheFileForThePlatformIsNamedNotApplied)
{
	Words run = {"timeout", "60", fact("probe")};
	Outcome unasked = tool(Words{fact("check"), "-o", "stdout-pipe", "-o", "sighup-pending-pipe"} + run);
	EXPECT_TRUE(std::regex_search(unasked.out.text, std::regex(
		"\n# known deviations: none applied; -k timeout applies this package's file for timeout\n1\\.\\.2\n"
		"ok 1 - stdout-pipe\nnot ok 2 - sighup-pending-pipe\n"))) << unasked.out.text;
	EXPECT_EQ(describe(unasked), "exit 1");
	Outcome asked = tool(Words{fact("check"), "-o", "stdout-pipe", "-o", "sighup-pending-pipe", "-k", "timeout"} + run);
	EXPECT_EQ(asked.out.text.find("# known deviations:"), std::string::npos) << asked.out.text;
	EXPECT_NE(asked.out.text.find("\nnot ok 2 - sighup-pending-pipe # TODO "), std::string::npos) << asked.out.text;

	const std::string known = SOURCE_DIR "/known/";
	EXPECT_EQ(known_file_for("/usr/bin/qemu-aarch64", known), "qemu-user");
	EXPECT_EQ(known_file_for("valgrind", known), "valgrind");
	EXPECT_EQ(known_file_for("qemu-system-x86_64", known), "");
	EXPECT_EQ(known_file_for("./sigmask-probe", known), "");
	EXPECT_EQ(known_file_for("valgrind", ""), "");
}

// --explain's script for every row, run by sh with nothing but a base
// system's tools, gives what the probe documents: its output, and its
// status as the shell shows it.
class Explain : public testing::TestWithParam<Condition> {};

TEST_P(Explain, ReproducesTheRow)
{
	const Condition &c = GetParam();
	Outcome script = tool({fact("check"), "--explain", c.name, fact("probe")});
	std::string title = "# " + std::string(c.name) + ": ";
	EXPECT_EQ(script.out.text.substr(0, title.size()), title);
	EXPECT_TRUE(std::regex_match(script.out.text.substr(title.size()),
				     std::regex("[^\n]+\n[^#][^\n]+\n# documented: [^\n]+\n")))
		<< script.out.text;
	Outcome run = tool({"sh", "-c", script.out.text});
	EXPECT_EQ(run.out.text, expected_out(c)) << script.out.text;
	int status = c.status.signalled ? 128 + c.status.number : c.status.number;
	EXPECT_TRUE(std::regex_search(run.err.text, std::regex(
		std::string(c.diagnostic) + "(.*\n)?status: " + std::to_string(status) + "\n$")))
		<< run.err.text << script.out.text;
}

INSTANTIATE_TEST_SUITE_P(Table, Explain, testing::ValuesIn(conditions),
			 [](const auto &info) { return std::regex_replace(info.param.name, std::regex("\\W"), "_"); });

TEST(Reports, CompletionOffersTheRows)
{
	Outcome r = tool({"bash", "-c",
			  "source " SOURCE_DIR "/completion/sigmask-probe.bash; COMP_WORDS=(\"$0\" -o sighup-pending-p);"
			  " COMP_CWORD=2; _sigmask_probe_check; echo \"${COMPREPLY[@]}\"",
			  fact("check")});
	EXPECT_EQ(r.out.text, "sighup-pending-pipe\n");
}

// The programs are dynamic executables for the target, needing nothing
// beyond its libc6: the probe and the witness libc.so.6 alone, the probe's
// signal calls and printf at the target's oldest versions of them (printf,
// not __printf_chk).  The newest version any imports is the one the
// package depends on, no older and no newer.
TEST(ElfFile, IsForTheTargetNeedingOnlyLibc)
{
	std::string loader = fact("interpreter").substr(fact("interpreter").rfind('/') + 1);
	const std::map<std::string, std::string> classic = {
		{"sigemptyset", fact("signal_glibc")}, {"sigaddset", fact("signal_glibc")},
		{"sigismember", fact("signal_glibc")}, {"sigprocmask", fact("signal_glibc")},
		{"printf", fact("printf_glibc")}};
	struct {
		std::string file;
		Words needed;
		std::map<std::string, std::string> classic;
	} const programs[] = {
		{fact("probe"), {"libc.so.6"}, classic},
		{fact("witness"), {"libc.so.6"}, {}},
		{fs::path(fact("probe")).parent_path() / "sigmask-probe-calls", {"libc.so.6"}, {}},
		// The C++ runtime linked in may bring in the loader, also libc6's.
		{fact("check"), {"libc.so.6", loader}, {}},
		{fs::path(fact("check")).parent_path() / "sigmask-probe-image", {"libc.so.6", loader}, {}},
	};
	std::string newest;
	for (const auto &program : programs) {
		SCOPED_TRACE(program.file);
		Outcome r = tool({"readelf", "-hldW", "--dyn-syms", program.file});
		ASSERT_EQ(describe(r), "exit 0") << r.err.text;
		EXPECT_TRUE(std::regex_search(r.out.text, std::regex("Class: +" + fact("elf_class") + "\n")));
		EXPECT_TRUE(std::regex_search(r.out.text, std::regex("Machine: +.*" + fact("elf_machine"))));
		EXPECT_NE(r.out.text.find("program interpreter: " + fact("interpreter") + "]"), std::string::npos);
		auto needed = all_matches(r.out.text, "\\(NEEDED\\) +Shared library: \\[([^\\]]+)\\]");
		EXPECT_NE(std::find(needed.begin(), needed.end(), "libc.so.6"), needed.end());
		for (const auto &lib : needed)
			EXPECT_NE(std::find(program.needed.begin(), program.needed.end(), lib),
				  program.needed.end()) << lib;

		std::map<std::string, std::string> imports;
		for (const auto &import : all_matches(r.out.text, " UND ([^@ \n]+)@+([^ \n]+)")) {
			size_t at = import.find('@');
			imports[import.substr(0, at)] = import.substr(at + 1);
		}
		for (const auto &[name, version] : program.classic)
			EXPECT_EQ(imports[name], version) << name;
		for (const auto &[name, version] : imports)
			if (newest.empty() || strverscmp(version.c_str(), newest.c_str()) > 0)
				newest = version;
	}
	EXPECT_EQ(newest, fact("newest_glibc"));
	// The check tells the target by these facts, as cmake/targets names it.
	EXPECT_EQ(elf_facts(fact("probe")).target(), fact("target"));
}

const char probe_page[] = SOURCE_DIR "/src/sigmask-probe.1";
const char check_page[] = SOURCE_DIR "/src/sigmask-probe-check.1";
const char witness_page[] = SOURCE_DIR "/src/sigmask-probe-witness.1";
const char image_page[] = SOURCE_DIR "/src/sigmask-probe-image.1";
const char calls_page[] = SOURCE_DIR "/src/sigmask-probe-calls.1";

// Installed, the check finds its probe, the witness and the known
// deviations from its own place.
TEST(Install, TheInstalledCheckFindsWhatItNeeds)
{
	TempDir dest;
	Outcome r = tool({CMAKE_PROGRAM, "--install", fact("build_dir"), "--prefix", "/usr/local"},
			 {"DESTDIR=" + dest.path});
	ASSERT_EQ(describe(r), "exit 0") << r.err.text;
	std::string bin = dest.path + "/usr/local/bin/";
	EXPECT_EQ(slurp(bin + "sigmask-probe"), slurp(fact("probe")));
	Outcome check = tool(command(bin + "sigmask-probe-check") +
			     Words{"-o", "clean-start", "-k", "qemu-user"} + command(bin + "sigmask-probe"));
	EXPECT_TRUE(std::regex_search(check.out.text, std::regex(
		"\n# witness: [^\n]*" + bin + "sigmask-probe-witness\n[^]*\nok 1 - clean-start\n"
		"# 1 passed, 0 failed, 0 skipped, 0 known, 0 fixed\n$"))) << check.out.text << check.err.text;
}

// The tree's programs pack into the same image, byte for byte, every time.
TEST(Install, TheImageIsReproducible)
{
	TempDir dir;
	std::string pack = fs::path(fact("host_check")).parent_path() / "sigmask-probe-image";
	std::string triplet_root = "/usr/" + fact("triplet");
	Words sysroot = fs::exists(triplet_root + "/lib/libc.so.6") ? Words{"--sysroot", triplet_root} : Words{};
	std::string images[2];
	for (int i = 0; i < 2; i++) {
		std::string image = dir.path + "/image" + std::to_string(i);
		Outcome r = tool(Words{pack, "--bin", fs::path(fact("probe")).parent_path(), "-o", image} + sysroot);
		ASSERT_EQ(describe(r), "exit 0") << r.err.text;
		images[i] = slurp(image);
		sleep(i == 0);
	}
	EXPECT_EQ(images[0], images[1]);
	// The programs, their loader and libc; nothing else.
	std::string loader = fact("interpreter").substr(1);
	Words expected = {"dev", "tmp", "init", "sigmask-probe", "sigmask-probe-witness", "sigmask-probe-calls",
			  fs::path(loader).parent_path(), loader};
	if (fs::path(loader).parent_path() != "lib")
		expected.push_back("lib");
	expected.push_back("lib/libc.so.6");
	EXPECT_EQ(names_in(dir.path + "/image0"), expected);
}

TEST(Manual, PagesLintClean)
{
	for (const char *page : {probe_page, check_page, witness_page, image_page, calls_page}) {
		Outcome r = tool({"groff", "-man", "-ww", "-z", page});
		EXPECT_EQ(r.out.text + r.err.text, "") << page;
		EXPECT_EQ(describe(r), "exit 0") << page;
	}
}

TEST(Package, HoldsTheProgramsPagesAndLicence)
{
	EXPECT_EQ(tool({"dpkg-deb", "-f", fact("package"), "Architecture"}).out.text, fact("deb_arch") + "\n");
	EXPECT_EQ(tool({"dpkg-deb", "-f", fact("package"), "Depends"}).out.text,
		  "libc6 (>= " + fact("newest_glibc").substr(6) + ")\n");

	TempDir root;
	ASSERT_EQ(describe(tool({"dpkg-deb", "-x", fact("package"), root.path})), "exit 0");
	std::string man = root.path + "/usr/share/man/man1/";
	for (const char *page : {probe_page, check_page, witness_page, image_page, calls_page})
		EXPECT_EQ(tool({"gzip", "-dc", man + fs::path(page).filename().string() + ".gz"}).out.text,
			  slurp(page));
	// The source package's copyright and changelog, as they are.
	std::string doc = root.path + "/usr/share/doc/sigmask-probe/";
	std::string changes = tool({"gzip", "-dc", doc + "changelog.gz"}).out.text;
	EXPECT_EQ(changes.substr(0, changes.find(')') + 1), "sigmask-probe (" + fact("version") + ")");
	EXPECT_EQ(changes, slurp(SOURCE_DIR "/debian/changelog"));
	EXPECT_EQ(slurp(doc + "copyright"), slurp(SOURCE_DIR "/debian/copyright"));

	EXPECT_EQ(spawn(command(root.path + "/usr/bin/sigmask-probe"), {}).out.text, both_reports);
}

// debian/copyright, in Debian's machine-readable format, says what LICENSE
// says: its holder, and its text as the body of the License paragraph
// (" ." an empty line).
TEST(Package, CopyrightIsTheLicence)
{
	std::string licence = slurp(SOURCE_DIR "/LICENSE");
	std::smatch holder;
	ASSERT_TRUE(std::regex_search(licence, holder, std::regex("\nCopyright \\(c\\) ([^\n]+)\n")));
	std::string text = licence.substr(licence.find("Permission"));

	std::string copyright = slurp(SOURCE_DIR "/debian/copyright");
	EXPECT_NE(copyright.find("\nFiles: *\nCopyright: " + holder[1].str() + "\nLicense: MIT\n"), std::string::npos)
		<< copyright;
	std::string body, line;
	std::istringstream in(copyright.substr(copyright.find("\nLicense: MIT\n") + 14));
	while (std::getline(in, line) && !line.empty() && line[0] == ' ')
		body += (line == " ." ? "" : line.substr(1)) + "\n";
	EXPECT_EQ(body, text);
}

TEST(Package, PassesLintian)
{
	Outcome r = tool({"lintian", "--tag-display-limit", "0", fact("package")});
	EXPECT_FALSE(std::regex_search(r.out.text, std::regex("^[EW]: ", std::regex::multiline))) << r.out.text;
}

// Two builds of one tree at different times give the same bytes, once
// SOURCE_DATE_EPOCH pins the time stamps.
TEST(Package, IsReproducible)
{
	TempDir first, second;
	std::string config = fact("build_dir") + "/CPackConfig.cmake";
	std::string epoch = "SOURCE_DATE_EPOCH=1765000000";
	ASSERT_EQ(describe(tool({CPACK_PROGRAM, "--config", config, "-B", first.path}, {epoch})), "exit 0");
	sleep(1);
	ASSERT_EQ(describe(tool({CPACK_PROGRAM, "--config", config, "-B", second.path}, {epoch})), "exit 0");
	std::string deb = fact("package").substr(fact("package").rfind('/'));
	EXPECT_EQ(slurp(first.path + deb), slurp(second.path + deb));
}

} // namespace
