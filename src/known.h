// SPDX-License-Identifier: MIT
// Files of known deviations: rows that a platform is known to fail, each
// with the reason, reported as TODO.
#pragma once

#include <string>
#include <vector>

struct Known {
	std::string pattern, reason;
};

// Reads file `name`: a path, or else the name of one of the package's
// files in data_dir.  One deviation a line, a shell pattern and the
// reason; # comments and blank lines.  Each pattern must match one of
// rows.  Throws UsageError, with the file and line, when it cannot.
std::vector<Known> read_known(const std::string &name, const std::string &data_dir,
			      const std::vector<std::string> &rows);

// The first deviation whose pattern matches row, or null.
const Known *known_for(const std::vector<Known> &known, const std::string &row);
