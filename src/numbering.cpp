// SPDX-License-Identifier: MIT
// The signal numberings of Linux's architectures: see numbering.h.
#include "numbering.h"

#include <elf.h>

#include <csignal>

#ifndef EM_ALPHA
#define EM_ALPHA 0x9026
#endif

namespace {

Numbering generic()
{
	return {.family = "generic",
		.machines = {},
		.numbers = {{"HUP", 1}, {"INT", 2}, {"QUIT", 3}, {"ILL", 4}, {"TRAP", 5}, {"ABRT", 6},
			    {"BUS", 7}, {"FPE", 8}, {"KILL", 9}, {"USR1", 10}, {"SEGV", 11}, {"USR2", 12},
			    {"PIPE", 13}, {"ALRM", 14}, {"TERM", 15}, {"STKFLT", 16}, {"CHLD", 17},
			    {"CONT", 18}, {"STOP", 19}, {"TSTP", 20}, {"TTIN", 21}, {"TTOU", 22},
			    {"URG", 23}, {"XCPU", 24}, {"XFSZ", 25}, {"VTALRM", 26}, {"PROF", 27},
			    {"WINCH", 28}, {"IO", 29}, {"PWR", 30}, {"SYS", 31}}};
}

} // namespace

const std::vector<Numbering> numberings = {
	generic(),
	{.family = "mips",
	 .machines = {EM_MIPS},
	 .numbers = {{"HUP", 1}, {"INT", 2}, {"QUIT", 3}, {"ILL", 4}, {"TRAP", 5}, {"ABRT", 6},
		     {"EMT", 7}, {"FPE", 8}, {"KILL", 9}, {"BUS", 10}, {"SEGV", 11}, {"SYS", 12},
		     {"PIPE", 13}, {"ALRM", 14}, {"TERM", 15}, {"USR1", 16}, {"USR2", 17}, {"CHLD", 18},
		     {"PWR", 19}, {"WINCH", 20}, {"URG", 21}, {"IO", 22}, {"STOP", 23}, {"TSTP", 24},
		     {"CONT", 25}, {"TTIN", 26}, {"TTOU", 27}, {"VTALRM", 28}, {"PROF", 29},
		     {"XCPU", 30}, {"XFSZ", 31}},
	 .rtmax = 127,	// the kernel has 128, but a wait status cannot say 128
	 .block = 1,
	 .unblock = 2,
	 .setmask = 3},
	{.family = "alpha",
	 .machines = {EM_ALPHA},
	 .numbers = {{"HUP", 1}, {"INT", 2}, {"QUIT", 3}, {"ILL", 4}, {"TRAP", 5}, {"ABRT", 6},
		     {"EMT", 7}, {"FPE", 8}, {"KILL", 9}, {"BUS", 10}, {"SEGV", 11}, {"SYS", 12},
		     {"PIPE", 13}, {"ALRM", 14}, {"TERM", 15}, {"URG", 16}, {"STOP", 17}, {"TSTP", 18},
		     {"CONT", 19}, {"CHLD", 20}, {"TTIN", 21}, {"TTOU", 22}, {"IO", 23}, {"XCPU", 24},
		     {"XFSZ", 25}, {"VTALRM", 26}, {"PROF", 27}, {"WINCH", 28}, {"PWR", 29},
		     {"USR1", 30}, {"USR2", 31}},
	 .block = 1,
	 .unblock = 2,
	 .setmask = 3},
	{.family = "hppa",
	 .machines = {EM_PARISC},
	 .numbers = {{"HUP", 1}, {"INT", 2}, {"QUIT", 3}, {"ILL", 4}, {"TRAP", 5}, {"ABRT", 6},
		     {"STKFLT", 7}, {"FPE", 8}, {"KILL", 9}, {"BUS", 10}, {"SEGV", 11}, {"XCPU", 12},
		     {"PIPE", 13}, {"ALRM", 14}, {"TERM", 15}, {"USR1", 16}, {"USR2", 17}, {"CHLD", 18},
		     {"PWR", 19}, {"VTALRM", 20}, {"PROF", 21}, {"IO", 22}, {"WINCH", 23}, {"STOP", 24},
		     {"TSTP", 25}, {"CONT", 26}, {"TTIN", 27}, {"TTOU", 28}, {"URG", 29}, {"XFSZ", 30},
		     {"SYS", 31}}},
	{.family = "sparc",
	 .machines = {EM_SPARC, EM_SPARC32PLUS, EM_SPARCV9},
	 .numbers = {{"HUP", 1}, {"INT", 2}, {"QUIT", 3}, {"ILL", 4}, {"TRAP", 5}, {"ABRT", 6},
		     {"EMT", 7}, {"FPE", 8}, {"KILL", 9}, {"BUS", 10}, {"SEGV", 11}, {"SYS", 12},
		     {"PIPE", 13}, {"ALRM", 14}, {"TERM", 15}, {"URG", 16}, {"STOP", 17}, {"TSTP", 18},
		     {"CONT", 19}, {"CHLD", 20}, {"TTIN", 21}, {"TTOU", 22}, {"IO", 23}, {"XCPU", 24},
		     {"XFSZ", 25}, {"VTALRM", 26}, {"PROF", 27}, {"WINCH", 28}, {"PWR", 29},
		     {"USR1", 30}, {"USR2", 31}},
	 .block = 1,
	 .unblock = 2,
	 .setmask = 4},
};

int Numbering::number(const std::string &name) const
{
	for (const auto &[n, sig] : numbers)
		if (name == n)
			return sig;
	for (const char *end : {"RTMIN+", "RTMAX-"}) {
		if (name.rfind(end, 0) != 0 || name.size() == 6)
			continue;
		size_t used = 0;
		int k = std::stoi(name.substr(6), &used);
		if (used != name.size() - 6 || k < 0)
			return 0;
		int sig = end[5] == '+' ? rtmin + k : rtmax - k;
		return sig >= rtmin && sig <= rtmax ? sig : 0;
	}
	return 0;
}

std::string Numbering::name(int sig) const
{
	for (const auto &[n, s] : numbers)
		if (s == sig)
			return n;
	if (sig < rtmin || sig > rtmax)
		return "";
	if (sig - rtmin <= rtmax - sig)
		return "RTMIN+" + std::to_string(sig - rtmin);
	return "RTMAX-" + std::to_string(rtmax - sig);
}

SignalSet Numbering::holdable() const
{
	SignalSet s;
	for (int sig = 1; sig <= rtmax; sig++)
		if (sig != number("KILL") && sig != number("STOP"))
			s.bits.set(sig - 1);
	return s;
}

const Numbering &numbering_of(const ElfFacts &target)
{
	for (const Numbering &n : numberings)
		for (unsigned m : n.machines)
			if (target.elf && m == target.machine)
				return n;
	return numberings.front();
}

const Numbering &own_numbering()
{
	// The family whose numbers are this <signal.h>'s.  (Not by libc's
	// names of them: MIPS's calls its SIGIO "POLL".)
	static const std::pair<const char *, int> ours[] = {
		{"HUP", SIGHUP}, {"INT", SIGINT}, {"QUIT", SIGQUIT}, {"ILL", SIGILL}, {"TRAP", SIGTRAP},
		{"ABRT", SIGABRT}, {"BUS", SIGBUS}, {"FPE", SIGFPE}, {"KILL", SIGKILL}, {"USR1", SIGUSR1},
		{"SEGV", SIGSEGV}, {"USR2", SIGUSR2}, {"PIPE", SIGPIPE}, {"ALRM", SIGALRM}, {"TERM", SIGTERM},
		{"CHLD", SIGCHLD}, {"CONT", SIGCONT}, {"STOP", SIGSTOP}, {"TSTP", SIGTSTP}, {"TTIN", SIGTTIN},
		{"TTOU", SIGTTOU}, {"URG", SIGURG}, {"XCPU", SIGXCPU}, {"XFSZ", SIGXFSZ}, {"VTALRM", SIGVTALRM},
		{"PROF", SIGPROF}, {"WINCH", SIGWINCH}, {"IO", SIGIO}, {"PWR", SIGPWR}, {"SYS", SIGSYS},
	};
	static const Numbering &own = [&]() -> const Numbering & {
		for (const Numbering &n : numberings) {
			bool agrees = true;
			for (const auto &[name, sig] : ours)
				agrees &= n.number(name) == sig;
			if (agrees)
				return n;
		}
		return numberings.front();
	}();
	return own;
}

int translated(int sig, const Numbering &from, const Numbering &to)
{
	return &from == &to ? sig : to.number(from.name(sig));
}

SignalSet translated(const SignalSet &set, const Numbering &from, const Numbering &to)
{
	if (&from == &to || !set.known)
		return set;
	SignalSet out;
	for (int sig = 1; sig <= SignalSet::most; sig++)
		if (set.has(sig))
			if (int t = translated(sig, from, to))
				out.bits.set(t - 1);
	return out;
}
