// SPDX-License-Identifier: MIT
// The programs' files, the install tree, the manual pages and the package.

#include "helpers.h"

#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <string>

namespace {

// The programs are dynamic executables for the target, needing nothing
// beyond its libc6: the probe and the witness libc.so.6 alone (alpha's
// libc.so.6.1, of libc6.1), the probe's
// signal calls and printf at the target's oldest versions of them (printf,
// not __printf_chk).  The newest version any imports is the one the
// package depends on, no older and no newer.
TEST(ElfFile, IsForTheTargetNeedingOnlyLibc)
{
	std::string loader = fact("interpreter").substr(fact("interpreter").rfind('/') + 1);
	const std::string libc = fact("libc").empty() ? "libc.so.6" : fact("libc");
	const std::map<std::string, std::string> classic = {
		{"sigemptyset", fact("signal_glibc")}, {"sigaddset", fact("signal_glibc")},
		{"sigismember", fact("signal_glibc")}, {"sigprocmask", fact("signal_glibc")},
		{"printf", fact("printf_glibc")}};
	struct {
		std::string file;
		Words needed;
		std::map<std::string, std::string> classic;
	} const programs[] = {
		{fact("probe"), {libc}, classic},
		{fact("witness"), {libc}, {}},
		{fs::path(fact("probe")).parent_path() / "sigmask-probe-calls", {libc}, {}},
		// The C++ runtime linked in may bring in the loader, also libc6's.
		{fact("check"), {libc, loader}, {}},
		{fs::path(fact("check")).parent_path() / "sigmask-probe-image", {libc, loader}, {}},
	};
	std::string newest;
	for (const auto &program : programs) {
		SCOPED_TRACE(program.file);
		// The lines it reads alone: a big program's symbols run past what
		// a run keeps.
		Outcome r = tool({"sh", "-c", "readelf -hldW --dyn-syms \"$0\" | grep -E 'Class:|Machine:|interpreter:|NEEDED|@'",
				  program.file});
		ASSERT_EQ(describe(r), "exit 0") << r.err.text;
		EXPECT_TRUE(std::regex_search(r.out.text, std::regex("Class: +" + fact("elf_class") + "\n")));
		EXPECT_TRUE(std::regex_search(r.out.text, std::regex("Machine: +.*" + fact("elf_machine"))));
		EXPECT_NE(r.out.text.find("program interpreter: " + fact("interpreter") + "]"), std::string::npos);
		auto needed = all_matches(r.out.text, "\\(NEEDED\\) +Shared library: \\[([^\\]]+)\\]");
		EXPECT_NE(std::find(needed.begin(), needed.end(), libc), needed.end());
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
	// Under an emulator the check runs under it too: what it adds there is
	// qemu-user-parent's.
	Outcome check = tool(command(bin + "sigmask-probe-check") +
			     Words{"-o", "clean-start", "-k", emulated() ? "qemu-user-parent" : "qemu-user"} +
			     command(bin + "sigmask-probe"));
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
	std::string libc = fact("libc").empty() ? "libc.so.6" : fact("libc");
	Words sysroot = fs::exists(triplet_root + "/lib/" + libc) ? Words{"--sysroot", triplet_root} : Words{};
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
	expected.push_back("lib/" + libc);
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
	// libc.so.6 is libc6's, alpha's libc.so.6.1 libc6.1's.
	std::string libc = std::regex_replace(fact("libc"), std::regex("^libc\\.so\\."), "libc");
	EXPECT_EQ(tool({"dpkg-deb", "-f", fact("package"), "Depends"}).out.text,
		  libc + " (>= " + fact("newest_glibc").substr(6) + ")\n");

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
