// SPDX-License-Identifier: MIT
// The cases of the pending set: rt_sigpending's sizes, what SIG_IGN does
// to a pending signal, and the order in which signals are delivered.

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "cases.h"

// 9. rt_sigpending writes as many bytes as asked, up to the set's.
static const int ten[] = {SIGUSR1, 0};
static size_t pending_size;
static long pending_into(void *buf) { return rt_sigpending(buf, pending_size); }
void pending_sizes(void)
{
	set_mask(ten);
	kill(getpid(), SIGUSR1);
	char text[128] = "";
	size_t used = 0;
	for (pending_size = 0; pending_size <= kset_bytes; pending_size++) {
		unsigned char buf[128];
		long r = pending_into(buf);
		if (r < 0)
			used += snprintf(text + used, sizeof text - used, "%s%s", used ? "," : "",
					 error_name(errno));
		else
			used += snprintf(text + used, sizeof text - used, "%s%d", used ? "," : "",
					 bytes_written(pending_into, NULL));
	}
	put("bytes=%s", text);
}
void pending_size_9(void)
{
	unsigned char buf[128];
	put_result(rt_sigpending(buf, kset_bytes + 1));
}
void pending_fault(void)
{
	put_result(rt_sigpending(page_before_a_hole() + sysconf(_SC_PAGESIZE), kset_bytes));
}

// 10. What SIG_IGN does to a pending signal.
void ignore(int sig)
{
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = SIG_IGN;
	sigaction(sig, &sa, NULL);
}
void ignored_blocked_stays(void)
{
	ignore(SIGUSR1);
	set_mask(ten);
	kill(getpid(), SIGUSR1);
	put_pending();
}
static void pending_then_ignore(int ignored_before)
{
	if (ignored_before)
		ignore(SIGUSR1);
	set_mask(ten);
	kill(getpid(), SIGUSR1);
	ignore(SIGUSR1);
	put_pending();
}
void ignore_discards(void) { pending_then_ignore(0); }
void ignore_again_discards(void) { pending_then_ignore(1); }

// 11. Released together, standard signals go first, lowest first; real-time
// ones are queued, lowest first.
static int order[16], ordered;
static void note(int sig)
{
	if (ordered < 16)
		order[ordered++] = sig;
}
void delivery_order(void)
{
	static const int held[] = {SIGUSR1, rt35, rt40, 0};
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = note;
	sigfillset(&sa.sa_mask);
	for (const int *s = held; *s; s++)
		sigaction(*s, &sa, NULL);
	set_mask(held);
	static const int sent[] = {rt40, rt35, rt40, SIGUSR1, SIGUSR1};
	for (int sig : sent)
		kill(getpid(), sig);
	set_mask(none);
	char text[64] = "";
	size_t used = 0;
	for (int i = 0; i < ordered; i++)
		used += snprintf(text + used, sizeof text - used, "%s%d", i ? "," : "", order[i]);
	put("order=%s", ordered ? text : "none");
}
