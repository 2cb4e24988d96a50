// SPDX-License-Identifier: MIT
// The check's reports: the same whatever the jobs, with known deviations,
// as harnesses and readers take them; and --explain's scripts for each row.

#include "helpers.h"
#include "usage_error.h"

#include <gtest/gtest.h>
#include <elf.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

namespace {

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
	for (unsigned machine : {EM_386, EM_X86_64, EM_AARCH64, EM_ARM, EM_S390, EM_RISCV, EM_PPC64, EM_MIPS, EM_PARISC,
				 EM_SPARCV9, EM_ALPHA})
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
		std::set<std::string> split_lines = lines(split, false);
		EXPECT_FALSE(split_lines.empty());
		for (const std::string &line : split_lines)
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
		{"armel", false, {"stdout-file", "stdout-null", "stdout-closed", "stdin-closed"}},
		{"s390x", false, {"stdout-file", "stdout-null", "stdout-closed", "stdin-closed"}},
		{"riscv64", true, {"stdout-file", "stdout-full", "stdin-closed"}},
		// Its kernel has the legacy calls' numbers, but not the calls.
		{"ppc64el", false, {"stdout-file", "stdin-closed"}},
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

} // namespace
