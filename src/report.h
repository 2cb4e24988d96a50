// SPDX-License-Identifier: MIT
// The check's report: its TAP lines, the YAML block of a row that failed,
// and text from the command made safe to show in them.
#pragma once

#include "spawn.h"

#include <stdexcept>
#include <string>
#include <vector>

// Writing our own output failed: an error of ours.
struct WriteError : std::runtime_error {
	using std::runtime_error::runtime_error;
};

// Writes text on standard output, whole, or throws WriteError.
void emit(const std::string &text);

// Text from the command as the report may show it: valid UTF-8 stays as
// it is; control characters, line and paragraph separators and direction
// overrides are escaped as a YAML double-quoted string reads them back
// (a double quote too, when quoted); a byte that is not UTF-8 becomes
// U+FFFD.  Cut after `most` bytes.
std::string escaped(const std::string &s, bool quoted, size_t most = std::string::npos);
// The same in double quotes.
std::string quoted(const std::string &s, size_t most = std::string::npos);
// Words as a shell reads them back, escaped.
std::string command_line(const std::vector<std::string> &words);

// One aspect of a row: what was expected and what came.
struct Field {
	std::string name, want, got;
	const Captured *captured = nullptr;	// where got came from, for what was cut
	bool matches() const;
};

// What the report says of one row.
struct RowReport {
	int number = 0;
	std::string name;
	std::string directive;	// "SKIP reason" or "TODO reason", or ""
	bool ok = true;
	std::string message;	// why it failed, in a few words
	std::string basis;	// where its expectations came from, when that is not plain
	std::vector<Field> fields;
	std::string reproduce;	// a command that sets the row up
	std::vector<std::string> notes;	// comment lines after it
};

// The row's TAP line and, when it failed, its YAML block: the fields that
// differ, what was cut of them, and how to reproduce it.
std::string tap_row(const RowReport &row);
