// SPDX-License-Identifier: MIT
// Hostile commands and surroundings: the check's report stays true and
// nothing it starts outlives it.

#include "helpers.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <regex>
#include <string>

namespace {

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
	if (fact("sanitize").empty()) {	// AddressSanitizer's shadow takes more
		EXPECT_LT(use.ru_maxrss, 64 * 1024) << "KiB at the most";
	}
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

// A platform that garbles what the witness writes (a byte flipped, the
// line cut, repeated, split or never ended, every number past any
// integer) neither crashes nor hangs the check, which judges what came:
// clean-start, which judges every aspect, fails for all damage but a line
// repeated or never ended, which say the same.  The report stays TAP.
TEST(Hostile, AGarbledWitnessIsJudgedNotTrusted)
{
	TempDir dir;
	for (std::string kind : {"flip", "cut", "repeat", "split", "join", "huge"}) {
		SCOPED_TRACE(kind);
		std::string witness = dir.path + "/corrupt-witness-" + kind;
		fs::create_symlink(fake_platform, witness);
		Launch how;
		how.timeout = 120;
		Outcome r = tool({fact("check"), "-w", witness, fact("probe")}, {}, how);
		bool same = kind == "repeat" || kind == "join";
		EXPECT_FALSE(r.timed_out);
		EXPECT_EQ(describe(r), same ? "exit 0" : "exit 1") << r.out.text << r.err.text;
		EXPECT_EQ(failed_rows(r.out.text).count("clean-start"), same ? 0u : 1u) << r.out.text;
		std::string tap = dir.file("report.tap", r.out.text);
		Outcome harness = tool({"perl", TAP_SUMMARY, tap});
		EXPECT_NE(harness.out.text.find("parse errors: none"), std::string::npos) << harness.out.text;
	}
}

} // namespace
