// SPDX-License-Identifier: MIT
// The calls rows' scripts, the rows without /proc, the waits' rows with
// the cores busy, and the probe's failed-call paths, driven with seccomp
// filters.

#include "helpers.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <sstream>
#include <string>

namespace {

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

// The cases run side by side, and each line still comes in the list's
// order, once: the slow waits first in the list end after the quick ones.
TEST(CallsProgram, WritesALineACaseInTheListsOrder)
{
	std::string calls = fs::path(fact("probe")).parent_path() / "sigmask-probe-calls";
	Words listed = words(tool(command(calls) + Words{"--list"}).out.text), named;
	Outcome run = tool(command(calls));
	std::regex tag("^sigmask-probe-calls: (\\S+)");
	std::istringstream lines(run.out.text);
	for (std::string line; std::getline(lines, line);) {
		std::smatch m;
		if (std::regex_search(line, m, tag))
			named.push_back(m[1]);
	}
	EXPECT_EQ(describe(run), "exit 0");
	EXPECT_EQ(named, listed) << run.out.text;
}

// Where there is no /proc, as for the first program of a bare kernel, every
// calls row is still Linux's: a case that cannot look there says so in its
// line, and what Linux gives there is that word.
TEST(CallsWithoutProc, AreLinuxsAllTheSame)
{
	if (emulated())
		GTEST_SKIP() << "the probe runs under " << fact("emulator") << ", which needs /proc";
	if (!fact("sanitize").empty())
		GTEST_SKIP() << "built with " << fact("sanitize") << " sanitizers, whose runtime needs /proc";
	Outcome r = tool({"unshare", "-m", "--propagation", "private", "sh", "-c",
			  "mount -t tmpfs none /proc && exec \"$@\"", "sh", fact("check"), "-o", "calls/*", fact("probe")});
	if (r.err.text.rfind("unshare: ", 0) == 0 || r.err.text.rfind("mount: ", 0) == 0)
		GTEST_SKIP() << r.err.text;
	EXPECT_EQ(failed_rows(r.out.text), Rows{}) << r.out.text;
	EXPECT_EQ(describe(r), "exit 0") << r.err.text;
}

// Children that keep the cores busy for as long as they are in scope, and
// die with the test if it dies first.
struct Busy {
	std::vector<pid_t> pids;
	explicit Busy(int n)
	{
		pid_t parent = getpid();
		for (int i = 0; i < n; i++) {
			pid_t pid = fork();
			if (pid == 0) {
				if (prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || getppid() != parent)
					_exit(1);
				for (volatile unsigned long spin = 0;;)
					spin = spin + 1;
			}
			if (pid > 0)
				pids.push_back(pid);
		}
	}
	~Busy()
	{
		for (pid_t pid : pids) {
			kill(pid, SIGKILL);
			waitpid(pid, nullptr, 0);
		}
	}
};

// The waits whose answer rests on when a signal comes: one pending as the
// wait begins, one sent while it waits, by a thread or a child, one the
// wait blocks; their rows stay right with both cores busy.
TEST(CallsUnderLoad, WaitsTimedBySignalsStayRight)
{
	Busy busy(2);
	ASSERT_EQ(busy.pids.size(), 2u);
	const std::regex timed("(ppoll|pselect6|epoll-pwait2?)-(atomic|during|block-more)");
	Rows rows = calls_where([&](const CallCase &c) { return std::regex_match(c.name, timed); });
	Outcome r = tool(Words{fact("host_check"), "-o", "calls/*-atomic", "-o", "calls/*-during", "-o",
			       "calls/*-block-more"} + known_options(fact("known")) + command(fact("probe")));
	EXPECT_EQ(failed_rows(r.out.text), Rows{}) << r.out.text;
	EXPECT_TRUE(std::regex_search(r.out.text, std::regex("\n1\\.\\." + std::to_string(rows.size()) + "\n")))
		<< r.out.text;
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

} // namespace
