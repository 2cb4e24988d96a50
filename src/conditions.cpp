// SPDX-License-Identifier: MIT
// The table of start conditions: see conditions.h.
#include "conditions.h"

#include <algorithm>
#include <csignal>
#include <cstring>

namespace {

const char first_report[] =
	" signal 1 is blocked \n"
	" signal 2 is not blocked \n"
	" signal 3 is not blocked \n"
	" signal 4 is blocked \n";
const char second_report[] =
	" signal 1 is not blocked \n"
	" signal 2 is blocked \n"
	" signal 3 is not blocked \n"
	" signal 4 is not blocked \n";

// A signal blocked and pending at exec that the first mask releases: the
// probe writes nothing and dies of it.
Condition released_at_once(const char *name, int sig)
{
	return {.name = name, .about = signal_name(sig) + " blocked and pending", .pending = {sig},
		.report = Report::none, .status = killed(sig)};
}

} // namespace

const std::vector<Condition> conditions = {
	{.name = "clean-start", .about = "nothing set; the whole start state is compared",
	 .baseline = true},
	{.name = "stdout-pipe", .about = "standard output a pipe"},
	{.name = "stdout-file", .about = "standard output a regular file", .out = Out::file},
	{.name = "stdout-terminal", .about = "standard output a terminal", .out = Out::terminal},
	{.name = "stdout-null", .about = "standard output /dev/null", .out = Out::null},
	{.name = "stdout-closed", .about = "standard output closed", .out = Out::closed,
	 .report = Report::none, .diagnostic = "sigmask-probe: write error: Bad file descriptor\n",
	 .status = exited(1)},
	{.name = "stdout-full", .about = "standard output /dev/full", .out = Out::full,
	 .report = Report::none,
	 .diagnostic = "sigmask-probe: write error: No space left on device\n", .status = exited(1)},
	{.name = "stdout-reader-gone", .about = "standard output a pipe whose reader has gone",
	 .out = Out::reader_gone, .report = Report::none, .status = killed(SIGPIPE)},
	{.name = "stdout-reader-gone-sigpipe-ignored",
	 .about = "the same, SIGPIPE ignored", .out = Out::reader_gone, .ignore = {SIGPIPE},
	 .report = Report::none, .diagnostic = "sigmask-probe: write error: Broken pipe\n",
	 .status = exited(1)},
	// The probe's stop when its write to the terminal is refused: orphaned,
	// its job gets EIO instead of SIGTTOU, once the first mask has replaced
	// the inherited block.
	{.name = "background-ttou-ignored",
	 .about = "a background job on its terminal, TOSTOP set, SIGTTOU ignored",
	 .out = Out::terminal, .background = true, .ignore = {SIGTTOU}},
	{.name = "background-ttou-blocked",
	 .about = "a background job on its terminal, TOSTOP set, SIGTTOU blocked",
	 .out = Out::terminal, .background = true, .block = {SIGTTOU}, .report = Report::none,
	 .diagnostic = "sigmask-probe: write error: Input/output error\n", .status = exited(1)},
	{.name = "stdin-closed", .about = "standard input closed", .close_stdin = true},
	{.name = "mask-sigquit", .about = "SIGQUIT blocked", .block = {SIGQUIT}},
	{.name = "mask-all", .about = "every signal blocked", .block_all = true},
	{.name = "sigchld-blocked", .about = "SIGCHLD blocked", .block = {SIGCHLD}},
	{.name = "signals-1-to-4-ignored", .about = "signals 1 to 4 ignored",
	 .ignore = {SIGHUP, SIGINT, SIGQUIT, SIGILL}},
	{.name = "sigchld-ignored", .about = "SIGCHLD ignored", .ignore = {SIGCHLD}},
	{.name = "args-and-env", .about = "extra arguments and environment entries",
	 .args = Args::extra},
	{.name = "no-env", .about = "no environment at all", .args = Args::no_env},
	// The first mask holds SIGHUP and SIGILL; the second releases them.
	{.name = "sighup-pending-pipe", .about = "SIGHUP blocked and pending", .pending = {SIGHUP},
	 .report = Report::first, .status = killed(SIGHUP)},
	{.name = "sighup-pending-file", .about = "SIGHUP blocked and pending, standard output a file",
	 .out = Out::file, .pending = {SIGHUP}, .report = Report::first, .status = killed(SIGHUP)},
	{.name = "sighup-caught-pending", .about = "SIGHUP caught by a handler, blocked and pending",
	 .handle = {SIGHUP}, .pending = {SIGHUP}, .report = Report::first,
	 .status = killed(SIGHUP)},
	{.name = "sighup-pending-ignore-undone",
	 .about = "SIGHUP ignored, blocked, raised, then back to its default", .ignore = {SIGHUP},
	 .pending = {SIGHUP}, .restore = {SIGHUP}, .report = Report::first,
	 .status = killed(SIGHUP)},
	{.name = "sigill-pending", .about = "SIGILL blocked and pending", .pending = {SIGILL},
	 .report = Report::first, .status = killed(SIGILL)},
	// The first mask releases these before anything is written.
	released_at_once("sigint-pending", SIGINT),
	released_at_once("sigquit-pending", SIGQUIT),
	released_at_once("sigtrap-pending", SIGTRAP),
	released_at_once("sigbus-pending", SIGBUS),
	released_at_once("sigfpe-pending", SIGFPE),
	released_at_once("sigsegv-pending", SIGSEGV),
	released_at_once("sigsys-pending", SIGSYS),
	released_at_once("sigrtmin-pending", SIGRTMIN),
	released_at_once("sigrtmin+1-pending", SIGRTMIN + 1),
	released_at_once("sigrtmax-1-pending", SIGRTMAX - 1),
	released_at_once("sigrtmax-pending", SIGRTMAX),
	// Real-time signals go lowest number first, whatever their order.
	{.name = "two-rt-pending", .about = "SIGRTMIN+3, then SIGRTMIN+2, blocked and pending",
	 .pending = {SIGRTMIN + 3, SIGRTMIN + 2}, .report = Report::none,
	 .status = killed(SIGRTMIN + 2)},
	// Ignored, the released SIGHUP is dropped.
	{.name = "sighup-pending-ignored", .about = "SIGHUP ignored, blocked and pending",
	 .ignore = {SIGHUP}, .pending = {SIGHUP}},
};

const std::vector<std::string> extra_args = {"--help", "-", "", "2"};
const std::vector<std::string> extra_env = {
	"SIGMASK_PROBE_EMPTY=", "SIGMASK_PROBE_EQUALS=a=b",
	"SIGMASK_PROBE_WORDS=two words, \"quoted\" and \xc3\xbc"};

std::string Status::text() const
{
	return signalled ? "killed by " + signal_name(number) : "exit " + std::to_string(number);
}

namespace {

void handler(int) {}

Signals without(Signals sigs, const Signals &gone)
{
	sigs.erase(std::remove_if(sigs.begin(), sigs.end(),
				  [&](int sig) {
					  return std::find(gone.begin(), gone.end(), sig) != gone.end();
				  }),
		   sigs.end());
	return sigs;
}

} // namespace

Signals blocked(const Condition &c)
{
	Signals sigs = c.block;
	sigs.insert(sigs.end(), c.pending.begin(), c.pending.end());
	return sigs;
}

Signals left_ignored(const Condition &c)
{
	return without(without(c.ignore, c.handle), c.restore);
}

bool touches_dispositions(const Condition &c)
{
	return !c.ignore.empty() || !c.handle.empty() || !c.restore.empty();
}

Refusal set_up(const Condition &c)
{
	for (int sig : c.ignore)
		if (signal(sig, SIG_IGN) == SIG_ERR)
			return {"cannot ignore", sig};
	for (int sig : c.handle)
		if (signal(sig, handler) == SIG_ERR)
			return {"cannot catch", sig};
	sigset_t set;
	sigemptyset(&set);
	if (c.block_all)
		sigfillset(&set);
	for (int sig : blocked(c))
		sigaddset(&set, sig);
	if (sigprocmask(SIG_BLOCK, &set, nullptr) < 0)
		return {"cannot block signals"};
	for (int sig : c.pending)
		if (kill(getpid(), sig) < 0)
			return {"cannot raise", sig};
	for (int sig : c.restore)
		if (signal(sig, SIG_DFL) == SIG_ERR)
			return {"cannot restore", sig};
	return {};
}

Launch launch(const Condition &c, int timeout)
{
	Launch how;
	how.out = c.out;
	how.close_stdin = c.close_stdin;
	how.background = c.background;
	how.setup = [&c] { return set_up(c); };
	how.timeout = timeout;
	return how;
}

std::string expected_out(const Condition &c)
{
	std::string out;
	if (c.out == Out::null || c.report == Report::none)
		return out;
	out = first_report;
	if (c.report == Report::both)
		out += second_report;
	if (c.out == Out::terminal) {	// the line discipline's ONLCR
		std::string crlf;
		for (char ch : out)
			crlf += ch == '\n' ? "\r\n" : std::string(1, ch);
		out = crlf;
	}
	return out;
}

std::string expectation(const Condition &c)
{
	const char *what[] = {"nothing", "first report", "both reports"};
	std::string s = what[static_cast<int>(c.report)];
	if (c.report != Report::none && c.out == Out::terminal)
		s += " (CR LF)";
	else if (c.report != Report::none && c.out == Out::null)
		s += " (discarded)";
	if (*c.diagnostic)
		s += ", stderr \"" + std::string(c.diagnostic, strlen(c.diagnostic) - 1) + "\"";
	return s + ", " + c.status.text();
}

std::string shell_quoted(const std::string &word)
{
	if (!word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
						    "0123456789_@%+=:,./-") == std::string::npos)
		return word;
	std::string q = "'";
	for (char ch : word)
		q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
	return q + "'";
}

namespace {

std::string perl_signals(const Signals &sigs)
{
	std::string s;
	for (int sig : sigs)
		s += (s.empty() ? "" : ", ") + std::to_string(sig);
	return s;
}

// Perl, from perl-base, gives the clean start and sets the condition up,
// then execs the command.
std::string perl(const Condition &c)
{
	std::string code = "sigprocmask(SIG_SETMASK, POSIX::SigSet->new); "
			   "$SIG{$_} = q(DEFAULT) for keys %SIG;";
	auto each = [&](const Signals &sigs, const char *action) {
		for (int sig : sigs)
			code += " $SIG{" + signal_name(sig).substr(3) + "} = " + action + ";";
	};
	if (c.out == Out::reader_gone)
		code += " pipe my $r, my $w or die; close $r; open STDOUT, q(>&), $w or die;";
	if (c.background)
		code += " my $h = fork // die; if (!$h) { sleep 9; exit } setpgid($h, $h);"
			" tcsetpgrp(1, $h) or die; kill 9, $h; waitpid $h, 0;";
	each(c.ignore, "q(IGNORE)");
	each(c.handle, "sub {}");
	if (c.block_all)
		code += " my $all = POSIX::SigSet->new; $all->fillset; sigprocmask(SIG_BLOCK, $all);";
	else if (!blocked(c).empty())
		code += " sigprocmask(SIG_BLOCK, POSIX::SigSet->new(" + perl_signals(blocked(c)) + "));";
	for (int sig : c.pending)
		code += " kill " + std::to_string(sig) + ", $$;";
	each(c.restore, "q(DEFAULT)");
	code += " exec { $ARGV[0] } @ARGV or die qq(exec: $!\\n);";
	return "perl -MPOSIX -e " + shell_quoted(code);
}

} // namespace

std::string reproducer(const Condition &c, const std::vector<std::string> &command)
{
	std::string run = perl(c) + " --";
	for (const auto &word : command)
		run += " " + shell_quoted(word);
	if (c.args == Args::extra) {
		for (const auto &arg : extra_args)
			run += " " + shell_quoted(arg);
		std::string env = "env";
		for (const auto &entry : extra_env)
			env += " " + shell_quoted(entry);
		run = env + " " + run;
	} else if (c.args == Args::no_env) {
		run = "env -i " + run;
	}
	if (c.close_stdin)
		run += " <&-";
	const char status[] = "echo \"status: $?\" >&2";
	switch (c.out) {
	case Out::pipe:
	case Out::reader_gone:
		if (c.out == Out::pipe)
			return "{ " + run + "; " + status + "; } | cat";
		return run + "; " + status;
	case Out::file:	// with the check's limit on what it may write
		return "f=$(mktemp) && { prlimit --fsize=" + std::to_string(kept_bytes) + " " + run + " >\"$f\"; " +
		       status + "; cat \"$f\"; rm -f \"$f\"; }";
	case Out::terminal:	// standard input and error stay off the terminal, as in the check
		return "script -qec " +
		       shell_quoted((c.background ? "stty tostop; " : "") + run + (c.close_stdin ? "" : " </dev/null") + " 2>&3") +
		       " /dev/null 3>&2; " + status;
	case Out::null:
		return run + " >/dev/null; " + status;
	case Out::closed:
		return run + " >&-; " + status;
	case Out::full:
		return run + " >/dev/full; " + status;
	}
	return run;
}

std::string explain(const Condition &c, const std::vector<std::string> &command)
{
	return "# " + std::string(c.name) + ": " + c.about + "\n" +
	       reproducer(c, command) + "\n# documented: " + expectation(c) +
	       (c.status.signalled ? " (status: " + std::to_string(128 + c.status.number) + ")"
				   : "") +
	       "\n";
}
