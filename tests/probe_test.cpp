// SPDX-License-Identifier: MIT
// Runs sigmask-probe-check on the probe and on faulty fakes, drives the
// probe's failed-call paths with seccomp filters, and checks the programs'
// files, install tree, manual pages and package.  A host program: the build
// under test is described by the test-facts file named on the command line.

#include "spawn.h"

#include <gtest/gtest.h>
#include <seccomp.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The build under test, as its test-facts file has it: paths, and for a
// cross build the target's ELF and package facts.
std::map<std::string, std::string> facts;

std::vector<std::string> words(const std::string &s)
{
	std::istringstream in(s);
	return {std::istream_iterator<std::string>(in), {}};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

// How to run one of the build's programs: through the emulator, where this
// kernel needs one.
std::vector<std::string> command(const std::string &program)
{
	return words(facts["emulator"]) + std::vector<std::string>{program};
}

bool emulated() { return !facts["emulator"].empty(); }

const std::string both_reports =
	" signal 1 is blocked \n"
	" signal 2 is not blocked \n"
	" signal 3 is not blocked \n"
	" signal 4 is blocked \n"
	" signal 1 is not blocked \n"
	" signal 2 is blocked \n"
	" signal 3 is not blocked \n"
	" signal 4 is not blocked \n";

// Runs one of the platform's tools, with our search path, in the C locale,
// with environment entries env added.
Result tool(const std::vector<std::string> &argv, std::vector<std::string> env = {})
{
	const char *path = getenv("PATH");
	env.push_back(std::string("PATH=") + (path ? path : "/usr/bin:/bin"));
	env.push_back("LC_ALL=C");
	std::vector<char *> envp;
	for (auto &e : env)
		envp.push_back(e.data());
	envp.push_back(nullptr);
	Start how;
	how.envp = envp.data();
	how.timeout = 60;
	return spawn(argv, how);
}

using Rows = std::set<std::string>;

Rows operator+(Rows a, const Rows &b)
{
	a.insert(b.begin(), b.end());
	return a;
}

// The conditions the check reported as failed, by name.
Rows failed_rows(const std::string &tap)
{
	Rows names;
	std::regex not_ok("^not ok [0-9]+ - (\\S+)$");
	std::smatch m;
	std::istringstream in(tap);
	for (std::string line; std::getline(in, line);)
		if (std::regex_match(line, m, not_ok))
			names.insert(m[1]);
	return names;
}

// A run of the check on the probe passes every condition but the known
// deviations of the emulator that runs it (the target's table names them).
// That holds however the check itself was started: it gives each run a
// clean start.
struct CheckStart {
	const char *name;
	bool (*setup)();
};

void PrintTo(const CheckStart &s, std::ostream *os) { *os << s.name; }

class Check : public testing::TestWithParam<CheckStart> {};

TEST_P(Check, PassesAllButTheEmulatorsDeviations)
{
	auto named = words(facts["deviations"]);
	Rows deviations(named.begin(), named.end());
	Start how;
	how.setup = GetParam().setup;
	how.timeout = 120;
	Result r = spawn(command(facts["check"]) + command(facts["probe"]), how);
	EXPECT_EQ(failed_rows(r.out), deviations) << r.out;
	EXPECT_EQ(describe(r), deviations.empty() ? "exit 0" : "exit 1");
	EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Table, Check, testing::Values(
	CheckStart{"clean", nullptr},
	CheckStart{"signals_ignored_and_blocked", [] {
		sigset_t set;
		sigemptyset(&set);
		sigaddset(&set, SIGHUP);
		sigaddset(&set, SIGQUIT);
		return signal(SIGPIPE, SIG_IGN) != SIG_ERR && signal(SIGINT, SIG_IGN) != SIG_ERR &&
		       sigprocmask(SIG_SETMASK, &set, nullptr) == 0;
	}}),
	[](const auto &info) { return std::string(info.param.name); });

// What a TAP harness makes of the check's output agrees with the check.
TEST(Check, ReadsCleanlyInATapHarness)
{
	Result mine = tool(command(facts["check"]) + command(facts["probe"]));
	std::string failed;
	for (const auto &name : failed_rows(mine.out))
		failed += (failed.empty() ? "" : " ") + name;
	std::regex row("^(not )?ok ", std::regex::multiline);
	auto rows = std::distance(std::sregex_iterator(mine.out.begin(), mine.out.end(), row),
				  std::sregex_iterator());
	Result harness = tool(std::vector<std::string>{"perl", TAP_SUMMARY}
			       + command(facts["check"]) + command(facts["probe"]));
	EXPECT_EQ(harness.out, "version 13, plan 1.." + std::to_string(rows) + ", ran " +
		  std::to_string(rows) + ", skipped 0, failed: " + (failed.empty() ? "none" : failed) +
		  ", parse errors: none\n") << mine.out;
	EXPECT_EQ(harness.err, "");
}

// With no command, the check runs the probe in its own directory, as it
// is: where this kernel needs an emulator for it, that cannot start.
TEST(Check, RunsTheProbeBesideIt)
{
	Result r = tool(command(facts["check"]) + std::vector<std::string>{"-o", "stdout-pipe"});
	if (!emulated()) {
		EXPECT_EQ(r.out, "TAP version 13\n1..1\nok 1 - stdout-pipe\n"
				 "# 1 passed, 0 failed, 0 skipped\n");
		EXPECT_EQ(describe(r), "exit 0");
	} else {
		EXPECT_EQ(r.err, "sigmask-probe-check: cannot run " + facts["probe"] + ": Exec format error\n");
		EXPECT_EQ(describe(r), "exit 2");
	}
}

struct Usage {
	std::vector<std::string> args;
	std::string status, out, err;	// out and err: a regular expression
};

class CheckUsage : public testing::TestWithParam<Usage> {};

TEST_P(CheckUsage, AnswersAsDocumented)
{
	Result r = tool(command(facts["check"]) + GetParam().args);
	EXPECT_EQ(describe(r), GetParam().status);
	EXPECT_TRUE(std::regex_match(r.out, std::regex(GetParam().out))) << r.out;
	EXPECT_TRUE(std::regex_match(r.err, std::regex(GetParam().err))) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Table, CheckUsage, testing::Values(
	Usage{{"--version"}, "exit 0", "sigmask-probe-check [0-9.]+\n", ""},
	Usage{{"-h"}, "exit 0", "usage: sigmask-probe-check [^]*", ""},
	Usage{{"--list"}, "exit 0", "(\\S+ +\\S[^\n]*\n){21}", ""},
	Usage{{"-l", "-o", "sighup-*"}, "exit 0",
	      "sighup-pending-pipe +first report, killed by SIGHUP\n"
	      "sighup-pending-file +first report, killed by SIGHUP\n"
	      "sighup-pending-ignored +both reports, exit 0\n", ""},
	Usage{{"-t", "1", "-o", "stdout-pipe", "sleep", "10"}, "exit 1",
	      "TAP version 13\n1..1\nnot ok 1 - stdout-pipe\n  ---\n  message: \"timed out\"\n[^]*"
	      "    status: \"timed out\"\n  \\.\\.\\.\n# 0 passed, 1 failed, 0 skipped\n", ""},
	Usage{{"-x"}, "exit 2", "",
	      "sigmask-probe-check: bad option or missing argument: -x \\(see --help\\)\n"},
	Usage{{"--only"}, "exit 2", "",
	      "sigmask-probe-check: bad option or missing argument: --only \\(see --help\\)\n"},
	Usage{{"-t", "0"}, "exit 2", "", "sigmask-probe-check: bad time limit: 0\n"},
	Usage{{"-o", "nonesuch"}, "exit 2", "", "sigmask-probe-check: no condition matches nonesuch\n"},
	Usage{{"/nonexistent/probe"}, "exit 2", "",
	      "sigmask-probe-check: cannot run /nonexistent/probe: No such file or directory\n"},
	Usage{{"no-such-command-here"}, "exit 2", "",
	      "sigmask-probe-check: cannot run no-such-command-here: No such file or directory\n"},
	Usage{{NOT_A_PROGRAM}, "exit 2", "",
	      "sigmask-probe-check: cannot run " NOT_A_PROGRAM ": Exec format error\n"}));

// The conditions in groups: where both reports are seen and the status is
// 0; where a signal is pending at exec; where writes fail.
const Rows seen_rows = {"stdout-pipe", "stdout-file", "stdout-terminal", "stdin-closed",
			"mask-sigquit", "mask-all", "signals-1-to-4-ignored", "args-and-env",
			"no-env", "sighup-pending-ignored"};
const Rows first_report_rows = {"sighup-pending-pipe", "sighup-pending-file", "sigill-pending"};
const Rows pending_rows =
	first_report_rows + Rows{"sigint-pending", "sigquit-pending", "sigrtmin-pending"};
const Rows write_error_rows = {"stdout-closed", "stdout-full",
			       "stdout-reader-gone-sigpipe-ignored"};

struct Fake {
	const char *name;
	std::vector<std::string> command;	// the probe's path follows when it ends in "--"
	Rows caught_by;
};

void PrintTo(const Fake &f, std::ostream *os) { *os << f.name; }

class FakeProbes : public testing::TestWithParam<Fake> {};

// Each fault fails the conditions that expose it, and those alone.
TEST_P(FakeProbes, FailTheConditionsThatExposeThem)
{
	std::vector<std::string> fake = GetParam().command;
	if (fake.back() == "--") {
		fake.pop_back();
		fake.push_back(facts["probe"]);
	}
	Result r = tool(command(facts["check"]) + fake);
	EXPECT_EQ(failed_rows(r.out), GetParam().caught_by) << r.out;
	EXPECT_EQ(describe(r), "exit 1");
}

INSTANTIATE_TEST_SUITE_P(Table, FakeProbes, testing::Values(
	// The first report dies in the buffer with the released signal.
	Fake{"no_flush", {FAKES "/fake-no-flush"}, first_report_rows},
	Fake{"exit_0_on_write_error", {FAKES "/fake-exit-0-on-write-error"}, write_error_rows},
	// Adding to the mask keeps what was inherited and what came before.
	Fake{"sig_block", {FAKES "/fake-sig-block"}, seen_rows + pending_rows},
	// Never touching the mask, it holds every pending signal; its shell
	// words write errors its own way.
	Fake{"prints_eight_lines", {FAKE_SCRIPT}, pending_rows + write_error_rows},
	// A wrapper's own words on standard error are let pass only where the
	// probe dies of a signal.
	Fake{"chatty_wrapper", {"sh", "-c", "echo 'wrapper: starting' >&2; exec \"$0\"", "--"},
	     seen_rows + write_error_rows + Rows{"stdout-null"}}),
	[](const auto &info) { return std::string(info.param.name); });

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

bool block_sigquit()
{
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGQUIT);
	return sigprocmask(SIG_SETMASK, &set, nullptr) == 0;
}

struct Refusal {
	const char *name;
	bool (*setup)();
	std::string out, err, status;
};

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.name; }

class MaskCalls : public testing::TestWithParam<Refusal> {};

TEST_P(MaskCalls, RefusedAreReportedNeverGuessed)
{
	if (emulated())
		GTEST_SKIP() << "the probe runs under " << facts["emulator"]
			     << ": a seccomp filter would act on the emulator's own calls";
	Start how;
	how.setup = GetParam().setup;
	Result r = spawn(command(facts["probe"]), how);
	ASSERT_EQ(r.how, Result::ran) << r.why;
	EXPECT_EQ(r.out, GetParam().out);
	EXPECT_EQ(r.err, GetParam().err);
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
	Refusal{"query_refused", [] { return refuse(SCMP_SYS(rt_sigprocmask), {SCMP_A1(SCMP_CMP_EQ, 0)}); }, "",
		"sigmask-probe: cannot read the signal mask: Operation not permitted\n"
		"sigmask-probe: cannot read the signal mask: Operation not permitted\n",
		"exit 1"},
	Refusal{"installation_refused",
		[] {
			return block_sigquit() &&
			       refuse(SCMP_SYS(rt_sigprocmask), {SCMP_A0(SCMP_CMP_EQ, SIG_SETMASK)});
		},
		inherited_mask_twice,
		"sigmask-probe: cannot set the signal mask: Operation not permitted\n"
		"sigmask-probe: cannot set the signal mask: Operation not permitted\n",
		"exit 1"},
	// The filter alone changes nothing: one on a call the probe never makes.
	Refusal{"unrelated_call_refused", [] { return refuse(SCMP_SYS(mkdir), {}); },
		both_reports, "", "exit 0"}),
	[](const auto &info) { return std::string(info.param.name); });

std::vector<std::string> all_matches(const std::string &text, const std::string &re)
{
	std::vector<std::string> found;
	std::regex r(re);
	for (std::sregex_iterator m(text.begin(), text.end(), r), end; m != end; ++m)
		found.push_back((*m)[1].str() + ((*m).size() > 2 ? "@" + (*m)[2].str() : ""));
	return found;
}

// Both programs are dynamic executables for the target, needing nothing
// beyond its libc6: the probe libc.so.6 alone, its signal calls and printf
// at the target's oldest versions of them (printf, not __printf_chk).  The newest version either imports is the
// one the package depends on, no older and no newer.
TEST(ElfFile, IsForTheTargetNeedingOnlyLibc)
{
	std::string loader = facts["interpreter"].substr(facts["interpreter"].rfind('/') + 1);
	const std::map<std::string, std::string> classic = {
		{"sigemptyset", facts["signal_glibc"]}, {"sigaddset", facts["signal_glibc"]},
		{"sigismember", facts["signal_glibc"]}, {"sigprocmask", facts["signal_glibc"]},
		{"printf", facts["printf_glibc"]}};
	struct {
		std::string file;
		std::vector<std::string> needed;
		std::map<std::string, std::string> classic;
	} const programs[] = {
		{facts["probe"], {"libc.so.6"}, classic},
		// The C++ runtime linked in may bring in the loader, also libc6's.
		{facts["check"], {"libc.so.6", loader}, {}},
	};
	std::string newest;
	for (const auto &program : programs) {
		SCOPED_TRACE(program.file);
		Result r = tool({"readelf", "-hldW", "--dyn-syms", program.file});
		ASSERT_EQ(describe(r), "exit 0") << r.err;
		EXPECT_TRUE(std::regex_search(r.out, std::regex("Class: +" + facts["elf_class"] + "\n")));
		EXPECT_TRUE(std::regex_search(r.out, std::regex("Machine: +.*" + facts["elf_machine"])));
		EXPECT_NE(r.out.find("program interpreter: " + facts["interpreter"] + "]"),
			  std::string::npos);
		auto needed = all_matches(r.out, "\\(NEEDED\\) +Shared library: \\[([^\\]]+)\\]");
		EXPECT_NE(std::find(needed.begin(), needed.end(), "libc.so.6"), needed.end());
		for (const auto &lib : needed)
			EXPECT_NE(std::find(program.needed.begin(), program.needed.end(), lib),
				  program.needed.end()) << lib;

		std::map<std::string, std::string> imports;
		for (const auto &import : all_matches(r.out, " UND ([^@ \n]+)@+([^ \n]+)")) {
			size_t at = import.find('@');
			imports[import.substr(0, at)] = import.substr(at + 1);
		}
		for (const auto &[name, version] : program.classic)
			EXPECT_EQ(imports[name], version) << name;
		for (const auto &[name, version] : imports)
			if (newest.empty() || strverscmp(version.c_str(), newest.c_str()) > 0)
				newest = version;
	}
	EXPECT_EQ(newest, facts["newest_glibc"]);
}

// A fresh directory, removed with everything in it afterwards.
struct TempDir {
	std::string path;
	TempDir()
	{
		std::string name = fs::temp_directory_path() / "sigmask-probe-XXXXXX";
		path = mkdtemp(name.data());
	}
	~TempDir() { fs::remove_all(path); }
};

std::vector<std::string> files_below(const std::string &dir)
{
	std::vector<std::string> files;
	for (const auto &entry : fs::recursive_directory_iterator(dir))
		if (!entry.is_directory())
			files.push_back(fs::relative(entry.path(), dir));
	std::sort(files.begin(), files.end());
	return files;
}

std::string slurp(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(in), {}};
}

const char probe_page[] = SOURCE_DIR "/src/sigmask-probe.1";
const char check_page[] = SOURCE_DIR "/src/sigmask-probe-check.1";

TEST(Install, LaysOutTheProgramsAndTheirManualPages)
{
	TempDir dest;
	Result r = tool({CMAKE_PROGRAM, "--install", facts["build_dir"], "--prefix", "/usr/local"},
			{"DESTDIR=" + dest.path});
	ASSERT_EQ(describe(r), "exit 0") << r.err;
	std::string root = dest.path + "/usr/local/";
	EXPECT_EQ(files_below(dest.path),
		  (std::vector<std::string>{"usr/local/bin/sigmask-probe",
					    "usr/local/bin/sigmask-probe-check",
					    "usr/local/share/man/man1/sigmask-probe-check.1",
					    "usr/local/share/man/man1/sigmask-probe.1"}));
	EXPECT_EQ(slurp(root + "bin/sigmask-probe"), slurp(facts["probe"]));
	EXPECT_EQ(slurp(root + "bin/sigmask-probe-check"), slurp(facts["check"]));
	EXPECT_EQ(slurp(root + "share/man/man1/sigmask-probe.1"), slurp(probe_page));
	EXPECT_EQ(slurp(root + "share/man/man1/sigmask-probe-check.1"), slurp(check_page));
}

TEST(Manual, PagesLintClean)
{
	for (const char *page : {probe_page, check_page}) {
		Result r = tool({"groff", "-man", "-ww", "-z", page});
		EXPECT_EQ(r.out + r.err, "") << page;
		EXPECT_EQ(describe(r), "exit 0") << page;
	}
}

TEST(Package, HoldsTheProgramsPagesAndLicence)
{
	const std::pair<const char *, std::string> fields[] = {
		{"Package", "sigmask-probe\n"},
		{"Architecture", facts["deb_arch"] + "\n"},
		{"Depends", "libc6 (>= " + facts["newest_glibc"].substr(6) + ")\n"},
		{"Section", "utils\n"},
	};
	for (const auto &[field, value] : fields)
		EXPECT_EQ(tool({"dpkg-deb", "-f", facts["package"], field}).out, value);
	EXPECT_NE(tool({"dpkg-deb", "-f", facts["package"], "Maintainer"}).out, "");
	std::string about = tool({"dpkg-deb", "-f", facts["package"], "Description"}).out;
	EXPECT_GE(std::count(about.begin(), about.end(), '\n'), 3) << "a summary and a long description";

	TempDir root;
	ASSERT_EQ(describe(tool({"dpkg-deb", "-x", facts["package"], root.path})), "exit 0");
	EXPECT_EQ(files_below(root.path),
		  (std::vector<std::string>{"usr/bin/sigmask-probe",
					    "usr/bin/sigmask-probe-check",
					    "usr/share/doc/sigmask-probe/changelog.gz",
					    "usr/share/doc/sigmask-probe/copyright",
					    "usr/share/man/man1/sigmask-probe-check.1.gz",
					    "usr/share/man/man1/sigmask-probe.1.gz"}));
	std::string man = root.path + "/usr/share/man/man1/";
	EXPECT_EQ(tool({"gzip", "-dc", man + "sigmask-probe.1.gz"}).out, slurp(probe_page));
	EXPECT_EQ(tool({"gzip", "-dc", man + "sigmask-probe-check.1.gz"}).out, slurp(check_page));
	std::string doc = root.path + "/usr/share/doc/sigmask-probe/";
	std::string changes = tool({"gzip", "-dc", doc + "changelog.gz"}).out;
	EXPECT_EQ(changes.substr(0, changes.find(')') + 1), "sigmask-probe (" + facts["version"] + ")");
	EXPECT_TRUE(std::regex_search(slurp(doc + "copyright"), std::regex("\nLicense: MIT\n")));

	EXPECT_EQ(spawn(command(root.path + "/usr/bin/sigmask-probe"), {}).out, both_reports);
}

TEST(Package, PassesLintian)
{
	Result r = tool({"lintian", "--tag-display-limit", "0", facts["package"]});
	EXPECT_FALSE(std::regex_search(r.out, std::regex("^[EW]: ", std::regex::multiline))) << r.out;
}

// Two builds of one tree at different times give the same bytes, once
// SOURCE_DATE_EPOCH pins the time stamps.
TEST(Package, IsReproducible)
{
	TempDir first, second;
	std::string config = facts["build_dir"] + "/CPackConfig.cmake";
	std::string epoch = "SOURCE_DATE_EPOCH=1765000000";
	ASSERT_EQ(describe(tool({CPACK_PROGRAM, "--config", config, "-B", first.path}, {epoch})), "exit 0");
	sleep(1);
	ASSERT_EQ(describe(tool({CPACK_PROGRAM, "--config", config, "-B", second.path}, {epoch})), "exit 0");
	std::string deb = facts["package"].substr(facts["package"].rfind('/'));
	EXPECT_EQ(slurp(first.path + deb), slurp(second.path + deb));
}

} // namespace

int main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	std::ifstream in(argc == 2 ? argv[1] : "");
	for (std::string line; std::getline(in, line);)
		facts[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
	if (facts["probe"].empty()) {
		fprintf(stderr, "usage: %s [gtest options] TEST-FACTS\n", argv[0]);
		return 2;
	}
	return RUN_ALL_TESTS();
}
