// SPDX-License-Identifier: MIT
// sigmask-probe-check: runs a probe command under a table of start
// conditions and says in TAP which ones come out as the probe documents.

#include "spawn.h"

#include <fnmatch.h>
#include <getopt.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

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

enum class Report { none, first, both };
enum class Args { plain, extra, no_env };

constexpr int exited(int code) { return code << 8; }
constexpr int killed(int sig) { return sig; }

bool block(int sig)
{
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, sig);
	return sigprocmask(SIG_BLOCK, &set, nullptr) == 0;
}

// Leaves sig pending across exec.
bool block_and_send(int sig) { return block(sig) && kill(getpid(), sig) == 0; }

bool block_all()
{
	sigset_t all;
	sigfillset(&all);
	return sigprocmask(SIG_SETMASK, &all, nullptr) == 0;
}

bool ignore(int sig) { return signal(sig, SIG_IGN) != SIG_ERR; }

struct Condition {
	const char *name;
	Out out;
	bool (*setup)();	// in the child, just before exec
	Args args;
	Report report;
	const char *diagnostic;	// the probe's line on standard error, if any
	int status;		// as waitpid gives it
};

const Condition conditions[] = {
	{"stdout-pipe", Out::pipe, nullptr, Args::plain, Report::both, "", exited(0)},
	{"stdout-file", Out::file, nullptr, Args::plain, Report::both, "", exited(0)},
	{"stdout-terminal", Out::terminal, nullptr, Args::plain, Report::both, "", exited(0)},
	{"stdout-null", Out::null, nullptr, Args::plain, Report::both, "", exited(0)},
	{"stdout-closed", Out::closed, nullptr, Args::plain, Report::none,
	 "sigmask-probe: write error: Bad file descriptor\n", exited(1)},
	{"stdout-full", Out::full, nullptr, Args::plain, Report::none,
	 "sigmask-probe: write error: No space left on device\n", exited(1)},
	{"stdout-reader-gone", Out::reader_gone, nullptr, Args::plain, Report::none, "",
	 killed(SIGPIPE)},
	{"stdout-reader-gone-sigpipe-ignored", Out::reader_gone, [] { return ignore(SIGPIPE); },
	 Args::plain, Report::none, "sigmask-probe: write error: Broken pipe\n", exited(1)},
	{"stdin-closed", Out::pipe, [] { return close(0) == 0; }, Args::plain, Report::both, "",
	 exited(0)},
	{"mask-sigquit", Out::pipe, [] { return block(SIGQUIT); }, Args::plain,
	 Report::both, "", exited(0)},
	{"mask-all", Out::pipe, block_all, Args::plain, Report::both, "", exited(0)},
	{"signals-1-to-4-ignored", Out::pipe,
	 [] { return ignore(SIGHUP) && ignore(SIGINT) && ignore(SIGQUIT) && ignore(SIGILL); },
	 Args::plain, Report::both, "", exited(0)},
	{"args-and-env", Out::pipe, nullptr, Args::extra, Report::both, "", exited(0)},
	{"no-env", Out::pipe, nullptr, Args::no_env, Report::both, "", exited(0)},
	// The first mask holds SIGHUP and SIGILL; the second releases them.
	{"sighup-pending-pipe", Out::pipe, [] { return block_and_send(SIGHUP); }, Args::plain,
	 Report::first, "", killed(SIGHUP)},
	{"sighup-pending-file", Out::file, [] { return block_and_send(SIGHUP); }, Args::plain,
	 Report::first, "", killed(SIGHUP)},
	{"sigill-pending", Out::pipe, [] { return block_and_send(SIGILL); }, Args::plain,
	 Report::first, "", killed(SIGILL)},
	// The first mask releases these before anything is written.
	{"sigint-pending", Out::pipe, [] { return block_and_send(SIGINT); }, Args::plain,
	 Report::none, "", killed(SIGINT)},
	{"sigquit-pending", Out::pipe, [] { return block_and_send(SIGQUIT); }, Args::plain,
	 Report::none, "", killed(SIGQUIT)},
	{"sigrtmin-pending", Out::pipe, [] { return block_and_send(SIGRTMIN); }, Args::plain,
	 Report::none, "", killed(SIGRTMIN)},
	// Ignored, the released SIGHUP is dropped.
	{"sighup-pending-ignored", Out::pipe,
	 [] { return ignore(SIGHUP) && block_and_send(SIGHUP); }, Args::plain, Report::both, "",
	 exited(0)},
};

const char *const extra_args[] = {"--help", "-", "", "2"};
const char *const extra_env[] = {"LC_ALL=de_DE.UTF-8", "POSIXLY_CORRECT=1", "TERM=dumb"};

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

// The condition as --list shows it: what it expects.
std::string expectation(const Condition &c)
{
	const char *what[] = {"nothing", "first report", "both reports"};
	std::string s = what[static_cast<int>(c.report)];
	if (c.out == Out::terminal)
		s += " (CR LF)";
	else if (c.out == Out::null)
		s += " (discarded)";
	if (*c.diagnostic)
		s += ", stderr \"" + std::string(c.diagnostic, strlen(c.diagnostic) - 1) + "\"";
	return s + ", " + describe_status(c.status);
}

Result run(const Condition &c, const std::vector<std::string> &command, int timeout)
{
	std::vector<std::string> argv = command;
	std::vector<char *> envp;
	if (c.args == Args::extra) {
		argv.insert(argv.end(), std::begin(extra_args), std::end(extra_args));
		for (char **e = environ; *e; e++)
			envp.push_back(*e);
		for (const char *e : extra_env)
			envp.push_back(const_cast<char *>(e));
	}
	envp.push_back(nullptr);
	Start how;
	how.out = c.out;
	how.setup = c.setup;
	how.timeout = timeout;
	if (c.args != Args::plain)
		how.envp = envp.data();
	return spawn(argv, how);
}

// A YAML double-quoted string: the spaces at the ends of the lines stay
// visible, and control characters are escaped.
std::string quoted(const std::string &s)
{
	std::string q = "\"";
	for (unsigned char ch : s) {
		if (ch == '\n')
			q += "\\n";
		else if (ch == '\r')
			q += "\\r";
		else if (ch == '\t')
			q += "\\t";
		else if (ch == '"' || ch == '\\')
			q += std::string("\\") + static_cast<char>(ch);
		else if (ch < 0x20 || ch >= 0x7f) {
			char hex[8];
			snprintf(hex, sizeof hex, "\\x%02x", ch);
			q += hex;
		} else
			q += static_cast<char>(ch);
	}
	return q + "\"";
}

// Splits what came on standard error into the probe's own lines and the
// rest: a wrapper may announce a fatal signal there too.
void split_err(const std::string &err, std::string *probe, std::vector<std::string> *foreign)
{
	for (size_t at = 0, end; at < err.size(); at = end + 1) {
		end = err.find('\n', at);
		if (end == std::string::npos)
			end = err.size();
		std::string line = err.substr(at, end - at);
		if (line.rfind("sigmask-probe:", 0) == 0)
			*probe += line + "\n";
		else
			foreign->push_back(line);
	}
}

// Writes the TAP line for one condition, and what differs.  Returns
// whether it passed.
bool report(int n, const Condition &c, const Result &r)
{
	std::string want_out = expected_out(c), want_status = describe_status(c.status);
	std::string got_status = describe(r), want_err = c.diagnostic;
	std::string got_err = r.err;
	std::vector<std::string> foreign;
	if (!r.timed_out && WIFSIGNALED(r.status)) {
		got_err.clear();
		split_err(r.err, &got_err, &foreign);
	}
	struct Field {
		const char *name;
		std::string want, got;
	} const fields[] = {
		{"stdout", want_out, r.out},
		{"stderr", want_err, got_err},
		{"status", want_status, got_status},
	};
	bool ok = true;
	for (const auto &f : fields)
		ok &= f.want == f.got;
	printf("%s %d - %s\n", ok ? "ok" : "not ok", n, c.name);
	if (!ok) {
		printf("  ---\n");
		if (r.timed_out)
			printf("  message: \"timed out\"\n");
		for (const char *side : {"expected", "got"}) {
			printf("  %s:\n", side);
			for (const auto &f : fields)
				if (f.want != f.got)
					printf("    %s: %s\n", f.name,
					       quoted(*side == 'e' ? f.want : f.got).c_str());
		}
		printf("  ...\n");
	}
	for (const auto &line : foreign)
		printf("# %s\n", line.c_str());
	return ok;
}

// The conditions whose names match one of the patterns, or all when there
// are none; false, after a message, when a pattern matches nothing.
bool choose(const std::vector<const char *> &patterns, std::vector<const Condition *> *chosen)
{
	std::vector<bool> wanted(std::size(conditions), patterns.empty());
	for (const char *pattern : patterns) {
		bool used = false;
		for (size_t i = 0; i < wanted.size(); i++)
			if (fnmatch(pattern, conditions[i].name, 0) == 0)
				wanted[i] = used = true;
		if (!used) {
			fprintf(stderr, "sigmask-probe-check: no condition matches %s\n", pattern);
			return false;
		}
	}
	for (size_t i = 0; i < wanted.size(); i++)
		if (wanted[i])
			chosen->push_back(&conditions[i]);
	return true;
}

// Runs the command under each chosen condition and reports in TAP; the
// plan goes out once the command is known to start.  Returns the exit
// status.
int check(const std::vector<const Condition *> &chosen, const std::vector<std::string> &command,
	  int timeout)
{
	int passed = 0, failed = 0, skipped = 0, n = 0;
	for (const Condition *c : chosen) {
		Result r = run(*c, command, timeout);
		if (r.how == Result::not_started) {
			fprintf(stderr, "sigmask-probe-check: cannot run %s: %s\n",
				command[0].c_str(), r.why.c_str());
			return 2;
		}
		if (n == 0)
			printf("TAP version 13\n1..%zu\n", chosen.size());
		n++;
		if (r.how == Result::not_set_up) {
			printf("ok %d - %s # SKIP %s\n", n, c->name, r.why.c_str());
			skipped++;
		} else if (report(n, *c, r)) {
			passed++;
		} else {
			failed++;
		}
		fflush(stdout);
	}
	printf("# %d passed, %d failed, %d skipped\n", passed, failed, skipped);
	return failed ? 1 : 0;
}

// The sigmask-probe installed beside this program.
std::string probe_beside_us()
{
	char self[4096];
	ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
	if (n < 0)
		return "sigmask-probe";
	std::string path(self, n);
	return path.substr(0, path.rfind('/') + 1) + "sigmask-probe";
}

void usage()
{
	printf(
		"usage: sigmask-probe-check [-l] [-o PATTERN]... [-t SECONDS] [--] [COMMAND [ARG]...]\n"
		"Runs COMMAND (default: the sigmask-probe beside this program) under each start\n"
		"condition and reports in TAP which ones give the documented output and status.\n"
		"\n"
		"  -l, --list             list the conditions and what each expects\n"
		"  -o, --only=PATTERN     run only the conditions whose names match PATTERN\n"
		"                         (a shell pattern; may be given more than once)\n"
		"  -t, --timeout=SECONDS  kill a run that takes longer (default 5)\n"
		"  -h, --help             show this help\n"
		"      --version          show the version\n");
}

} // namespace

int main(int argc, char **argv)
{
	// Our pipes must never land on 0, 1 or 2.
	int fd;
	while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd <= 2)
		;
	if (fd > 2)
		close(fd);

	static const struct option longopts[] = {
		{"list", no_argument, nullptr, 'l'},
		{"only", required_argument, nullptr, 'o'},
		{"timeout", required_argument, nullptr, 't'},
		{"help", no_argument, nullptr, 'h'},
		{"version", no_argument, nullptr, 'V'},
		{nullptr, 0, nullptr, 0},
	};
	bool list = false;
	int timeout = 5;
	std::vector<const char *> only;
	int opt;
	opterr = 0;	// one line of our own instead
	while ((opt = getopt_long(argc, argv, "+lo:t:h", longopts, nullptr)) != -1) {
		char *end;
		switch (opt) {
		case 'l':
			list = true;
			break;
		case 'o':
			only.push_back(optarg);
			break;
		case 't':
			timeout = static_cast<int>(strtol(optarg, &end, 10));
			if (*end || end == optarg || timeout <= 0) {
				fprintf(stderr, "sigmask-probe-check: bad time limit: %s\n", optarg);
				return 2;
			}
			break;
		case 'h':
			usage();
			return 0;
		case 'V':
			printf("sigmask-probe-check %s\n", VERSION);
			return 0;
		default:
			fprintf(stderr, "sigmask-probe-check: bad option or missing argument: %s (see --help)\n",
				argv[optind - 1]);
			return 2;
		}
	}

	std::vector<const Condition *> chosen;
	if (!choose(only, &chosen))
		return 2;
	if (list) {
		for (const Condition *c : chosen)
			printf("%-36s %s\n", c->name, expectation(*c).c_str());
		return 0;
	}

	std::vector<std::string> command(argv + optind, argv + argc);
	if (command.empty())
		command.push_back(probe_beside_us());

	return check(chosen, command, timeout);
}
