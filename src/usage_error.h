// SPDX-License-Identifier: MIT
// A usage error: the command line, or a file it names, is wrong.  The
// check says so in one line and exits 2.
#pragma once

#include <stdexcept>

struct UsageError : std::runtime_error {
	using std::runtime_error::runtime_error;
};
