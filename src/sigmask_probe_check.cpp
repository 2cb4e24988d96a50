// SPDX-License-Identifier: MIT
// sigmask-probe-check: runs a probe command under a table of start
// conditions and says in TAP which ones come out as the probe documents,
// with a witness in the probe's place first to see each condition arrive.

#include "calls.h"
#include "conditions.h"
#include "elf_facts.h"
#include "first_program.h"
#include "judge.h"
#include "known.h"
#include "pool.h"
#include "report.h"
#include "start_state.h"
#include "usage_error.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <getopt.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

const char me[] = "sigmask-probe-check";

std::string directory_of(const std::string &path)
{
	size_t slash = path.rfind('/');
	return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The report's first lines: what ran on what.
std::string fingerprint(const std::vector<std::string> &command, const std::string &probe,
			const std::string &witness)
{
	std::string s = std::string("# ") + me + " " + VERSION + "\n# command: " +
			command_line(command) + "\n";
	if (!probe.empty()) {
		int error;
		std::string file = find_command(probe, &error);
		s += "# probe: " + escaped(probe, false) + ": " +
		     (file.empty() ? strerror(error) : elf_facts(file).text()) + "\n";
	}
	s += "# witness: " + escaped(witness, false) + "\n";
	struct utsname u;
	if (uname(&u) == 0)
		s += std::string("# kernel: ") + u.sysname + " " + u.release + " " + u.machine + "\n";
	return s;
}

// A row of the report: a start condition, or a case of the calls program.
struct Chosen {
	const Condition *c = nullptr;
	const CallCase *call = nullptr;
	std::string name() const { return c ? c->name : calls_prefix + std::string(call->name); }
};

// Every row, conditions first.
std::vector<Chosen> every_row()
{
	std::vector<Chosen> rows;
	for (const Condition &c : conditions)
		rows.push_back({&c});
	for (const CallCase &call : call_cases)
		rows.push_back({nullptr, &call});
	return rows;
}

// What a run of the check is about.
struct Plan {
	std::vector<std::string> command;	// the probe command
	std::string probe;			// the probe in it, when it can be told
	size_t place = 0;			// where it stands in it
	std::vector<std::string> witness;	// the same with the witness in place; empty: none
	std::string unverified;			// why there is no witness
	std::vector<std::string> calls;		// the same with the calls program; empty: none
	std::string no_calls;			// why there is no calls program
	ElfFacts calls_target;			// the calls program's
	ElfFacts witness_target;		// the witness's
	std::vector<std::string> args;		// the probe's own arguments in command
	std::vector<Chosen> chosen;
	std::vector<Known> known;
	bool with_known = false;
	std::string unasked_known;		// the package's file for the command, not asked for
	int timeout = 5, jobs = 1;
};

// Why a calls row cannot run here, or "": there is no calls program, or
// its target has no such calls.
std::string calls_unrunnable(const Plan &plan, const CallCase &call)
{
	return plan.calls.empty() ? plan.no_calls : calls_skip(call, plan.calls_target);
}

// The probe's target, for the scopes of known deviations: its ELF facts,
// and whether this kernel runs its programs itself, which the witness,
// started directly, tells.
KnownTarget known_target(const Plan &plan)
{
	KnownTarget target;
	int error;
	std::string file = plan.probe.empty() ? "" : find_command(plan.probe, &error);
	if (!file.empty())
		target.elf = elf_facts(file);
	if (!plan.witness.empty()) {
		Launch how;
		how.timeout = plan.timeout;
		Outcome direct = spawn({plan.witness[plan.place]}, how);
		target.foreign = direct.stage == Outcome::not_started;
	}
	return target;
}

// The calls program runs its cases side by side, each with a time limit of
// its own: its run has this many times the rows' time limit.
constexpr int calls_timeout_factor = 20;

// Runs command under condition c, with the row's arguments and
// environment.  Returns false when abort_fd told us to stop.
bool run_under(const Condition &c, std::vector<std::string> argv, int abort_fd, Outcome *into,
	       int timeout)
{
	std::vector<std::string> env;
	std::vector<char *> envp;
	Launch how = launch(c, timeout);
	// What this worker ignores, which its runs must not inherit: it is set
	// before the first run and stays.
	static const sigset_t ignored = ignored_signals();
	how.ignored = &ignored;
	if (c.args == Args::extra) {
		argv.insert(argv.end(), extra_args.begin(), extra_args.end());
		for (char **e = environ; *e; e++)
			env.push_back(*e);
		env.insert(env.end(), extra_env.begin(), extra_env.end());
	}
	for (auto &e : env)
		envp.push_back(e.data());
	envp.push_back(nullptr);
	if (c.args != Args::plain)
		how.envp = envp.data();
	bool aborted = false;
	*into = spawn(argv, how, abort_fd, &aborted);
	return !aborted;
}

// The plain start, whose witness run every other row is judged against.
const Condition &plain_start()
{
	return *std::find_if(conditions.begin(), conditions.end(), [](auto &c) { return c.baseline; });
}

// A job for a worker: a condition's row, the witness's run and then the
// probe's; the same from the plain start, when no row of it was chosen;
// or the calls program's run, from the plain start.
struct Job {
	enum Kind { row, baseline, calls } kind;
	const Condition *c;
	std::vector<std::string> cases = {};	// of the calls program: none, every one
	int stretch = 1;			// what the time limits are multiplied by
};

// The calls program's own limit on a case, in seconds.
constexpr int case_limit = 10;

bool work(const Plan &plan, const Job &job, int abort_fd, std::vector<Outcome> *outcomes)
{
	outcomes->resize(2);
	Outcome &first = (*outcomes)[0], &probe = (*outcomes)[1];
	int limit = plan.timeout * job.stretch;
	if (job.kind == Job::calls) {
		std::vector<std::string> argv = plan.calls;
		if (job.stretch > 1)
			argv.push_back("--case-limit=" + std::to_string(case_limit * job.stretch));
		argv.insert(argv.end(), job.cases.begin(), job.cases.end());
		return run_under(*job.c, argv, abort_fd, &first, limit * calls_timeout_factor);
	}
	if (!plan.witness.empty() && !run_under(*job.c, plan.witness, abort_fd, &first, limit))
		return false;
	if (first.stage == Outcome::not_set_up)
		return true;	// the probe would lack the same
	return run_under(*job.c, plan.command, abort_fd, &probe, limit);
}

// Limits are stretched this much for a row that ran out of time, when it
// runs again on its own: a slow platform is not a hung one.
constexpr int stretched = 4;

// One row of the report, as its runs come in.
struct Row {
	Chosen chosen;
	Outcome witness = {}, probe = {};
	bool done = false;
	bool alone = false;	// failed beside other rows, and run again on its own
	int stretch = 1;	// and so, with its time limits stretched this much
};

// Runs the rows, up to plan.jobs at once, and writes the report in table
// order as rows finish.  Returns the exit status.
int check(const Plan &plan)
{
	std::vector<Row> rows;
	std::vector<Job> jobs;
	bool any_calls = false;
	for (const Chosen &chosen : plan.chosen) {
		rows.push_back({chosen});
		if (chosen.c)
			jobs.push_back({Job::row, chosen.c});
		else if (!calls_unrunnable(plan, *chosen.call).empty())
			rows.back().done = true;	// skipped, nothing to run
		else
			any_calls = true;
	}
	// The plain start and the calls program are the first jobs, so that
	// they are in early.
	auto plain = std::find_if(jobs.begin(), jobs.end(), [](const Job &j) { return j.c->baseline; });
	bool any_conditions = !jobs.empty(), clean_start_chosen = plain != jobs.end();
	if (clean_start_chosen)
		std::rotate(jobs.begin(), plain, plain + 1);
	else if (any_conditions)
		jobs.insert(jobs.begin(), Job{Job::baseline, &plain_start()});
	if (any_calls)
		jobs.insert(jobs.begin() + (jobs.empty() ? 0 : 1), Job{Job::calls, &plain_start()});

	Basis basis;
	basis.verified = !plan.witness.empty();
	basis.target = plan.witness_target.elf ? &numbering_of(plan.witness_target) : &own_numbering();
	basis.args = plan.args;
	for (char **e = environ; *e; e++)
		basis.env.push_back(*e);
	StartState baseline;
	Outcome calls, calls_alone;
	bool have_basis = !any_conditions, have_calls = !any_calls;
	// Rows that fail while others run beside them, or that run out of
	// time, are held back, to be run again on their own once all have
	// run, the latter with their limits stretched: a row fails for itself,
	// and a slow platform is not a hung one.
	bool reruns_done = false;
	size_t printed = 0;
	int passed = 0, failed = 0, skipped = 0, known_failing = 0, fixed = 0;
	bool header = false, any_started = false;
	bool report_astray = false;	// the plain start's witness report, on stdout

	auto write_header = [&] {
		if (!header)
			emit("TAP version 13\n" +
			     fingerprint(plan.command, plan.probe,
					 plan.witness.empty() ? "none: " + plan.unverified
							      : command_line(plan.witness)) +
			     (report_astray ? "# the witness's report comes back on standard output, not on standard "
					      "error: the command puts the program's standard error on its standard "
					      "output, and every row fails for that\n"
					    : "") +
			     (plan.unasked_known.empty()
				      ? ""
				      : "# known deviations: none applied; -k " + plan.unasked_known +
						" applies this package's file for " +
						escaped(plan.command[0], false) + "\n") +
			     "1.." + std::to_string(rows.size()) + "\n");
		header = true;
	};
	// A calls row, from the calls program's run.
	auto judge_calls = [&](const CallCase &call, const Outcome &from, RowReport *report) {
		std::string why = calls_unrunnable(plan, call);
		if (!why.empty()) {
			report->directive = "SKIP " + why;
			return Verdict::skipped;
		}
		if (!judge_call(call, from, plan.calls_target, report))
			report->reproduce = command_line(plan.calls) + " " + call.name;
		return report->ok ? Verdict::passed : Verdict::failed;
	};
	auto judge_row = [&](const Row &row, RowReport *report) {
		report->name = row.chosen.name();
		if (!row.chosen.c)
			return judge_calls(*row.chosen.call, row.alone ? calls_alone : calls, report);
		Verdict verdict = judge(*row.chosen.c, row.witness, row.probe, basis, report);
		if (!report->ok)
			report->reproduce = reproducer(*row.chosen.c, plan.command);
		if (plan.witness.empty())
			report->notes.push_back("start state not verified");
		return verdict;
	};
	// Whether row ran out of time: its runs, or its case in the calls program.
	auto out_of_time = [&](const Row &row) {
		if (row.chosen.c)
			return row.witness.timed_out || row.probe.timed_out;
		const Outcome &from = row.alone ? calls_alone : calls;
		std::string seen;
		return from.timed_out || (calls_line(from.out.text, *row.chosen.call, &seen) && seen == "hung");
	};
	// Whether row, judged so, fails where no known deviation says so, in a
	// way that running it again on its own may change.
	auto run_again = [&](const Row &row, Verdict verdict, const Known *known) {
		return !reruns_done && !row.alone && verdict == Verdict::failed && !known &&
		       (plan.jobs > 1 || out_of_time(row));
	};
	auto to_run_again = [&](const Row &row) {
		RowReport report;
		Verdict verdict = judge_row(row, &report);
		return run_again(row, verdict, known_for(plan.known, report.name));
	};
	// Judges and writes the rows that are next in line, once what they
	// are judged against is in.
	auto write_ready = [&] {
		for (; printed < rows.size() && rows[printed].done; printed++) {
			Row &row = rows[printed];
			if (row.chosen.c ? !have_basis : !have_calls)
				break;
			RowReport report;
			report.number = static_cast<int>(printed) + 1;
			Verdict verdict = judge_row(row, &report);
			const Known *known = known_for(plan.known, report.name);
			if (run_again(row, verdict, known))
				break;
			int limit = row.chosen.c ? plan.timeout : case_limit;
			if (row.stretch == 0)
				report.notes.push_back("it ran out of time (" + std::to_string(limit) + " s), and was not run "
						       "again: two rows before it ran out of stretched limits on their own");
			else if (row.stretch > 1)
				report.notes.push_back("it ran out of time (" + std::to_string(limit) + " s); run again on its own "
						       "with a limit of " + std::to_string(limit * row.stretch) + " s, it " +
						       (verdict == Verdict::failed ? "failed again" : "passed"));
			else if (row.alone && verdict != Verdict::failed)
				report.notes.push_back("it failed while other rows ran beside it (-j " +
						       std::to_string(plan.jobs) + "), and passed run again on its own");
			if (known && verdict != Verdict::skipped)
				report.directive = "TODO " + known->reason;
			skipped += verdict == Verdict::skipped;
			passed += verdict == Verdict::passed;
			failed += verdict == Verdict::failed && !known;
			known_failing += verdict == Verdict::failed && known;
			fixed += verdict == Verdict::passed && known;
			write_header();
			emit(tap_row(report));
		}
	};
	// What the plain start's runs give every other row to be judged against.
	auto take_basis = [&](const Condition &c, const std::vector<Outcome> &outcomes) {
		const Outcome &w = outcomes[0];
		report_astray = w.err.text.find(WITNESS_TAG) == std::string::npos &&
				w.out.text.find(WITNESS_TAG) != std::string::npos;
		basis.baseline = nullptr;
		basis.platform_adds.clear();
		basis.platform_err.clear();
		basis.platform_err_lines.clear();
		if (basis.verified && w.stage == Outcome::ran && describe(w) == "exit 0" &&
		    parse_witness(w.err.text, &baseline)) {
			basis.baseline = &baseline;
			for (const Field &f : compare(c, baseline, basis, w.given))
				basis.platform_adds.push_back(f.name);
		}
		take_platform_err(outcomes[1], &basis);
		have_basis = true;
	};
	auto done = [&](size_t i, std::vector<Outcome> &outcomes) {
		const Job &job = jobs[i];
		if (job.kind == Job::calls) {
			calls = std::move(outcomes[0]);
			have_calls = true;
			for (Row &row : rows)
				row.done |= !row.chosen.c;
			write_ready();
			return;
		}
		if (job.c->baseline)
			take_basis(*job.c, outcomes);
		if (job.kind == Job::row) {
			Row &row = *std::find_if(rows.begin(), rows.end(), [&](auto &r) { return r.chosen.c == job.c; });
			row.witness = std::move(outcomes[0]);
			row.probe = std::move(outcomes[1]);
			row.done = true;
			if (row.probe.stage == Outcome::not_started && !any_started && !header &&
			    row.chosen.c->args == Args::plain)
				throw UsageError("cannot run " + escaped(plan.command[0], false) + ": " +
						 row.probe.why);
			any_started |= row.probe.stage == Outcome::ran;
		}
		write_ready();
	};

	// Runs rows again, one at a time: a condition's runs each, and the
	// calls program once for all its rows.
	auto run_alone = [&](const std::vector<Row *> &again) {
		std::vector<Job> alone;
		std::vector<Row *> by_job;
		Job calls_again{Job::calls, &plain_start()};
		for (Row *row : again) {
			row->stretch = out_of_time(*row) ? stretched : 1;
			row->alone = true;
			if (row->chosen.c) {
				alone.push_back({Job::row, row->chosen.c, {}, row->stretch});
				by_job.push_back(row);
			} else {
				calls_again.cases.push_back(row->chosen.call->name);
				calls_again.stretch = std::max(calls_again.stretch, row->stretch);
			}
		}
		for (Row *row : again)	// one run for them all, at the longest limit
			if (!row->chosen.c)
				row->stretch = calls_again.stretch;
		if (!calls_again.cases.empty()) {
			alone.push_back(calls_again);
			by_job.push_back(nullptr);
		}
		run_jobs(alone.size(), 1,
			 [&](size_t i, int abort_fd, std::vector<Outcome> *outcomes) {
				 return work(plan, alone.at(i), abort_fd, outcomes);
			 },
			 [&](size_t i, std::vector<Outcome> &outcomes) {
				 Row *row = by_job[i];
				 if (!row) {
					 calls_alone = std::move(outcomes[0]);
					 return;
				 }
				 if (row->chosen.c->baseline)
					 take_basis(*row->chosen.c, outcomes);
				 row->witness = std::move(outcomes[0]);
				 row->probe = std::move(outcomes[1]);
			 });
	};

	try {
		write_ready();	// rows with nothing to run may come first
		run_jobs(jobs.size(), plan.jobs,
			 [&](size_t i, int abort_fd, std::vector<Outcome> *outcomes) {
				 return work(plan, jobs.at(i), abort_fd, outcomes);
			 },
			 done);
		// The plain start first, which the others are judged against.
		auto plain_row = std::find_if(rows.begin() + printed, rows.end(),
					      [](const Row &r) { return r.chosen.c && r.chosen.c->baseline; });
		if (plain_row != rows.end() && to_run_again(*plain_row))
			run_alone({&*plain_row});
		// Rows out of time one at a time, until two have run out of their
		// stretched limits too: a platform that hangs still ends soon.
		std::vector<Row *> again;
		int hung_again = 0;
		for (auto row = rows.begin() + printed; row != rows.end(); ++row) {
			if (!to_run_again(*row))
				continue;
			if (!row->chosen.c || !out_of_time(*row)) {
				again.push_back(&*row);
			} else if (hung_again >= 2) {
				row->alone = true;	// as it was
				row->stretch = 0;
			} else {
				run_alone({&*row});
				hung_again += out_of_time(*row);
			}
		}
		run_alone(again);
		reruns_done = true;
		write_ready();
	} catch (const Interrupted &stop) {
		// The rows have ended: say so, and die of the same signal.
		try {
			write_header();
			emit("Bail out! interrupted by " + signal_name(stop.sig) + "\n");
		} catch (const WriteError &) {
		}
		die_of(stop.sig);
	} catch (const SpawnError &e) {
		if (header)
			emit(std::string("Bail out! ") + e.what() + "\n");
		throw;
	}
	// What every other row was judged against is reported by clean-start:
	// where that row was not chosen, say what it would have said.
	if (!clean_start_chosen && !basis.platform_adds.empty()) {
		std::string adds;
		for (const std::string &aspect : basis.platform_adds)
			adds += (adds.empty() ? "" : ", ") + aspect;
		emit("# clean-start, not chosen, fails: the plain start through this command differs in: " +
		     adds + "\n");
	}
	std::string summary = "# " + std::to_string(passed) + " passed, " + std::to_string(failed) +
			      " failed, " + std::to_string(skipped) + " skipped";
	if (plan.with_known)
		summary += ", " + std::to_string(known_failing) + " known, " + std::to_string(fixed) +
			   " fixed";
	if (plan.witness.empty())
		summary += "; start state not verified: " + escaped(plan.unverified, false);
	emit(summary + "\n");
	if (failed)
		return 1;
	return passed + known_failing ? 0 : 1;	// all skipped: nothing was judged
}

// Where this program lives: /proc/self/exe, or else argv[0] when it is a
// path; "" when neither tells.
std::string own_directory(const char *argv0)
{
	char self[4096];
	ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
	if (n > 0)
		return directory_of(std::string(self, n));
	return directory_of(argv0 ? argv0 : "");
}

// Where the probe stands in command: the word that names the default
// probe, or else the last one whose file name is sigmask-probe.
size_t probe_place(const std::vector<std::string> &command, const std::string &default_probe)
{
	for (size_t i = 0; i < command.size(); i++)
		if (command[i] == default_probe)
			return i;
	for (size_t i = command.size(); i-- > 0;)
		if (command[i].size() >= 13 && command[i].compare(command[i].size() - 13, 13, "sigmask-probe") == 0 &&
		    (command[i].size() == 13 || command[i][command[i].size() - 14] == '/'))
			return i;
	return std::string::npos;
}

void usage()
{
	emit("usage: sigmask-probe-check [OPTION]... [--] [COMMAND [ARG]...]\n"
	     "Runs COMMAND (default: the sigmask-probe beside this program) under each start\n"
	     "condition, with sigmask-probe-witness in the probe's place first to see the\n"
	     "condition arrive, and reports in TAP which ones come out as documented.\n"
	     "\n"
	     "  -l, --list             list the conditions and what each expects\n"
	     "  -o, --only=PATTERN     run only the conditions whose names match PATTERN\n"
	     "                         (a shell pattern; may be given more than once)\n"
	     "  -t, --timeout=SECONDS  kill a run that takes longer, 1 to 86400 (default 5)\n"
	     "  -j, --jobs=N           run up to N conditions at once (default: processors)\n"
	     "  -k, --known=FILE       report the deviations FILE lists as TODO; FILE may\n"
	     "                         name a file of this package's, such as qemu-user\n"
	     "  -w, --witness=FILE     the witness to put in the probe's place\n"
	     "      --explain=NAME     print a shell script that reproduces condition NAME\n"
	     "      --report=FILE      write the report on FILE instead of standard output\n"
	     "      --init             run as the first program of a system, as when this\n"
	     "                         is process 1 started as /init: power the machine\n"
	     "                         off at the end\n"
	     "  -h, --help             show this help\n"
	     "      --version          show the version\n");
}

long number(const char *option, const char *text, long least, long most)
{
	char *end;
	errno = 0;
	long n = strtol(text, &end, 10);
	if (errno || end == text || *end || n < least || n > most)
		throw UsageError(std::string("bad ") + option + ": " + escaped(text, false) + " (" +
				 std::to_string(least) + " to " + std::to_string(most) + ")");
	return n;
}

// The rows whose names match one of the patterns, or all when there are
// none.
std::vector<Chosen> choose(const std::vector<std::string> &patterns)
{
	std::vector<Chosen> rows = every_row();
	std::vector<bool> wanted(rows.size(), patterns.empty());
	for (const auto &pattern : patterns) {
		bool used = false;
		for (size_t i = 0; i < rows.size(); i++)
			if (fnmatch(pattern.c_str(), rows[i].name().c_str(), 0) == 0)
				wanted[i] = used = true;
		if (!used)
			throw UsageError("no condition matches " + escaped(pattern, false));
	}
	std::vector<Chosen> chosen;
	for (size_t i = 0; i < rows.size(); i++)
		if (wanted[i])
			chosen.push_back(rows[i]);
	return chosen;
}

// What --list says of a row.
std::string listed(const Chosen &row)
{
	char name[40];
	snprintf(name, sizeof name, "%-36s", row.name().c_str());
	if (row.c)
		return std::string(name) + " " + row.c->about + ": " + expectation(*row.c) + "\n";
	return std::string(name) + " " + row.call->about + ": " + row.call->expected + "\n";
}

// A script that runs one case of the calls program, with what Linux gives.
std::string explain_call(const CallCase &call, const Plan &plan)
{
	std::string why = calls_unrunnable(plan, call);
	return "# " + std::string(calls_prefix) + call.name + ": " + call.about + "\n" +
	       (plan.calls.empty() ? "# cannot run it: " + why + "\n"
				   : command_line(plan.calls) + " " + call.name + "\n") +
	       "# Linux: " +
	       (why.empty() ? "sigmask-probe-calls: " + std::string(call.name) + " " +
				      calls_expected(call, plan.calls_target, "")
			    : "skipped: " + why) +
	       "\n";
}

const struct option longopts[] = {
	{"list", no_argument, nullptr, 'l'},
	{"only", required_argument, nullptr, 'o'},
	{"timeout", required_argument, nullptr, 't'},
	{"jobs", required_argument, nullptr, 'j'},
	{"known", required_argument, nullptr, 'k'},
	{"witness", required_argument, nullptr, 'w'},
	{"explain", required_argument, nullptr, 'E'},
	{"report", required_argument, nullptr, 'R'},
	{"init", no_argument, nullptr, 'I'},
	{"help", no_argument, nullptr, 'h'},
	{"version", no_argument, nullptr, 'V'},
	{nullptr, 0, nullptr, 0},
};

// The word getopt stopped at: a long option as written, a short one alone
// (it may stand in a cluster).
std::string bad_word(char **argv)
{
	std::string word = argv[optind - 1];
	if (word.rfind("--", 0) == 0 && word.size() > 2)
		return word.substr(0, word.find('='));
	return optopt ? std::string("-") + static_cast<char>(optopt) : word;
}

// Writes the report on file instead of standard output; a terminal there
// gets its lines as written, without carriage returns.
void report_to(const std::string &file)
{
	if (!freopen(file.c_str(), "w", stdout))
		throw UsageError("cannot write the report on " + escaped(file, false) + ": " +
				 strerror(errno));
	struct termios t;
	if (tcgetattr(STDOUT_FILENO, &t) == 0) {
		t.c_oflag &= ~OPOST;
		tcsetattr(STDOUT_FILENO, TCSANOW, &t);
	}
}

int run(int argc, char **argv)
{
	Plan plan;
	plan.jobs = std::max(1L, std::min(sysconf(_SC_NPROCESSORS_ONLN), 64L));
	bool list = false, help = false, version = false;
	std::vector<std::string> only, known;
	std::string witness, explained;
	int opt;
	opterr = 0;	// one line of our own instead
	while ((opt = getopt_long(argc, argv, "+:lo:t:j:k:w:h", longopts, nullptr)) != -1) {
		switch (opt) {
		case 'l':
			list = true;
			break;
		case 'o':
			only.push_back(optarg);
			break;
		case 't':
			plan.timeout = number("time limit", optarg, 1, 86400);
			break;
		case 'j':
			plan.jobs = number("number of jobs", optarg, 1, 1024);
			break;
		case 'k':
			known.push_back(optarg);
			break;
		case 'w':
			witness = optarg;
			break;
		case 'E':
			explained = optarg;
			break;
		case 'R':	// at once: a mistake after it is reported there
			report_to(optarg);
			break;
		case 'I':	// seen before we got here
			break;
		case 'h':
			help = true;
			break;
		case 'V':
			version = true;
			break;
		case ':':
			throw UsageError("option needs an argument: " + escaped(bad_word(argv), false) + " (see --help)");
		default:
			throw UsageError("bad option: " + escaped(bad_word(argv), false) + " (see --help)");
		}
	}

	if (help || version) {
		if (help)
			usage();
		else
			emit(std::string(me) + " " + VERSION + "\n");
		return 0;
	}
	plan.chosen = choose(only);
	if (list) {
		for (const Chosen &row : plan.chosen)
			emit(listed(row));
		return 0;
	}

	std::string dir = own_directory(argv[0]);
	std::string default_probe = dir.empty() ? "" : dir + "sigmask-probe";
	plan.command.assign(argv + optind, argv + argc);
	if (plan.command.empty()) {
		if (default_probe.empty())
			throw UsageError("cannot tell where this program is, so name the probe command");
		plan.command.push_back(default_probe);
	}
	std::string data_dir = dir.empty() ? "" : dir + KNOWN_DIR;

	// The witness and the calls program take the probe's place.
	int error;
	size_t place = probe_place(plan.command, default_probe);
	if (place == std::string::npos) {
		if (!witness.empty())
			throw UsageError("--witness: no sigmask-probe in the command to stand in for");
		plan.unverified = plan.no_calls = "no sigmask-probe in the command";
	} else {
		plan.place = place;
		plan.args.assign(plan.command.begin() + place + 1, plan.command.end());
		plan.probe = plan.command[place];
		if (witness.empty())
			witness = directory_of(plan.probe) + "sigmask-probe-witness";
		if (std::string found = find_command(witness, &error); found.empty()) {
			plan.unverified = "no " + witness + ": " + strerror(error);
		} else {
			plan.witness = plan.command;
			plan.witness[place] = witness;
			plan.witness_target = elf_facts(found);
		}
		std::string calls = directory_of(plan.probe) + "sigmask-probe-calls";
		std::string file = find_command(calls, &error);
		if (file.empty()) {
			plan.no_calls = "no " + calls + ": " + strerror(error);
		} else {
			plan.calls.assign(plan.command.begin(), plan.command.begin() + place);
			plan.calls.push_back(calls);
			plan.calls_target = elf_facts(file);
		}
	}

	std::vector<std::string> names;
	for (const Chosen &row : every_row())
		names.push_back(row.name());
	if (!known.empty()) {
		KnownTarget target = known_target(plan);
		for (const auto &file : known) {
			auto more = read_known(file, data_dir, names, target);
			plan.known.insert(plan.known.end(), more.begin(), more.end());
		}
		plan.with_known = true;
	} else if (std::string file = known_file_for(plan.command[0], data_dir); !file.empty()) {
		plan.unasked_known = file;
	}

	if (!explained.empty()) {
		for (const Chosen &row : every_row()) {
			if (explained == row.name()) {
				emit(row.c ? explain(*row.c, plan.command) : explain_call(*row.call, plan));
				return 0;
			}
		}
		throw UsageError("no condition is named " + escaped(explained, false));
	}

	if (find_command(plan.command[0], &error).empty())
		throw UsageError("cannot run " + escaped(plan.command[0], false) + ": " + strerror(error));
	return check(plan);
}

} // namespace

int main(int argc, char **argv)
{
	bool first = first_program_wanted(argc, argv);
	if (first) {
		drop_kernel_words(&argc, argv);
		prepare_first_program();
	}
	// Our pipes must never land on 0, 1 or 2.  A stand-in there is read
	// only, so that writing to a closed standard output still fails.
	for (int fd = 0; fd < 3; fd++)
		if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) != fd)
			return 2;
	// What we rely on, whatever we were started with: children we wait
	// for, and everything they leave behind ends with us.
	signal(SIGCHLD, SIG_DFL);
	adopt_orphans();

	int status;
	// The line that says why, on standard error and, for a first program,
	// in the report; made in room set aside now, for want of memory too.
	std::string error;
	error.reserve(256);
	auto fail = [&](const char *what, const char *why) {
		error.append(me).append(": ").append(what).append(why);
		fprintf(stderr, "%s\n", error.c_str());
		status = 2;
	};
	try {
		status = run(argc, argv);
		if (fflush(stdout) != 0 || ferror(stdout))
			throw WriteError(strerror(errno ? errno : EIO));
	} catch (const UsageError &e) {
		fail("", e.what());
	} catch (const SpawnError &e) {
		fail("", e.what());
	} catch (const WriteError &e) {
		fail("write error: ", e.what());
	} catch (const std::bad_alloc &) {
		fail("", "cannot allocate memory");
	}
	end_children();
	if (first)
		power_off(status, error, stdout);
	// stdio must not try to write what failed once more at exit.
	if (status == 2 && ferror(stdout))
		_exit(status);
	return status;
}
