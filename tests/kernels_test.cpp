// SPDX-License-Identifier: MIT
// The check as the first program of a system: in a PID namespace here,
// and booted on a kernel with the tree's image, as make check-kernel does.

#include "helpers.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <regex>
#include <string>

namespace {

// As the first program of a system (asked for by --init, or started as
// /init, here as process 1 of a PID namespace), the check writes its
// report, then a last line with its status, and powers off instead of
// returning; where it cannot (a PID namespace's power-off would end it
// with SIGINT), it says so and exits with that status.  It takes no notice
// of the NAME=value words a kernel passes on, and ends what the rows leave
// behind.  Why it failed comes just before the last line, as a comment
// when the report is not where its standard error goes, and once when it
// is.
struct Boot {
	const char *name;
	Words args;
	int status;
	std::string said = "";	// before the last line
	bool one_file = false;	// standard error on the report
	bool as_init = false;	// started as /init rather than with --init
};

void PrintTo(const Boot &b, std::ostream *os) { *os << b.name; }

class FirstProgram : public testing::TestWithParam<Boot> {};

TEST_P(FirstProgram, ReportsItsStatusAndCannotPowerOff)
{
	Launch how;
	if (GetParam().one_file)
		how.setup = [] { return dup2(STDOUT_FILENO, STDERR_FILENO) < 0 ? Refusal{"dup2"} : Refusal{}; };
	Words start = GetParam().as_init ? Words{"bash", "-c", "exec -a /init \"$0\" \"$@\"", fact("check")}
					 : Words{fact("check"), "--init"};
	Outcome r = tool(Words{"unshare", "-p", "-f", "-m", "--propagation", "private"} + start +
			 GetParam().args, {}, how);
	if (r.out.text.find("unshare: ") == 0 || r.err.text.find("unshare: ") == 0)
		GTEST_SKIP() << r.out.text << r.err.text;
	const std::string cannot = "sigmask-probe-check: cannot power off: "
				   "process 1 of a PID namespace, not of the system\n";
	std::string end = GetParam().said + "# sigmask-probe-check: exit status " +
			  std::to_string(GetParam().status) + "\n" + (GetParam().one_file ? cannot : "");
	ASSERT_GE(r.out.text.size(), end.size()) << r.err.text;
	size_t at = r.out.text.size() - end.size();
	EXPECT_EQ(r.out.text.substr(at), end) << r.out.text;
	EXPECT_EQ(r.out.text.substr(0, at).find("sigmask-probe-check: "), std::string::npos) << r.out.text;
	if (!GetParam().one_file) {
		EXPECT_TRUE(r.err.text.size() >= cannot.size() &&
			    r.err.text.substr(r.err.text.size() - cannot.size()) == cannot) << r.err.text;
	}
	EXPECT_EQ(describe(r), "exit " + std::to_string(GetParam().status)) << r.out.text << r.err.text;
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
	Boot{"leaving_a_process", {"-o", "stdout-pipe", "sh", "-c", "setsid sleep 60 & exec \"$0\"", FAKES "/faulty-no-flush"}, 0},
	// The name a kernel starts an initramfs's first program by asks too.
	Boot{"started_as_init", {"-o", "stdout-pipe"}, 0, "", false, true},
	Boot{"failing_as_init", {"-o", "sighup-pending-pipe", FAKES "/faulty-no-flush"}, 1, "", false, true}),
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

} // namespace
