// SPDX-License-Identifier: MIT
// The launchers programs are really started by, where installed here: a
// container's init, and a language runtime through tools/launch/.  Each
// fails only the rows its file of known deviations names.

#include "helpers.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

struct Launcher {
	const char *name;	// also its file of known deviations
	Words words;		// before the probe; "@" is a program built from tools/launch
	Words build = {};	// how to build that program, with "@" where it goes
};

void PrintTo(const Launcher &l, std::ostream *os) { *os << l.name; }

class Launchers : public testing::TestWithParam<Launcher> {};

TEST_P(Launchers, FailOnlyTheirKnownRows)
{
	const Launcher &l = GetParam();
	const std::string &needs = l.build.empty() ? l.words[0] : l.build[0];
	if (describe(tool({"sh", "-c", "command -v \"$0\"", needs})) != "exit 0")
		GTEST_SKIP() << "no " << needs << " here";
	TempDir dir;
	std::string built = dir.path + "/launch";
	auto placed = [&](Words words) {
		for (std::string &w : words)
			if (w == "@")
				w = built;
		return words;
	};
	if (!l.build.empty()) {
		Outcome b = tool(placed(l.build), {"GOCACHE=" + dir.path + "/cache"});
		ASSERT_EQ(describe(b), "exit 0") << b.out.text << b.err.text;
	}
	Outcome r = tool(Words{fact("check"), "-k", l.name} + placed(l.words) + Words{fact("probe")});
	EXPECT_EQ(failed_rows(r.out.text), Rows{}) << r.out.text;
	EXPECT_EQ(describe(r), "exit 0") << r.out.text << r.err.text;
}

INSTANTIATE_TEST_SUITE_P(Table, Launchers, testing::Values(
	Launcher{"tini", {"tini", "-s", "--"}},
	Launcher{"tini-no-s", {"tini", "--"}},
	Launcher{"dumb-init", {"dumb-init"}},
	Launcher{"catatonit", {"catatonit", "--"}},
	Launcher{"node", {"node", SOURCE_DIR "/tools/launch/launch.js"}},
	Launcher{"python3-subprocess", {"/usr/bin/python3", SOURCE_DIR "/tools/launch/launch.py"}},
	Launcher{"go", {"@"}, {"go", "build", "-o", "@", SOURCE_DIR "/tools/launch/launch.go"}},
	Launcher{"rust", {"@"}, {"rustc", "-O", "-o", "@", SOURCE_DIR "/tools/launch/launch.rs"}}),
	[](const auto &info) { return std::regex_replace(info.param.name, std::regex("\\W"), "_"); });

} // namespace
