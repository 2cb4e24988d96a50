// SPDX-License-Identifier: MIT
// Fakes of the probe and of platforms, and faults faked in the
// program's own libc: the check fails the rows they expose, and those
// alone; the witness sees what they do.

#include "helpers.h"
#include "witness_line.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>

namespace {

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
	// GNU make sets O_APPEND on standard output and error, node is said
	// to leave O_NONBLOCK there: a program may find its writes changed.
	Fake{"appends_to_stdout", {fake_platform, "append-stdout", "--"}, [](auto &c) { return c.baseline; }},
	Fake{"makes_stdout_nonblocking", {fake_platform, "nonblock-stdout", "--"}, [](auto &c) { return c.baseline; }},
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

// A platform that cannot start the program under a condition fails its
// rows, saying that no report came back rather than that the condition
// did not arrive, with the status and what the platform wrote.
TEST(FakePlatforms, SayWhenTheCommandCouldNotStartTheProgram)
{
	Outcome r = check_on({fake_platform, "refuse-sighup-pending", "--"});
	Rows exposed = rows_where([](const Condition &c) {
		return std::find(c.pending.begin(), c.pending.end(), SIGHUP) != c.pending.end();
	});
	ASSERT_EQ(failed_rows(r.out.text), exposed) << r.out.text;
	std::string row = r.out.text.substr(r.out.text.find("not ok "));
	row = row.substr(0, row.find("\n  ...\n"));
	EXPECT_NE(row.find("message: \"the witness's report never came back: the command did not start it "
			   "under this condition, or lost its report\""), std::string::npos) << row;
	EXPECT_NE(row.find("no report, exit 128"), std::string::npos) << row;
	EXPECT_NE(row.find("fake-platform: cannot start the program"), std::string::npos) << row;
	EXPECT_EQ(row.find("did not arrive"), std::string::npos) << row;
}

// Where the witness's report is not what it should be, the row says how:
// it came on standard output, it came and then the command hung, or the
// terminal's process groups could not be read.
struct Said {
	const char *name;
	Words command, rows;
	std::string message;
};

void PrintTo(const Said &s, std::ostream *os) { *os << s.name; }

class FakeSayings : public testing::TestWithParam<Said> {};

TEST_P(FakeSayings, SayWhatWentWrongWithTheWitness)
{
	Words only;
	for (const std::string &row : GetParam().rows)
		only = only + Words{"-o", row};
	Outcome r = tool(Words{fact("check"), "-t", "1"} + only + GetParam().command + Words{fact("probe")});
	if (r.out.text.find("unshare: ") != std::string::npos)
		GTEST_SKIP() << r.out.text;
	EXPECT_EQ(failed_rows(r.out.text), Rows(GetParam().rows.begin(), GetParam().rows.end())) << r.out.text;
	for (const std::string &message : all_matches(r.out.text, "\n  message: \"([^\n]*)\"\n"))
		EXPECT_EQ(message, GetParam().message);
	// Once, in the header, where the report went.
	EXPECT_EQ(r.out.text.find("\n# the witness's report comes back on standard output") != std::string::npos,
		  GetParam().message.find("standard output") != std::string::npos) << r.out.text;
}

INSTANTIATE_TEST_SUITE_P(Table, FakeSayings, testing::Values(
	Said{"stderr_on_stdout", {"sh", "-c", "exec \"$@\" 2>&1", "_"}, {"clean-start", "mask-sigquit"},
	     "the witness's report came back on standard output, not on standard error: the command puts "
	     "the program's standard error on its standard output"},
	Said{"hangs_after", {fake_platform, "hang-after"}, {"mask-sigquit"},
	     "the condition arrived as set; then the command did not end; timed out"},
	Said{"process_groups_unseen", {"unshare", "-p", "-f", "--mount-proc"}, {"stdout-terminal"},
	     "whether the program is in its terminal's foreground cannot be told: its process groups read 0, "
	     "as in a PID namespace that does not hold them"}),
	[](const auto &info) { return std::string(info.param.name); });

// A launcher that refuses a second copy of a running program, as
// start-stop-daemon does, fails rows only while others run beside them: a
// row that failed so is run again on its own, and the report says where
// that changed its verdict.  The verdicts are those of one row at a time.
TEST(FakePlatforms, ARowFailsForItselfWhateverRunsBesideIt)
{
	Words launcher = {"start-stop-daemon", "--start", "--exec", fact("probe")};
	if (tool({"start-stop-daemon", "--version"}).stage != Outcome::ran)
		GTEST_SKIP() << "no start-stop-daemon";
	Outcome one = tool(Words{fact("check"), "-j", "1"} + launcher);
	Outcome many = tool(Words{fact("check"), "-j", "8"} + launcher);
	EXPECT_EQ(failed_rows(many.out.text), failed_rows(one.out.text)) << many.out.text;
	EXPECT_EQ(describe(many), describe(one));
	EXPECT_EQ(one.out.text.find("passed run again on its own"), std::string::npos) << one.out.text;
	for (const std::string &note : all_matches(many.out.text, "\n(ok [0-9]+ - [^\n]*\n# it failed [^\n]*)"))
		EXPECT_NE(note.find("# it failed while other rows ran beside it (-j 8), and passed run again on its own"),
			  std::string::npos) << note;
}

// A descriptor a launcher replaced with a file of its own is shown by the
// file's name, whatever bytes that holds.
TEST(Witness, NamesTheFileOfAReplacedDescriptor)
{
	TempDir dir;
	std::string file = dir.file("its own file", "");
	Outcome r = tool({fact("check"), "-o", "clean-start", "sh", "-c", "exec \"$@\" <\"$0\"", file, fact("probe")});
	EXPECT_NE(r.out.text.find("    fd0: \"file:"), std::string::npos) << r.out.text;
	EXPECT_NE(r.out.text.find("/r (" + file + ")\"\n"), std::string::npos) << r.out.text;
}

// A row that runs out of time is run again on its own with a longer
// limit, and the report says so: a slow platform is not a hung one.  One
// that truly hangs fails, and soon: past two rows that hang with the
// longer limit too, the rest are not run again.
TEST(FakePlatforms, ASlowPlatformIsGivenMoreTimeAHungOneIsNot)
{
	Words rows = {"-t", "1", "-o", "stdout-pipe", "-o", "stdout-null", "-o", "mask-sigquit"};
	Outcome slow = tool(Words{fact("check")} + rows + Words{fake_platform, "slow-start", fact("probe")});
	EXPECT_EQ(failed_rows(slow.out.text), Rows{}) << slow.out.text;
	EXPECT_EQ(all_matches(slow.out.text, "\n(# it ran out of time \\(1 s\\); run again on its own with a limit "
					     "of 4 s, it passed)\n").size(), 3u) << slow.out.text;
	Launch how;
	how.timeout = 60;
	Outcome hung = tool(Words{fact("check")} + rows + Words{fake_platform, "hang-before", fact("probe")}, {}, how);
	EXPECT_EQ(failed_rows(hung.out.text), Rows({"stdout-pipe", "stdout-null", "mask-sigquit"})) << hung.out.text;
	EXPECT_EQ(all_matches(hung.out.text, "\n(# it ran out of time [^\n]*failed again)\n").size(), 2u) << hung.out.text;
	EXPECT_NE(hung.out.text.find("# it ran out of time (1 s), and was not run again"), std::string::npos)
		<< hung.out.text;
	EXPECT_FALSE(hung.timed_out);
}

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
		EXPECT_EQ(seen.ignored.has(d.sig), d.kind == ignored);
		EXPECT_EQ(seen.caught.has(d.sig), d.kind == caught);
	}
}

// A MIPS program run by a platform that renumbers its signals by name, as
// qemu-user does, gets what this machine's check handed over: only the
// signals past this machine's last cannot come.  One that hands on this
// machine's numbers fails the rows whose signals MIPS numbers otherwise.
struct FakeTarget {
	const char *platform;
	Rows failing;
};

void PrintTo(const FakeTarget &t, std::ostream *os) { *os << t.platform; }

class FakeTargets : public testing::TestWithParam<FakeTarget> {};

TEST_P(FakeTargets, AreJudgedInTheirOwnNumbers)
{
	// The probe, and beside it a witness whose ELF header says MIPS; the
	// platform runs this machine's witness in its place.
	TempDir dir;
	std::string probe = dir.path + "/sigmask-probe";
	fs::copy_file(fact("probe"), probe);
	unsigned char mips[52] = {0x7f, 'E', 'L', 'F', 1, 1, 1};
	mips[16] = 2;	// ET_EXEC
	mips[18] = 8;	// EM_MIPS
	mips[20] = 1;	// EV_CURRENT
	mips[40] = 52;	// e_ehsize
	std::string witness = dir.file("sigmask-probe-witness", std::string(mips, mips + sizeof mips));
	fs::permissions(witness, fs::perms::owner_all);
	Outcome r = tool({fact("check"), fake_platform, GetParam().platform, fact("witness"), probe});
	EXPECT_EQ(failed_rows(r.out.text), GetParam().failing) << r.out.text;
	EXPECT_NE(r.out.text.find("# witness: "), std::string::npos) << r.out.text;
}

INSTANTIATE_TEST_SUITE_P(Table, FakeTargets, testing::Values(
	FakeTarget{"mips", {"mask-all"}},
	FakeTarget{"mips-unrenumbered",
		   {"background-ttou-ignored", "background-ttou-blocked", "mask-all", "sigchld-blocked",
		    "sigchld-ignored", "sigbus-pending", "sigsys-pending", "sigrtmax-1-pending", "sigrtmax-pending"}}),
	[](const auto &info) { return std::regex_replace(info.param.platform, std::regex("\\W"), "_"); });

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

// Whether a case is a wait's (ppoll-atomic, epoll-pwait2-atomic, ...) in
// one of situations.
bool waits_in(const CallCase &call, std::initializer_list<const char *> situations)
{
	std::smatch m;
	std::string name = call.name;
	return std::regex_match(name, m, std::regex("(ppoll|pselect6|epoll-pwait2?)-(.+)")) &&
	       std::any_of(situations.begin(), situations.end(), [&](const char *s) { return m[2] == s; });
}

INSTANTIATE_TEST_SUITE_P(Table, CallsFakes, testing::Values(
	// Passing every call through changes nothing.
	CallsFault{"none", [](auto &) { return false; }},
	// The old set written 16 bytes wide shows wherever bytes are counted.
	CallsFault{"old_16", [](auto &c) { return std::string(c.expected).find("bytes={set-bytes}") != std::string::npos; }},
	CallsFault{"setmask_null", [](auto &c) { return named(c, {"null-set-setmask"}); }},
	CallsFault{"sig64", [](auto &c) { return named(c, {"layout", "round-trip", "pending-delivery"}); }},
	CallsFault{"sigkill_readback", reads_a_mask},
	// A fork child with nothing blocked dies of the 10 it sends itself.
	CallsFault{"fork_empty_mask", [](auto &c) {
		return named(c, {"fork-mask", "signalfd-fork", "signalfd-epoll-fork", "signalfd-exec"});
	}},
	CallsFault{"exec_drops_pending", [](auto &c) { return named(c, {"exec", "signalfd-exec"}); }},
	// rt_(tg)sigqueueinfo sent as kill and tgkill: not sigqueue, whose
	// call libc makes itself.
	CallsFault{"queue_info_lost", [](auto &c) {
		return named(c, {"sigqueueinfo-self", "tgsigqueueinfo-self", "sigqueueinfo-codes-self",
				 "sigqueueinfo-codes-other"});
	}},
	// An ignored signal lost though blocked: what takes it finds nothing,
	// and a wait's mask has none to release.
	CallsFault{"signalfd_ignored_lost", [](auto &c) {
		return named(c, {"ignored-blocked-stays", "sigwaitinfo-ignored-signal", "signalfd-ignored"}) ||
		       waits_in(c, {"ignored-pending"});
	}},
	// Waits that never take a signal: the rows that take one with
	// sigtimedwait, sigwaitinfo or rt_sigtimedwait, queue.cpp's and
	// layout's too; not those that time out, are refused or are
	// interrupted, nor sigwait, whose wait libc makes itself.
	CallsFault{"sigtimedwait_eagain", [](auto &c) {
		return named(c, {"layout", "sigtimedwait-basic", "sigtimedwait-not-in-set", "sigtimedwait-kill-stop",
				 "sigwaitinfo-ignored-signal", "sigwaitinfo-sigchld", "sigtimedwait-order",
				 "sigtimedwait-sync-first", "sigtimedwait-unblocked", "sigqueueinfo-self",
				 "tgsigqueueinfo-self", "sigqueueinfo-codes-self", "sigqueueinfo-codes-other",
				 "pidfd-self", "pidfd-child"});
	}},
	// What qemu-s390x does: the value sigqueue sent reads as 0.
	CallsFault{"signalfd_value_lost", [](auto &c) { return named(c, {"signalfd-codes", "signalfd-multi"}); }},
	// The waits' own mask, where it has the kernel's size, ignored: what it
	// would release stays blocked, what it would block is not; a ready
	// descriptor wins all the same.
	CallsFault{"wait_mask_ignored", [](auto &c) {
		return waits_in(c, {"atomic", "handler-mask", "during", "block-more", "ignored-pending", "time-left"});
	}},
	// Put in place by sigprocmask around a plain wait: a pending signal is
	// handled before the wait begins, a signal during it with the wait's
	// mask as uc_sigmask.  An ignored one is discarded before the wait, as
	// ppoll and pselect6 would, but the epoll waits then run out.
	CallsFault{"wait_mask_not_atomic", [](auto &c) {
		return waits_in(c, {"atomic", "handler-mask", "during", "ready-first", "time-left"}) ||
		       named(c, {"epoll-pwait-ignored-pending", "epoll-pwait2-ignored-pending"});
	}},
	CallsFault{"wait_null_mask_empty", [](auto &c) { return waits_in(c, {"null-mask", "sizes", "null-sixth"}); }},
	// Left in place after the wait: every case that reads the mask after a
	// wait with one (ppoll's time left does not).
	CallsFault{"wait_mask_kept", [](auto &c) {
		return waits_in(c, {"atomic", "handler-mask", "during", "block-more", "ignored-pending", "ready-first"});
	}}),
	[](const auto &info) { return std::string(info.param.name); });

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

} // namespace
