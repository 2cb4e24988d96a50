// SPDX-License-Identifier: MIT
// The test runner: runs sigmask-probe-check on the probe, on faulty probes
// and under faulty platforms and hostile surroundings; drives the probe's
// failed-call paths with seccomp filters; checks the programs' files,
// install tree, manual pages and package.  A host program: the build under
// test is described by the test-facts file named on the command line.

#include "helpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	std::ifstream in(argc == 2 ? argv[1] : "");
	for (std::string line; std::getline(in, line);)
		facts[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
	if (facts.empty()) {
		fprintf(stderr, "usage: %s [gtest options] TEST-FACTS\n", argv[0]);
		return 2;
	}
	return RUN_ALL_TESTS();
}
