// SPDX-License-Identifier: MIT
// The helpers the test files share (helpers.h says what each is for).

#include "helpers.h"

#include <fnmatch.h>

#include <algorithm>
#include <iterator>
#include <regex>
#include <sstream>

// A row of the table, as a failing test names it.
void PrintTo(const Condition &c, std::ostream *os)
{
	*os << c.name;
}

void PrintTo(const CallCase &c, std::ostream *os)
{
	*os << c.name;
}

std::map<std::string, std::string> facts;

// A fact of the build under test; asking for one it lacks is a mistake.
const std::string &fact(const std::string &key)
{
	auto found = facts.find(key);
	if (found == facts.end())
		throw std::out_of_range("test-facts has no " + key);
	return found->second;
}

Words words(const std::string &s)
{
	std::istringstream in(s);
	return {std::istream_iterator<std::string>(in), {}};
}

Words operator+(Words a, const Words &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

// How to run one of the build's programs: through the emulator, where this
// kernel needs one.
Words command(const std::string &program)
{
	return words(fact("emulator")) + Words{program};
}

bool emulated() { return !fact("emulator").empty(); }

// What the probe writes on a plain run; its first half, the first report.
const std::string both_reports =
	" signal 1 is blocked \n"
	" signal 2 is not blocked \n"
	" signal 3 is not blocked \n"
	" signal 4 is blocked \n"
	" signal 1 is not blocked \n"
	" signal 2 is blocked \n"
	" signal 3 is not blocked \n"
	" signal 4 is not blocked \n";
const std::string first_report = both_reports.substr(0, 96);

// Runs one of the platform's tools, in the C locale, with environment
// entries env added, and our search path unless env has one.
Outcome tool(const Words &argv, Words env, Launch how)
{
	const char *path = getenv("PATH");
	if (std::none_of(env.begin(), env.end(), [](auto &e) { return e.rfind("PATH=", 0) == 0; }))
		env.push_back(std::string("PATH=") + (path ? path : "/usr/bin:/bin"));
	env.push_back("LC_ALL=C");
	// A sanitized build's programs are told, as the tests are, to keep
	// their hands off the signals they are tested on.
	for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
		if (const char *value = getenv(name))
			env.push_back(std::string(name) + "=" + value);
	std::vector<char *> envp;
	for (auto &e : env)
		envp.push_back(e.data());
	envp.push_back(nullptr);
	how.envp = envp.data();
	how.timeout = how.timeout ? how.timeout : 120;
	return spawn(argv, how);
}

bool refuse(int syscall, std::vector<scmp_arg_cmp> args, int error)
{
	scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
	int rc = ctx ? 0 : -ENOMEM;
	for (uint32_t arch : std::initializer_list<uint32_t>{SCMP_ARCH_X86_64, SCMP_ARCH_X86})
		if (rc == 0 && seccomp_arch_exist(ctx, arch) == -EEXIST)
			rc = seccomp_arch_add(ctx, arch);
	if (rc == 0)
		rc = seccomp_rule_add_array(ctx, SCMP_ACT_ERRNO(error), syscall, args.size(), args.data());
	if (rc == 0)
		rc = seccomp_load(ctx);
	seccomp_release(ctx);
	errno = -rc;
	return rc == 0;
}

// The names of the rows of the table for which wanted holds.
Rows rows_where(const std::function<bool(const Condition &)> &wanted)
{
	Rows names;
	for (const Condition &c : conditions)
		if (wanted(c))
			names.insert(c.name);
	return names;
}

// Every row's name: the conditions', then the calls cases'.
Words every_row()
{
	Words names;
	for (const Condition &c : conditions)
		names.push_back(c.name);
	for (const CallCase &call : call_cases)
		names.push_back(calls_prefix + std::string(call.name));
	return names;
}

// The calls rows for which wanted holds.
Rows calls_where(const std::function<bool(const CallCase &)> &wanted)
{
	Rows names;
	for (const CallCase &call : call_cases)
		if (wanted(call))
			names.insert(calls_prefix + std::string(call.name));
	return names;
}

// The calls rows the build under test skips, for its target.
Rows calls_skipped()
{
	ElfFacts target = elf_facts(fact("probe"));
	return calls_where([&](const CallCase &call) { return !calls_skip(call, target).empty(); });
}

// The rows the check reported as failed, by name; with their TODO or not.
Rows failed_rows(const std::string &tap, bool todo)
{
	Rows names;
	std::regex not_ok(todo ? "^not ok [0-9]+ - (\\S+) # TODO .*$" : "^not ok [0-9]+ - (\\S+)$");
	std::smatch m;
	std::istringstream in(tap);
	for (std::string line; std::getline(in, line);)
		if (std::regex_match(line, m, not_ok))
			names.insert(m[1]);
	return names;
}

// The probe's target, as the scopes of known deviations see it: whether
// this kernel runs its programs is what the build found.
KnownTarget probe_target()
{
	return {elf_facts(fact("probe")), emulated()};
}

// The rows the files of known deviations named by files (space-separated)
// name for the probe's target.
Rows known_rows(const std::string &files)
{
	Rows names, skipped = calls_skipped();
	for (const std::string &name : words(files))
		for (const Known &k : read_known(SOURCE_DIR "/known/" + name, "", every_row(), probe_target()))
			for (const std::string &row : every_row())
				if (fnmatch(k.pattern.c_str(), row.c_str(), 0) == 0 && !skipped.count(row))
					names.insert(row);
	return names;
}

// The check's options for those files.
Words known_options(const std::string &files)
{
	Words options;
	for (const std::string &name : words(files))
		options = options + Words{"-k", name};
	return options;
}

std::string slurp(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> all_matches(const std::string &text, const std::string &re)
{
	std::vector<std::string> found;
	std::regex r(re);
	for (std::sregex_iterator m(text.begin(), text.end(), r), end; m != end; ++m)
		found.push_back((*m)[1].str() + ((*m).size() > 2 ? "@" + (*m)[2].str() : ""));
	return found;
}

const std::string me = "sigmask-probe-check: ";

Refusal unless(bool done) { return done ? Refusal{} : Refusal{"cannot set up"}; }

// The names in a boot image, a gzipped newc archive, in order.
Words names_in(const std::string &image)
{
	TempDir dir;
	tool({"sh", "-c", "gzip -dc \"$0\" >\"$1\"", image, dir.path + "/image"});
	std::string bytes = slurp(dir.path + "/image");
	Words names;
	auto field = [&](size_t at, int i) { return std::stoul(bytes.substr(at + 6 + 8 * i, 8), nullptr, 16); };
	for (size_t at = 0; at + 110 <= bytes.size() && bytes.compare(at, 6, "070701") == 0;) {
		size_t size = field(at, 6), name_size = field(at, 11);
		std::string name = bytes.substr(at + 110, name_size - 1);
		if (name == "TRAILER!!!")
			break;
		names.push_back(name);
		at = (at + 110 + name_size + 3) / 4 * 4;
		at = (at + size + 3) / 4 * 4;
	}
	return names;
}
