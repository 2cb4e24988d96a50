// SPDX-License-Identifier: MIT
// The signal numberings the check judges a target's program in, held
// against each architecture's kernel headers, and the translation between
// them by name.

#include "helpers.h"
#include "numbering.h"

#include <gtest/gtest.h>

#include <elf.h>

#include <cstdlib>
#include <regex>
#include <sstream>

#ifndef EM_ALPHA
#define EM_ALPHA 0x9026
#endif

namespace {

struct Headers {
	const char *triplet;	// of /usr/<triplet>/include, linux-libc-dev-*-cross's
	unsigned machine;
};

void PrintTo(const Headers &h, std::ostream *os) { *os << h.triplet; }

// What the kernel's <asm/signal.h> says, by the name after SIG: the
// classic signals, SIGRTMAX, the kernel's last, and the values of `how`.
std::map<std::string, long> header_values(const Words &include)
{
	TempDir dir;
	std::string source = "#include <asm/signal.h>\n@RTMAX SIGRTMAX\n@BLOCK SIG_BLOCK\n@UNBLOCK SIG_UNBLOCK\n"
			     "@SETMASK SIG_SETMASK\n";
	for (const char *name : {"HUP", "INT", "QUIT", "ILL", "TRAP", "ABRT", "EMT", "BUS", "FPE", "KILL", "USR1",
				 "SEGV", "USR2", "PIPE", "ALRM", "TERM", "STKFLT", "CHLD", "CONT", "STOP", "TSTP",
				 "TTIN", "TTOU", "URG", "XCPU", "XFSZ", "VTALRM", "PROF", "WINCH", "IO", "PWR", "SYS"})
		source += "@" + std::string(name) + " SIG" + name + "\n";
	Words argv = {"cpp", "-P", "-nostdinc"};
	for (const std::string &d : include)
		argv = argv + Words{"-I", d};
	Outcome cpp = tool(argv + Words{dir.file("signals.c", source)});
	EXPECT_EQ(describe(cpp), "exit 0") << cpp.err.text;
	std::map<std::string, long> values;
	std::istringstream lines(cpp.out.text);
	for (std::string line; std::getline(lines, line);) {
		std::smatch m;
		// A name the header lacks stays a name.
		if (std::regex_match(line, m, std::regex("@(\\w+) \\(?(0x[0-9a-fA-F]+|[0-9]+)\\)?")))
			values[m[1]] = std::strtol(m[2].str().c_str(), nullptr, 0);
	}
	return values;
}

class NumberingHeaders : public testing::TestWithParam<Headers> {};

TEST_P(NumberingHeaders, AreTheKernels)
{
	// A cross target's headers, or this machine's own.
	std::string triplet = GetParam().triplet;
	Words include = {"/usr/" + triplet + "/include"};
	if (!fs::exists(include[0] + "/asm/signal.h"))
		include = {"/usr/include/" + triplet, "/usr/include"};
	if (!fs::exists(include[0] + "/asm/signal.h"))
		GTEST_SKIP() << "no kernel headers for " << triplet << ": `make setup-test` installs them";
	ElfFacts target;
	target.elf = true;
	target.machine = GetParam().machine;
	const Numbering &n = numbering_of(target);
	std::map<std::string, long> h = header_values(include);
	for (const auto &[name, sig] : n.numbers)
		EXPECT_EQ(h.count(name) ? h[name] : 0, sig) << "SIG" << name;
	for (const auto &[name, value] : h) {
		if (name != "RTMAX" && name != "BLOCK" && name != "UNBLOCK" && name != "SETMASK" &&
		    name != "ABRT" && name != "IO") {	// SIGIOT's and SIGPOLL's other names
			EXPECT_EQ(n.number(name), value) << "SIG" << name << " is missing";
		}
	}
	// The generic headers leave their _NSIG, 64, to the kernel's own.
	EXPECT_EQ(n.set_bytes() * 8, h.count("RTMAX") ? h["RTMAX"] : 64);
	EXPECT_EQ(n.block, h["BLOCK"]);
	EXPECT_EQ(n.unblock, h["UNBLOCK"]);
	EXPECT_EQ(n.setmask, h["SETMASK"]);
}

INSTANTIATE_TEST_SUITE_P(Table, NumberingHeaders, testing::Values(
	Headers{"i686-linux-gnu", EM_386}, Headers{"x86_64-linux-gnu", EM_X86_64},
	Headers{"aarch64-linux-gnu", EM_AARCH64}, Headers{"arm-linux-gnueabihf", EM_ARM},
	Headers{"s390x-linux-gnu", EM_S390}, Headers{"riscv64-linux-gnu", EM_RISCV},
	Headers{"powerpc64le-linux-gnu", EM_PPC64}, Headers{"mipsel-linux-gnu", EM_MIPS},
	Headers{"mips64el-linux-gnuabi64", EM_MIPS}, Headers{"alpha-linux-gnu", EM_ALPHA},
	Headers{"hppa-linux-gnu", EM_PARISC}, Headers{"sparc64-linux-gnu", EM_SPARCV9}),
	[](const auto &info) { return std::regex_replace(info.param.triplet, std::regex("\\W"), "_"); });

// A signal goes from one numbering to another by its name, a real-time one
// by where it stands from the nearer end of the range; one the other
// numbering lacks goes nowhere.
TEST(Numbering, TranslatesByName)
{
	ElfFacts mips;
	mips.elf = true;
	mips.machine = EM_MIPS;
	const Numbering &from = numberings.front(), &to = numbering_of(mips);
	struct {
		int sig, there;
	} const cases[] = {{1, 1}, {7, 10}, {10, 16}, {16, 0}, {17, 18}, {19, 23}, {22, 27}, {31, 12},
			   {32, 32}, {35, 35}, {48, 48}, {49, 112}, {63, 126}, {64, 127}};
	for (const auto &c : cases) {
		EXPECT_EQ(translated(c.sig, from, to), c.there) << c.sig;
		if (c.there) {
			EXPECT_EQ(translated(c.there, to, from), c.sig) << c.there;
		}
	}
	EXPECT_EQ(translated(SignalSet::parse("1,10,34-64"), from, to).text(), "1,16,34-48,112-127");
	EXPECT_EQ(own_numbering().family, std::string("generic"));
}

} // namespace
