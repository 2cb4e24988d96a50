// SPDX-License-Identifier: MIT
// The check inside containers and sandboxes: as process 1 of a PID
// namespace, with a /dev that has no tty, without O_TMPFILE, and inside
// gVisor and through it, where runsc runs here.

#include "helpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace {

// As process 1 of a container the check is an ordinary run: its report
// alone, nothing about powering off, its own status, and what a row
// leaves behind ended.
struct Inside {
	const char *name;
	Words args;
	int status;
	std::string err = "";
};

void PrintTo(const Inside &i, std::ostream *os) { *os << i.name; }

const Inside ordinary_runs[] = {
	{"passing", {"-o", "stdout-*"}, 0},
	{"failing", {"-o", "sighup-pending-pipe", FAKES "/faulty-no-flush"}, 1},
	{"bad_option", {"--bogus"}, 2, "sigmask-probe-check: bad option: --bogus (see --help)\n"},
	{"leaving_a_process", {"-o", "stdout-pipe", "sh", "-c", "setsid sleep 60 & exec \"$0\"", FAKES "/faulty-no-flush"}, 0},
};

void expect_ordinary(const Outcome &r, const Inside &run)
{
	EXPECT_EQ(describe(r), "exit " + std::to_string(run.status)) << r.out.text << r.err.text;
	EXPECT_EQ(r.out.text.find("# sigmask-probe-check: exit status"), std::string::npos) << r.out.text;
	EXPECT_EQ(r.err.text, run.err);
	EXPECT_EQ(r.out.text.find("\nnot ok ") != std::string::npos, run.status == 1) << r.out.text;
}

class Container : public testing::TestWithParam<Inside> {};

TEST_P(Container, AsProcessOneIsAnOrdinaryRun)
{
	Outcome r = tool(Words{"unshare", "--pid", "--fork", "--mount-proc", fact("check")} + GetParam().args);
	if (r.err.text.find("unshare: ") == 0)
		GTEST_SKIP() << r.err.text;
	expect_ordinary(r, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Table, Container, testing::ValuesIn(ordinary_runs),
			 [](const auto &info) { return std::string(info.param.name); });

// A /dev with no tty in it, as in a chroot or a minimal container: the
// program's terminal is still its controlling terminal, and is told from
// the descriptors themselves.  (A shell that has run a command unblocks
// SIGTTOU: background-ttou-blocked is not for this one.)
TEST(Container, TellsTheTerminalWithoutDevTty)
{
	Outcome r = tool(Words{fact("check"), "-o", "stdout-terminal", "-o", "background-ttou-ignored", "unshare", "-m", "sh",
			       "-c", "mount -t tmpfs none /dev && mknod -m 666 /dev/null c 1 3 && exec \"$@\"", "_"} +
			 command(fact("probe")));
	if (r.out.text.find("unshare: ") != std::string::npos)
		GTEST_SKIP() << r.out.text;
	EXPECT_EQ(describe(r), "exit 0") << r.out.text;
	EXPECT_NE(r.out.text.find("# 2 passed, 0 failed, 0 skipped"), std::string::npos) << r.out.text;
}

// Where the file system cannot make a file of no name (gVisor's cannot),
// standard output on a file is a named one, unlinked: no row is skipped.
TEST(Sandbox, WritesToAFileWithoutTmpfile)
{
	if (emulated())
		GTEST_SKIP() << "the check runs under " << fact("emulator");
	Launch how;
	how.setup = [] {
		return unless(refuse(SCMP_SYS(openat),
				     {SCMP_A2(SCMP_CMP_MASKED_EQ, O_TMPFILE & ~O_DIRECTORY, O_TMPFILE & ~O_DIRECTORY)},
				     EOPNOTSUPP));
	};
	TempDir tmp;
	Outcome r = tool(Words{fact("check"), "-o", "stdout-file", "-o", "sighup-pending-file", fact("probe")},
			 {"TMPDIR=" + tmp.path}, how);
	EXPECT_EQ(describe(r), "exit 0") << r.out.text << r.err.text;
	EXPECT_NE(r.out.text.find("# 2 passed, 0 failed, 0 skipped"), std::string::npos) << r.out.text;
	EXPECT_TRUE(fs::is_empty(tmp.path));
}

// gVisor, where runsc can run a program here: the check inside it, as the
// sandbox's process 1, and through it as the command, each with its file
// of known deviations.
std::string runsc_missing()
{
	static const std::string why = [] {
		Outcome r = tool({"runsc", "--network=none", "do", "true"});
		return describe(r) == "exit 0" ? "" : "runsc cannot run a program here (" + describe(r) + "): " +
							      r.out.text + r.err.text;
	}();
	return why;
}

class Sandbox : public testing::TestWithParam<Inside> {};

TEST_P(Sandbox, InsideGvisorIsAnOrdinaryRun)
{
	if (!runsc_missing().empty())
		GTEST_SKIP() << runsc_missing();
	Words known = GetParam().status == 0 ? Words{"-k", "runsc-inside"} : Words{};
	Outcome r = tool(Words{"runsc", "--network=none", "do", fact("check")} + known + GetParam().args);
	expect_ordinary(r, GetParam());
	EXPECT_EQ(r.out.text.find("# SKIP no temporary file"), std::string::npos) << r.out.text;
}

INSTANTIATE_TEST_SUITE_P(Table, Sandbox, testing::ValuesIn(ordinary_runs),
			 [](const auto &info) { return std::string(info.param.name); });

TEST(Sandbox, EveryRowEndsInsideGvisor)
{
	if (!runsc_missing().empty())
		GTEST_SKIP() << runsc_missing();
	Outcome r = tool({"runsc", "--network=none", "do", fact("check"), "-k", "runsc-inside"});
	EXPECT_EQ(describe(r), "exit 0") << r.out.text << r.err.text;
	EXPECT_EQ(r.out.text.find("timed out"), std::string::npos) << r.out.text;
	EXPECT_EQ(r.out.text.find("# SKIP no "), std::string::npos) << r.out.text;
}

TEST(Sandbox, ThroughGvisorOnlyKnownRowsFail)
{
	if (!runsc_missing().empty())
		GTEST_SKIP() << runsc_missing();
	Outcome r = tool({fact("check"), "-k", "runsc", "runsc", "--network=none", "do", fact("probe")});
	EXPECT_EQ(describe(r), "exit 0") << r.out.text << r.err.text;
	EXPECT_EQ(failed_rows(r.out.text), Rows{}) << r.out.text;
}

} // namespace
