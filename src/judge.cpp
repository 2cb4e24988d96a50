// SPDX-License-Identifier: MIT
// Judging a row: see judge.h.
#include "judge.h"

#include "start_state.h"

#include "numbering.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <iterator>

namespace {

// Every signal a mask can hold on the target, as the C library fills a set:
// all but SIGKILL, SIGSTOP and the two it keeps for itself.
SignalSet blockable(const Numbering &target)
{
	return target.holdable() - SignalSet::of({target.rtmin, target.rtmin + 1});
}

std::string words(const std::vector<std::string> &list)
{
	std::string s;
	for (const auto &word : list)
		s += (s.empty() ? "" : " ") + shell_quoted(word);
	return s.empty() ? "none" : s;
}

// The arguments after the program's name.
std::vector<std::string> after_name(const std::vector<std::string> &argv)
{
	return argv.empty() ? argv : std::vector<std::string>(argv.begin() + 1, argv.end());
}

// A set the witness could not read says nothing to build on.
SignalSet read_or_none(const SignalSet &s)
{
	return s.known ? s : SignalSet();
}

// The start state the check hands over on the plain start, descriptors as
// given.
StartState ideal_start(const Basis &basis, const std::string (&given)[3])
{
	StartState s;
	std::copy(std::begin(given), std::end(given), s.fd);
	s.tty = "none";
	s.args = {""};
	s.args.insert(s.args.end(), basis.args.begin(), basis.args.end());
	s.env = basis.env;
	return s;
}

// A descriptor as given, with the file status flags that seen, the same
// descriptor on the plain start, had besides: what the platform sets on
// every program's standard streams.
std::string with_flags_of(const std::string &given, const std::string &seen)
{
	size_t mode = seen.rfind('/'), flags = seen.find('+', mode == std::string::npos ? 0 : mode);
	if (given == "closed" || given.find('+') != std::string::npos || flags == std::string::npos)
		return given;
	return given + seen.substr(flags);
}

// What c should hand over, starting from base: c's own changes applied to
// it.  A row that blocks every signal, or leaves no environment, expects
// exactly that.
StartState expected_state(const Condition &c, const StartState &base, const std::string (&given)[3],
			  const Numbering &target)
{
	StartState e = base;
	// The row's signals are the check's; what the witness saw, the target's.
	auto in_target = [&](const Signals &sigs) {
		return translated(SignalSet::of(sigs), own_numbering(), target);
	};
	e.blocked = c.block_all ? blockable(target) : read_or_none(base.blocked) | in_target(blocked(c));
	e.pending = read_or_none(base.pending) | in_target(c.pending);
	SignalSet ignored = in_target(left_ignored(c));
	e.ignored = read_or_none(base.ignored) | ignored;
	e.caught = read_or_none(base.caught) - ignored;
	for (int fd = 0; fd < 3; fd++)
		e.fd[fd] = with_flags_of(given[fd], base.fd[fd]);
	if (c.out == Out::terminal)
		e.tty = c.background ? "background" : "foreground";
	if (c.args == Args::extra) {
		e.args.insert(e.args.end(), extra_args.begin(), extra_args.end());
		for (const std::string &entry : extra_env) {
			std::string name = entry.substr(0, entry.find('=') + 1);
			std::erase_if(e.env, [&](const std::string &v) { return v.rfind(name, 0) == 0; });
			e.env.push_back(entry);
		}
	} else if (c.args == Args::no_env) {
		e.env.clear();
	}
	return e;
}

// Whether c expects aspect whatever the plain start showed.
bool absolute(const Condition &c, const std::string &aspect)
{
	return (aspect == "blocked" && c.block_all) || (aspect == "env" && c.args == Args::no_env);
}

// The entries of a that b lacks, both sorted, counting repeats.
std::vector<std::string> lacking(const std::vector<std::string> &a, const std::vector<std::string> &b)
{
	std::vector<std::string> d;
	std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(d));
	return d;
}

// Variables the platform set itself on the plain start, which it may give
// another value each run (fakeroot's key): past clean-start, their names
// are compared, not their values.
void own_values_hidden(const Basis &basis, std::vector<std::string> *env)
{
	if (!basis.baseline)
		return;
	for (const std::string &set : basis.baseline->env) {
		if (std::find(basis.env.begin(), basis.env.end(), set) != basis.env.end())
			continue;
		std::string name = set.substr(0, set.find('=') + 1);
		for (std::string &entry : *env)
			if (entry.rfind(name, 0) == 0 && name.size() > 1)
				entry = name + "(its own)";
	}
}

// The environment, compared as the set of entries it is: what was
// expected and what came, or nothing when they agree.
std::vector<Field> compare_env(const Condition &c, const Basis &basis, std::vector<std::string> want,
			       std::vector<std::string> got)
{
	if (!c.baseline && c.args != Args::no_env) {
		own_values_hidden(basis, &want);
		own_values_hidden(basis, &got);
	}
	std::sort(want.begin(), want.end());
	std::sort(got.begin(), got.end());
	if (want == got)
		return {};
	if (c.args == Args::no_env)
		return {{"env", "none", words(got)}};
	std::string expected = c.baseline ? "as handed over" : "as on the plain start";
	if (c.args == Args::extra)
		expected += ", with " + words(extra_env);
	std::string diff;
	if (auto added = lacking(got, want); !added.empty())
		diff = "added " + words(added);
	if (auto missing = lacking(want, got); !missing.empty())
		diff += (diff.empty() ? "" : "; ") + std::string("missing ") + words(missing);
	return {{"env", expected, diff}};
}

// What the witness makes of a row: the differences, as fields.
// Where the witness's run differs from what row c should have handed
// over; and, in message, how.  A run with no report at all tells nothing
// of the condition: the command never started the witness under it, or
// lost what it said.
std::vector<Field> witness_fields(const Condition &c, const Outcome &w, const Basis &basis,
				  std::string *message)
{
	*message = "the condition did not arrive as set";
	if (w.stage != Outcome::ran)
		return {{"witness", "its report", "cannot run: " + w.why}};
	StartState seen;
	bool reported = parse_witness(w.err.text, &seen);
	if (!reported && w.out.text.find(WITNESS_TAG) != std::string::npos)
		*message = "the witness's report came back on standard output, not on standard error: "
			   "the command puts the program's standard error on its standard output";
	else if (!reported)
		*message = "the witness's report never came back: the command did not start it under this condition, or lost its report";
	if (!reported || (describe(w) != "exit 0" && !w.timed_out))
		return {{"witness", "its report, exit 0",
			 (reported ? "a report, " : "no report, ") + describe(w)},
			{"witness stderr", "", w.err.text, &w.err}};
	std::vector<Field> fields = compare(c, seen, basis, w.given);
	if (w.timed_out) {	// as tini does with SIGCHLD ignored
		*message = fields.empty() ? "the condition arrived as set; then the command did not end"
					  : "the condition did not arrive as set; then the command did not end";
		fields.push_back({"witness", "exit 0", "a report, timed out"});
	} else if (fields.size() == 1 && fields[0].name == "terminal" && fields[0].got == "unknown") {
		*message = "whether the program is in its terminal's foreground cannot be told: "
			   "its process groups read 0, as in a PID namespace that does not hold them";
	}
	return fields;
}

// A line with every run of digits as one '#': the PIDs and times a
// platform writes change from run to run.
std::string numbers_aside(const std::string &line)
{
	std::string s;
	for (size_t i = 0; i < line.size(); i++) {
		bool digit = isdigit(static_cast<unsigned char>(line[i]));
		if (!digit)
			s += line[i];
		else if (i == 0 || !isdigit(static_cast<unsigned char>(line[i - 1])))
			s += '#';
	}
	return s;
}

// text a line each, the last one without its newline if it has none.
std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	for (size_t at = 0; at < text.size();) {
		size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
		lines.push_back(text.substr(at, end - at));
		at = end;
	}
	return lines;
}

// What is left of text once the platform's lines are taken out of it, in
// the order they stood; any of them may be missing.
std::string besides_platform(const std::string &text, const std::vector<std::string> &platform)
{
	std::string rest;
	auto next = platform.begin();
	for (const std::string &line : lines_of(text)) {
		auto found = std::find(next, platform.end(), numbers_aside(line));
		if (found == platform.end())
			rest += line;
		else
			next = found + 1;
	}
	return rest;
}

// Standard error holds the probe's documented line or nothing, besides
// what the platform writes for every program: any other line, whoever
// wrote it, is a difference in what ran.  The plain start holds nothing.
Field stderr_field(const Condition &c, const Outcome &r, const Basis &basis)
{
	if (c.baseline || basis.platform_err_lines.empty())
		return {"stderr", c.diagnostic, r.err.text, &r.err};
	if (besides_platform(r.err.text, basis.platform_err_lines) == c.diagnostic)
		return {"stderr", r.err.text, r.err.text, &r.err};
	return {"stderr", basis.platform_err + c.diagnostic, r.err.text, &r.err};
}

} // namespace

void take_platform_err(const Outcome &plain, Basis *basis)
{
	if (plain.stage != Outcome::ran || describe(plain) != "exit 0" || plain.err.text.empty() ||
	    plain.err.size != plain.err.text.size())
		return;
	basis->platform_err = plain.err.text;
	for (const std::string &line : lines_of(plain.err.text))
		basis->platform_err_lines.push_back(numbers_aside(line));
	basis->platform_adds.push_back("stderr");
}

std::vector<Field> compare(const Condition &c, const StartState &seen, const Basis &basis,
			   const std::string (&given)[3])
{
	StartState ideal = ideal_start(basis, given);
	StartState want =
		expected_state(c, c.baseline || !basis.baseline ? ideal : *basis.baseline, given,
			       basis.target ? *basis.target : own_numbering());
	std::vector<Field> found;
	auto check = [&](bool touched, const char *aspect, const std::string &expected,
			 const std::string &got) {
		if ((touched || c.baseline) && expected != got)
			found.push_back({aspect, expected, got});
	};
	check(c.block_all || !blocked(c).empty(), "blocked", want.blocked.text(), seen.blocked.text());
	check(!c.pending.empty(), "pending", want.pending.text(), seen.pending.text());
	check(touches_dispositions(c), "ignored", want.ignored.text(), seen.ignored.text());
	check(touches_dispositions(c), "caught", want.caught.text(), seen.caught.text());
	// A descriptor that differs is shown with what it is, where it has a path.
	auto check_fd = [&](bool touched, int fd) {
		const char *aspect[] = {"fd0", "fd1", "fd2"};
		check(touched, aspect[fd], want.fd[fd], seen.fd[fd]);
		if (!found.empty() && found.back().name == aspect[fd] && !seen.path[fd].empty())
			found.back().got += " (" + seen.path[fd] + ")";
	};
	check_fd(c.close_stdin, 0);
	check_fd(c.out != Out::pipe, 1);
	check_fd(false, 2);
	check(c.out == Out::terminal, "terminal", want.tty, seen.tty);
	check(c.args == Args::extra, "args", words(after_name(want.args)), words(after_name(seen.args)));
	if (c.args != Args::plain || c.baseline)
		for (const Field &f : compare_env(c, basis, want.env, seen.env))
			found.push_back(f);
	return found;
}

Verdict judge(const Condition &c, const Outcome &witness, const Outcome &probe, const Basis &basis,
	      RowReport *report)
{
	const Outcome &r = probe;
	if (r.stage == Outcome::not_set_up || witness.stage == Outcome::not_set_up) {
		report->ok = true;
		report->directive = "SKIP " + (r.stage == Outcome::not_set_up ? r.why : witness.why);
		return Verdict::skipped;
	}
	std::vector<Field> &fields = report->fields;
	if (basis.verified) {
		std::string message;
		fields = witness_fields(c, witness, basis, &message);
		if (!fields.empty())
			report->message = message;
	}
	if (r.stage == Outcome::not_started) {
		fields.push_back({"probe", "to start", "cannot run: " + r.why});
	} else {
		fields.push_back({"stdout", expected_out(c), r.out.text, &r.out});
		fields.push_back(stderr_field(c, r, basis));
		fields.push_back({"status", c.status.text(), describe(r)});
		if (r.timed_out)
			report->message += std::string(report->message.empty() ? "" : "; ") + "timed out";
	}
	// Say so where an expectation was built on what the platform adds.
	std::string adds;
	for (const Field &f : fields)
		if (!c.baseline && !f.matches() && !absolute(c, f.name) &&
		    std::find(basis.platform_adds.begin(), basis.platform_adds.end(), f.name) !=
			    basis.platform_adds.end())
			adds += (adds.empty() ? "" : ", ") + f.name;
	if (!adds.empty())
		report->basis = "as clean-start saw it through this command, plus this row's own changes; "
				"clean-start differs in: " + adds;
	if (adds.find("stderr") != std::string::npos)
		report->basis += "; the platform's lines on stderr there, numbers aside, are expected "
				 "where they stood, with the row's own";
	report->ok = std::all_of(fields.begin(), fields.end(), [](const Field &f) { return f.matches(); });
	return report->ok ? Verdict::passed : Verdict::failed;
}
