// SPDX-License-Identifier: MIT
// What the test files share: the facts of the build under test, running
// its programs and the platform's tools, the rows of the table by name,
// what the check reported, and temporary directories.

#pragma once

#include "calls.h"
#include "conditions.h"
#include "known.h"

#include <seccomp.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <errno.h>
#include <stdlib.h>

// A row of the table, as a failing test names it.
void PrintTo(const Condition &c, std::ostream *os);
void PrintTo(const CallCase &c, std::ostream *os);

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

// The test-facts file named on the command line, read by main.
extern std::map<std::string, std::string> facts;

// A fact of the build under test; asking for one it lacks is a mistake.
const std::string &fact(const std::string &key);

Words words(const std::string &s);
Words operator+(Words a, const Words &b);

// How to run one of the build's programs: through the emulator, where this
// kernel needs one.
Words command(const std::string &program);
bool emulated();

// What the probe writes on a plain run; its first half, the first report.
extern const std::string both_reports;
extern const std::string first_report;

// How the check starts its own errors.
extern const std::string me;

// A platform with one fault, named by its first argument (fake_platform.cpp).
const char fake_platform[] = FAKES "/fake-platform";

// Runs one of the platform's tools, in the C locale, with environment
// entries env added, and our search path unless env has one.
Outcome tool(const Words &argv, Words env = {}, Launch how = {});

// A set-up step that did or did not work.
Refusal unless(bool done);

// Makes a system call fail with error when its arguments match; the filter
// holds across exec.  Both x86 ABIs are covered, so that an i386 program
// on an amd64 kernel meets it too.
bool refuse(int syscall, std::vector<scmp_arg_cmp> args, int error = EPERM);

using Rows = std::set<std::string>;

// The names of the rows of the table for which wanted holds.
Rows rows_where(const std::function<bool(const Condition &)> &wanted);
// Every row's name: the conditions', then the calls cases'.
Words every_row();
// The calls rows for which wanted holds.
Rows calls_where(const std::function<bool(const CallCase &)> &wanted);
// The calls rows the build under test skips, for its target.
Rows calls_skipped();
// The rows the check reported as failed, by name; with their TODO or not.
Rows failed_rows(const std::string &tap, bool todo = false);

// The probe's target, as the scopes of known deviations see it: whether
// this kernel runs its programs is what the build found.
KnownTarget probe_target();
// The rows the files of known deviations named by files (space-separated)
// name for the probe's target.
Rows known_rows(const std::string &files);
// The check's options for those files.
Words known_options(const std::string &files);

std::string slurp(const std::string &path);
std::vector<std::string> all_matches(const std::string &text, const std::string &re);

// The names in a boot image, a gzipped newc archive, in order.
Words names_in(const std::string &image);

// A fresh directory, removed with everything in it afterwards.
struct TempDir {
	std::string path;
	TempDir()
	{
		std::string name = fs::temp_directory_path() / "sigmask-probe-XXXXXX";
		path = mkdtemp(name.data());
		fs::permissions(path, fs::perms::all);
	}
	~TempDir() { fs::remove_all(path); }
	std::string file(const std::string &name, const std::string &text) const
	{
		std::ofstream(path + "/" + name) << text;
		return path + "/" + name;
	}
};
