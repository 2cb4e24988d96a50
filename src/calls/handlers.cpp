// SPDX-License-Identifier: MIT
// The cases of threads and handlers: each thread's mask, tgkill, the mask
// a handler runs with and uc_sigmask, sigsuspend, sigaction read back, and
// what rt_sigaction refuses.

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "cases.h"

// 14. Threads have a mask each.
static const int twelve[] = {SIGUSR2, 0};
static struct kset thread_saw[2];
static void *thread_mask_of(void *block)
{
	if (block) {
		struct kset s = kset_of(twelve);
		rt_sigprocmask(SIG_BLOCK, &s, NULL, kset_bytes);
	}
	thread_saw[0] = mask_now();
	return NULL;
}
static void in_thread(int block)
{
	set_mask(start);
	pthread_t t;
	if (pthread_create(&t, NULL, thread_mask_of, block ? &t : NULL) != 0) {
		put("thread=none");
		return;
	}
	pthread_join(t, NULL);
	put_kset("thread", &thread_saw[0]);
	put_mask();
}
void thread_mask(void) { in_thread(0); }
void thread_sigmask(void) { in_thread(1); }

// The two threads take turns through a pipe each way.
static int to_thread[2], to_main[2];
static pid_t thread_id;
static void *blocks_and_waits(void *)
{
	struct kset s = kset_of(twelve);
	rt_sigprocmask(SIG_BLOCK, &s, NULL, kset_bytes);
	thread_id = (pid_t)syscall(SYS_gettid);
	char c = 0;
	if (write(to_main[1], &c, 1) == 1 && read(to_thread[0], &c, 1) == 1)
		thread_saw[1] = pending_now();
	return NULL;
}
void tgkill_blocked(void)
{
	set_mask(none);
	pthread_t t;
	if (pipe(to_thread) < 0 || pipe(to_main) < 0 ||
	    pthread_create(&t, NULL, blocks_and_waits, NULL) != 0) {
		put("thread=none");
		return;
	}
	char c;
	if (read(to_main[0], &c, 1) == 1)	// it has blocked 12
		syscall(SYS_tgkill, getpid(), thread_id, SIGUSR2);
	if (write(to_thread[1], &c, 1) != 1)
		put("thread=deaf");
	pthread_join(t, NULL);
	put_kset("thread_pending", &thread_saw[1]);
	put_pending_as("main_pending");
}

// 15. In a handler: the mask it runs with, and uc_sigmask.
static struct kset handler_saw;
static sigset_t uc_saw;
static int edit_uc;
static void look(int, siginfo_t *, void *context)
{
	handler_saw = mask_now();
	uc_saw = context_mask(context);
	if (edit_uc)
		add_to_context_mask(context, SIGALRM);
}
static void in_handler(int flags, const int *sa_mask, int edit)
{
	static const int one[] = {SIGHUP, 0};
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_sigaction = look;
	sa.sa_flags = SA_SIGINFO | flags;
	sigemptyset(&sa.sa_mask);
	for (; *sa_mask; sa_mask++)
		sigaddset(&sa.sa_mask, *sa_mask);
	sigaction(SIGUSR1, &sa, NULL);
	edit_uc = edit;
	set_mask(one);
	raise(SIGUSR1);
	put_kset("in_handler", &handler_saw);
	put_sigset("uc", &uc_saw);
	put_mask_as("after");
}
static const int fourteen[] = {SIGALRM, 0}, kill_stop_fourteen[] = {SIGKILL, SIGALRM, SIGSTOP, 0};
void handler_mask(void) { in_handler(0, fourteen, 0); }
void handler_nodefer(void) { in_handler(SA_NODEFER, fourteen, 0); }
void handler_kill_stop(void) { in_handler(0, kill_stop_fourteen, 0); }
void uc_sigmask_edit(void) { in_handler(0, fourteen, 1); }

// 16. sigsuspend: the mask while it waits, in the handler and after.
void sigsuspend_mask(void)
{
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_sigaction = look;
	sa.sa_flags = SA_SIGINFO;
	sigemptyset(&sa.sa_mask);
	sigaddset(&sa.sa_mask, SIGALRM);
	sigaction(SIGUSR1, &sa, NULL);
	edit_uc = 0;
	set_mask(start);
	kill(getpid(), SIGUSR1);
	sigset_t wait;
	sigemptyset(&wait);
	sigaddset(&wait, SIGUSR2);
	put_result(sigsuspend(&wait));
	put_kset("in_handler", &handler_saw);
	put_sigset("uc", &uc_saw);
	put_mask_as("after");
}

// 17. sigaction reads back what was set; rt_sigaction refuses what it
// must.
void sigaction_readback(void)
{
	struct sigaction sa, back;
	memset(&sa, 0, sizeof sa);
	sa.sa_sigaction = look;
	sa.sa_flags = SA_SIGINFO | SA_RESTART;
	sigemptyset(&sa.sa_mask);
	sigaddset(&sa.sa_mask, SIGKILL);
	sigaddset(&sa.sa_mask, SIGALRM);
	sigaction(SIGUSR2, &sa, NULL);
	memset(&back, 0, sizeof back);
	put_result(sigaction(SIGUSR2, NULL, &back));
	put("handler=%s", back.sa_sigaction == look ? "same" : "other");
	// SA_RESTORER is libc's business, where the architecture has it.
	int flags = back.sa_flags & ~0x04000000;
	put("flags=%s%s%s", flags & SA_SIGINFO ? "SA_SIGINFO" : "",
	    (flags & SA_SIGINFO) && (flags & SA_RESTART) ? "|" : "", flags & SA_RESTART ? "SA_RESTART" : "");
	if (flags & ~(SA_SIGINFO | SA_RESTART))
		put("other_flags=%#x", (unsigned)(flags & ~(SA_SIGINFO | SA_RESTART)));
	put_sigset("sa_mask", &back.sa_mask);
}
void rt_sigaction_refused(void)
{
	unsigned char act[256] = {0}, old[256];
	const int k = kset_bytes, last = 8 * kset_bytes;
	struct {
		const char *key;
		int sig;
		int set;
		size_t size;
	} const tries[] = {
		{"set9", SIGKILL, 1, k}, {"set19", SIGSTOP, 1, k}, {"sig0", 0, 0, k}, {"sig65", last + 1, 0, k},
		{"size4", SIGUSR2, 0, k / 2u}, {"size16", SIGUSR2, 0, 2u * k}, {"sig64", last, 0, k},
	};
	for (const auto &t : tries) {
		long r = kernel_sigaction(t.sig, t.set ? act : NULL, old, t.size);
		put("%s=%s", t.key, r == 0 ? "0" : error_name(errno));
	}
}
