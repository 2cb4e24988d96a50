// SPDX-License-Identifier: MIT
// Files of known deviations: rows that a platform is known to fail, each
// with the reason, reported as TODO.
#pragma once

#include "elf_facts.h"

#include <string>
#include <vector>

struct Known {
	std::string pattern, reason;
};

// What a line may be scoped to: the target of the probe.
struct KnownTarget {
	ElfFacts elf;		// the probe's; not an ELF file when it cannot be told
	bool foreign = false;	// this kernel cannot run the target's programs itself
};

// Reads file `name`: a path, or else the name of one of the package's
// files in data_dir.  One deviation a line: a shell pattern and the
// reason, after a scope when the line holds for some targets alone;
// # comments and blank lines.  A scope is a word that ends in ':', of
// comma-separated targets (as cmake/targets names them) or facts (32-bit,
// 64-bit, little-endian, big-endian, legacy-calls, foreign), any of them
// negated by '!': the line holds when one of its plain words does, or it
// has none, and none of its negated words does.  The lines that hold for
// target are read; each of their patterns must match one of rows.
// Throws UsageError, with the file and line, when it cannot.
std::vector<Known> read_known(const std::string &name, const std::string &data_dir,
			      const std::vector<std::string> &rows, const KnownTarget &target);

// The first deviation whose pattern matches row, or null.
const Known *known_for(const std::vector<Known> &known, const std::string &row);

// The name of the package's file for the platform program runs (its
// file name; any qemu-user emulator has qemu-user's), or "" when it has
// none.
std::string known_file_for(const std::string &program, const std::string &data_dir);
