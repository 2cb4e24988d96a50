// SPDX-License-Identifier: MIT
// A platform faked inside the program's own C library: preloaded, it
// changes what a call answers, as a tool that keeps a program's signal
// state in its own books does.  The fault is chosen when it is built.

#include <dlfcn.h>

#include <csignal>

namespace {

template <typename F> F *real(const char *name)
{
	return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
}

void handler(int) {}

} // namespace

#ifdef FAULT_DISPOSITIONS
// Dispositions that exec cannot hand over: each kind, with and without
// SA_SIGINFO, as valgrind shows its own SIGRTMAX.
extern "C" int sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
	static auto next = real<int(int, const struct sigaction *, struct sigaction *)>("sigaction");
	int rc = next(sig, act, old);
	struct {
		int sig;
		void (*handler)(int);
		int flags;
	} const made_up[] = {
		{SIGUSR1, SIG_IGN, 0},		{SIGUSR2, SIG_IGN, SA_SIGINFO},
		{SIGALRM, SIG_DFL, SA_SIGINFO}, {SIGTERM, handler, 0},
		{SIGWINCH, handler, SA_SIGINFO},
	};
	for (const auto &m : made_up)
		if (rc == 0 && !act && old && sig == m.sig) {
			old->sa_handler = m.handler;
			old->sa_flags = m.flags;
		}
	return rc;
}
#endif
