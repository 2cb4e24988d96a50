// SPDX-License-Identifier: MIT
// The calls program's cases and what Linux gives in each: see calls.h.
#include "calls.h"
#include "legacy_calls.h"
#include "numbering.h"

#include <algorithm>
#include <map>
#include <stdexcept>
#include <utility>

const char calls_prefix[] = "calls/";

// Most cases start from signals 1 and 10 blocked, and use 12 as the set.
// Signals are numbered here as most targets number them (SIGUSR1 10,
// SIGUSR2 12, SIGSTOP 19, SIGWINCH 28), and a set is 8 bytes: the check
// renumbers them by name for the target (signal_keys below), and puts its
// set's size where it counts.
const std::vector<CallCase> call_cases = {
	// A null new set only reads the mask, whatever how says.
	{.name = "null-set-block", .about = "rt_sigprocmask(SIG_BLOCK, NULL, old)",
	 .expected = "r=0 mask=1,10 old=1,10"},
	{.name = "null-set-unblock", .about = "rt_sigprocmask(SIG_UNBLOCK, NULL, old)",
	 .expected = "r=0 mask=1,10 old=1,10"},
	{.name = "null-set-setmask", .about = "rt_sigprocmask(SIG_SETMASK, NULL, old)",
	 .expected = "r=0 mask=1,10 old=1,10"},
	{.name = "null-set-how-3", .about = "rt_sigprocmask(3, NULL, old)", .expected = "r=0 mask=1,10 old=1,10"},
	{.name = "null-set-how-minus-1", .about = "rt_sigprocmask(-1, NULL, old)",
	 .expected = "r=0 mask=1,10 old=1,10"},
	{.name = "null-set-how-intmax", .about = "rt_sigprocmask(INT_MAX, NULL, old)",
	 .expected = "r=0 mask=1,10 old=1,10"},
	{.name = "null-set-libc", .about = "sigprocmask(SIG_BLOCK, NULL, old) through libc",
	 .expected = "r=0 mask=1,10 old=1,10"},
	// An invalid how with a set changes nothing.
	{.name = "bad-how-3", .about = "rt_sigprocmask(3, {12}, old)",
	 .expected = "r=-1 e=EINVAL mask=1,10 old=untouched"},
	{.name = "bad-how-minus-1", .about = "rt_sigprocmask(-1, {12}, old)",
	 .expected = "r=-1 e=EINVAL mask=1,10 old=untouched"},
	// The old set is the mask before, 8 bytes of it and no more.
	{.name = "set-block", .about = "rt_sigprocmask(SIG_BLOCK, {10, 12}, old)",
	 .expected = "r=0 mask=1,10,12 old=1,10 bytes={set-bytes}"},
	{.name = "set-unblock", .about = "rt_sigprocmask(SIG_UNBLOCK, {10, 12}, old)",
	 .expected = "r=0 mask=1 old=1,10 bytes={set-bytes}"},
	{.name = "set-setmask", .about = "rt_sigprocmask(SIG_SETMASK, {10, 12}, old)",
	 .expected = "r=0 mask=10,12 old=1,10 bytes={set-bytes}"},
	{.name = "same-buffer", .about = "rt_sigprocmask(SIG_BLOCK, buf, buf) with {12}, from {1}",
	 .expected = "r=0 mask=1,12 buf=1"},
	// Any sigsetsize but 8 is refused before anything is read or written.
	{.name = "size-0", .about = "rt_sigprocmask with sigsetsize 0 and both sets null",
	 .expected = "r=-1 e=EINVAL mask=1,10"},
	{.name = "size-4", .about = "rt_sigprocmask with sigsetsize 4",
	 .expected = "r=-1 e=EINVAL mask=1,10 old=untouched"},
	{.name = "size-7", .about = "rt_sigprocmask with sigsetsize 7",
	 .expected = "r=-1 e=EINVAL mask=1,10 old=untouched"},
	{.name = "size-9", .about = "rt_sigprocmask with sigsetsize 9",
	 .expected = "r=-1 e=EINVAL mask=1,10 old=untouched"},
	{.name = "size-16", .about = "rt_sigprocmask with sigsetsize 16",
	 .expected = "r=-1 e=EINVAL mask=1,10 old=untouched"},
	{.name = "size-128", .about = "rt_sigprocmask with sigsetsize 128, libc's sigset_t",
	 .expected = "r=-1 e=EINVAL mask=1,10 old=untouched"},
	// SIGKILL and SIGSTOP are dropped silently.
	{.name = "kill-stop-setmask", .about = "SIG_SETMASK {9, 19, 10}", .expected = "r=0 mask=10"},
	{.name = "kill-stop-block", .about = "SIG_BLOCK {9, 19} from {1}", .expected = "r=0 mask=1"},
	// Every signal one by one; SIGKILL and SIGSTOP cannot be held.
	{.name = "layout", .about = "the bit of the pending set each signal sent lands in",
	 .expected = "layout={layout}"},
	{.name = "round-trip", .about = "each signal blocked alone reads back alone, raw and through libc",
	 .expected = "back={holdable} libc={holdable}"},
	{.name = "pending-delivery", .about = "each signal blocked and sent is pending, and arrives once released",
	 .expected = "pending={holdable} delivered={holdable}"},
	// Faults: EFAULT, and the new mask applied where only the old set is bad.
	{.name = "fault-set", .about = "an unmapped set", .expected = "r=-1 e=EFAULT mask=1,10"},
	{.name = "fault-old", .about = "an unmapped old set", .expected = "r=-1 e=EFAULT mask=1,10,12"},
	{.name = "fault-page-end", .about = "a set that runs off the end of its page",
	 .expected = "r=-1 e=EFAULT mask=1,10"},
	{.name = "page-last-8", .about = "a set in the last 8 bytes of its page", .expected = "r=0 mask=1,10,12"},
	// libc.
	{.name = "libc-bad-how", .about = "sigprocmask(99, {12}, NULL)", .expected = "r=-1 e=EINVAL mask=1,10"},
	{.name = "pthread-sigmask-error", .about = "pthread_sigmask(99, {12}, NULL) returns the error",
	 .expected = "r=EINVAL mask=1,10"},
	{.name = "libc-sigset-tail", .about = "sigset_t past the kernel's 8 bytes is neither written nor read",
	 .expected = "old_bytes={set-bytes} mask=12"},
	// rt_sigpending writes as many bytes as asked, up to 8.
	{.name = "pending-sizes", .about = "rt_sigpending with sigsetsize 0 to 8",
	 .expected = "bytes={pending-sizes}"},
	{.name = "pending-size-9", .about = "rt_sigpending with sigsetsize 9", .expected = "r=-1 e=EINVAL"},
	{.name = "pending-fault", .about = "rt_sigpending into an unmapped set", .expected = "r=-1 e=EFAULT"},
	// What SIG_IGN does to a pending signal.
	{.name = "ignored-blocked-stays", .about = "10 ignored, blocked and sent stays pending",
	 .expected = "pending=10"},
	{.name = "ignore-discards", .about = "10 pending, then ignored, is discarded", .expected = "pending=none"},
	{.name = "ignore-again-discards", .about = "10 ignored and pending, then ignored again, is discarded",
	 .expected = "pending=none"},
	{.name = "delivery-order", .about = "40, 35, 40, 10, 10 sent while blocked, handled on release",
	 .expected = "order=10,35,40,40"},
	{.name = "fork-mask", .about = "fork from {1, 10, 12} blocked, 12 pending",
	 .expected = "child_mask=1,10,12 child_pending=none parent_pending=12"},
	// What reaches the witness from {1, 10} blocked, 10 pending, 14 caught
	// and 12 ignored.
	{.name = "exec", .about = "execv", .expected = "blocked=1,10 pending=10 ignored=12 caught=none"},
	{.name = "vfork-exec", .about = "vfork and execv",
	 .expected = "blocked=1,10 pending=none ignored=12 caught=none"},
	// libc's posix_spawn leaves the signals it keeps for itself ignored.
	{.name = "spawn-plain", .about = "posix_spawn without attributes",
	 .expected = "blocked=1,10 pending=none ignored=12,32-33 caught=none"},
	{.name = "spawn-setsigmask", .about = "posix_spawn with POSIX_SPAWN_SETSIGMASK {2, 9, 12, 35}",
	 .expected = "blocked=2,12,35 pending=none ignored=12,32-33 caught=none"},
	{.name = "spawn-setsigdef", .about = "posix_spawn with POSIX_SPAWN_SETSIGDEF {12}",
	 .expected = "blocked=1,10 pending=none ignored=32-33 caught=none"},
	{.name = "spawn-both", .about = "posix_spawn with both",
	 .expected = "blocked=2,12,35 pending=none ignored=32-33 caught=none"},
	// Threads.
	{.name = "thread-mask", .about = "a new thread starts with its creator's mask",
	 .expected = "thread=1,10 mask=1,10"},
	{.name = "thread-sigmask", .about = "a thread's pthread_sigmask leaves the first thread's mask",
	 .expected = "thread=1,10,12 mask=1,10"},
	{.name = "tgkill-blocked", .about = "tgkill to a thread that blocks it: pending there",
	 .expected = "thread_pending=12 main_pending=none"},
	// In a handler of 10, from {1}, sa_mask {14}.
	{.name = "handler-mask", .about = "the old mask, the signal and sa_mask",
	 .expected = "in_handler=1,10,14 uc=1 after=1"},
	{.name = "handler-nodefer", .about = "SA_NODEFER leaves the signal out",
	 .expected = "in_handler=1,14 uc=1 after=1"},
	{.name = "handler-kill-stop", .about = "SIGKILL and SIGSTOP in sa_mask are dropped",
	 .expected = "in_handler=1,10,14 uc=1 after=1"},
	{.name = "uc-sigmask-edit", .about = "14 added to uc_sigmask stays after the handler",
	 .expected = "in_handler=1,10,14 uc=1 after=1,14"},
	{.name = "sigsuspend", .about = "sigsuspend({12}) from {1, 10}, 10 pending, sa_mask {14}",
	 .expected = "r=-1 e=EINTR in_handler=10,12,14 uc=1,10 after=1,10"},
	{.name = "sigaction-readback", .about = "handler, flags and sa_mask {9, 14} read back",
	 .expected = "r=0 handler=same flags=SA_SIGINFO|SA_RESTART sa_mask=14"},
	{.name = "rt-sigaction-refused", .about = "rt_sigaction on 9 and 19, on 0 and 65, with sizes 4 and 16; and 64",
	 .expected = "set9=EINVAL set19=EINVAL sig0=EINVAL sig65=EINVAL size4=EINVAL size16=EINVAL sig64=0"},
	// The legacy calls: one word, signals 1 to 32 (to 64 on s390x); ENOSYS
	// where the kernel has only their numbers.
	{.name = "legacy-setmask", .about = "sigprocmask(SIG_SETMASK, {1, 32}) from {2, 40}",
	 .expected = "r=0 mask={legacy-mask} old={legacy-old} bytes={word-bytes}", .needs = Needs::legacy_sigprocmask,
	 .enosys = "r=-1 e=ENOSYS mask=2,40"},
	{.name = "legacy-how", .about = "sigprocmask(99) checks how only with a set",
	 .expected = "null=0 set=EINVAL mask=1,10", .needs = Needs::legacy_sigprocmask,
	 .enosys = "null=ENOSYS set=ENOSYS mask=1,10"},
	{.name = "legacy-sigpending", .about = "sigpending with 10 and 40 pending",
	 .expected = "r=0 pending={legacy-pending} bytes={word-bytes}", .needs = Needs::legacy_sigpending,
	 .enosys = "r=-1 e=ENOSYS"},
	{.name = "sgetmask-ssetmask", .about = "ssetmask({1, 32}) from {2}, then sgetmask",
	 .expected = "old=2 get={sgetmask} mask={ssetmask} kernel={kernel}", .needs = Needs::legacy_word_calls},
	// The calls that take a pending signal without a handler, from 1 and 10
	// blocked, with a handler on 1, 10, 12, 40 and 41 that none reaches.
	{.name = "sigtimedwait-basic", .about = "10 sent by kill, sigtimedwait({10}) with a zero timeout",
	 .expected = "r=10 signo=10 code=SI_USER pid=self uid=self handler=none pending=none mask=1,10"},
	{.name = "sigtimedwait-eagain", .about = "nothing pending: sigtimedwait({10}) for 0 and 50 ms",
	 .expected = "ts0=EAGAIN ts50=EAGAIN wait=full mask=1,10"},
	{.name = "sigtimedwait-not-in-set", .about = "1 and 10 pending, sigtimedwait({10}) leaves 1",
	 .expected = "r=10 pending=1"},
	{.name = "sigtimedwait-bad-timespec", .about = "10 pending, sigtimedwait({10}) with tv_nsec 1000000000",
	 .expected = "r=-1 e=EINVAL pending=10"},
	{.name = "sigtimedwait-kill-stop", .about = "rt_sigtimedwait({9, 19}), then ({9, 10, 19}) with 10 pending",
	 .expected = "only_kill_stop=EAGAIN with10=10 mask=1,10"},
	{.name = "sigtimedwait-sizes", .about = "rt_sigtimedwait with sigsetsize 4 and 16, 10 pending",
	 .expected = "s4=EINVAL s16=EINVAL pending=10"},
	{.name = "sigwaitinfo-ignored-signal", .about = "10 ignored, blocked and sent: sigwaitinfo({10}) takes it",
	 .expected = "pending_before=10 r=10 pending_after=none"},
	{.name = "sigwaitinfo-sigchld", .about = "SIGCHLD blocked at its default, a child's _exit(3): sigwaitinfo",
	 .expected = "r=17 code=CLD_EXITED status=3 pid=child"},
	{.name = "sigtimedwait-order", .about = "12, 41 (3), 1, 40 (1), 10, 40 (2) sent while blocked, then taken",
	 .expected = "order=1,10,12,40:1,40:2,41:3,EAGAIN"},
	{.name = "sigtimedwait-sync-first", .about = "1, then SIGSEGV sent by kill while blocked, then taken",
	 .expected = "pending=1,11 order=11,1,EAGAIN"},
	{.name = "sigtimedwait-unblocked", .about = "sigtimedwait({12}), 12 unblocked and handled, sent at 50 ms",
	 .expected = "r=12 wait=short handler=none"},
	{.name = "sigtimedwait-eintr", .about = "sigtimedwait({10}); a handled 12 (SA_RESTART) at 50 ms",
	 .expected = "r=-1 e=EINTR wait=short handler=12 mask=1,10"},
	{.name = "sigwait-set", .about = "1 pending, sigwait({10}), 10 sent at 20 ms",
	 .expected = "ret=0 sig=10 pending=1"},
	// Signals queued with a value, clone3 and pidfds; a handler, where one
	// is set, is SA_SIGINFO|SA_RESTART with sa_mask {28}.
	{.name = "sigqueueinfo-self", .about = "rt_sigqueueinfo to itself: SI_QUEUE, 55, pid 12345 and uid 777 claimed",
	 .expected = "r=0 pending=10 got=10 code=SI_QUEUE pid=12345 uid=777 int=55 handler=none"},
	{.name = "tgsigqueueinfo-self", .about = "rt_tgsigqueueinfo to its own thread, 66; and with another tgid",
	 .expected = "r=0 pending=10 got=10 code=SI_QUEUE int=66 pid=self wrong_tgid=ESRCH pending_end=none"},
	{.name = "sigqueueinfo-codes-self", .about = "rt_sigqueueinfo to itself with SI_USER, SI_TKILL and 1; si_signo 12 as 10",
	 .expected = "user=0:10:SI_USER tkill=0:10:SI_TKILL positive=0:10:1 mismatch=0 got=10 signo=10 pending_end=none"},
	{.name = "sigqueueinfo-codes-other", .about = "to a child: SI_USER, SI_TKILL and 1 are EPERM, SI_QUEUE is not",
	 .expected = "user=EPERM tkill=EPERM positive=EPERM tg_positive=EPERM queue=0 child_got=10:SI_QUEUE:5"},
	{.name = "sigqueue-handler", .about = "sigqueue(self, 12, 5): the handler has run when it returns",
	 .expected = "r=0 handler=12 by_20ms=12 code=SI_QUEUE int=5 pid=self uid=self"},
	{.name = "clone3-clear-sighand", .about = "clone3 CLONE_CLEAR_SIGHAND, 10 handled and 12 ignored",
	 .expected = "parent_10=handler:SA_SIGINFO|SA_RESTART:28 parent_12=SIG_IGN:SA_RESTART:28 r=pid "
		     "child_10=SIG_DFL:0:none child_12=SIG_IGN:0:none child_mask=1,10",
	 .needs = Needs::clone3},
	{.name = "clone3-sighand-clear", .about = "clone3 CLONE_VM|CLONE_SIGHAND|CLONE_CLEAR_SIGHAND", .expected = "r=-1 e=EINVAL",
	 .needs = Needs::clone3},
	{.name = "pidfd-self", .about = "pidfd_send_signal to itself: no siginfo, SI_QUEUE 88, si_signo 12, bad flags",
	 .expected = "null=0 pending=10 got_null=10:SI_USER:self info=0 got_info=10:SI_QUEUE:88 "
		     "signo_mismatch=EINVAL bad_flags=EINVAL pending_end=none handler=none"},
	{.name = "pidfd-child", .about = "pidfd_send_signal to a child: SI_USER claimed is EPERM, no siginfo is not",
	 .expected = "info_user=EPERM null=0 child_got=10:SI_USER:parent"},
	// signalfd, from 1 and 10 blocked, with the same handler as the waits,
	// which none reaches.  What a read takes, and in what order.
	{.name = "signalfd-read", .about = "10 sent by kill, read through signalfd({10})",
	 .expected = "fd=ok n=128 signo=10 code=SI_USER pid=self uid=self handler=none pending=none"},
	{.name = "signalfd-codes", .about = "10 sent by tgkill, 12 by sigqueue with 42: read one by one",
	 .expected = "first=10:SI_TKILL:self second=12:SI_QUEUE:self int=42"},
	{.name = "signalfd-multi", .about = "40 (1), 40 (2), 12, 10 sent while blocked, then one read of 6 records",
	 .expected = "n=4x128 order=10,12,40:1,40:2"},
	// What its mask holds.
	{.name = "signalfd-ignored", .about = "10 ignored, blocked and sent: signalfd({10}) reads it",
	 .expected = "pending_before=10 read=10 pending_after=none"},
	{.name = "signalfd-kill-stop", .about = "signalfd({9, 10, 19}) keeps 10; ({9, 19}) is a descriptor that reads nothing",
	 .expected = "fd=ok fdinfo={fdinfo} only_kill_stop=ok read=EAGAIN with10=10"},
	{.name = "signalfd-sizes", .about = "signalfd4 with sizemask 4 and 16, with flags 1, and with 8",
	 .expected = "s4=EINVAL s16=EINVAL badflags=EINVAL s8=fd"},
	{.name = "signalfd-update", .about = "signalfd(fd, {12}) on a descriptor of {10}, 10 and 12 pending",
	 .expected = "same_fd=1 first=12 next=EAGAIN pending=10"},
	// How a read fails, and goes on.
	{.name = "signalfd-read-errors", .about = "10 pending: a read of 100 bytes, of a record, of nothing; SFD_NONBLOCK",
	 .expected = "small=EINVAL pending=10 full=10 empty=EAGAIN nonblock=1"},
	{.name = "signalfd-restart", .about = "a blocking read of {10}; a handled 12 (SA_RESTART) at 10 ms, whose handler sends 10",
	 .expected = "r=128 signo=10 h12=in"},
	// When it is ready.
	{.name = "signalfd-poll", .about = "poll with 10 pending, then after it is read",
	 .expected = "poll=1 revents=IN read=10 after_read=0"},
	{.name = "signalfd-epoll-wake", .about = "epoll_wait on signalfd({10}); 10 sent by a thread at 10 ms",
	 .expected = "n=1 ev=IN wait=short read=10"},
	// A child, a new program and another thread.
	{.name = "signalfd-fork", .about = "10 pending in the parent; the child reads, then sends itself 10 and reads",
	 .expected = "child_first=EAGAIN child_own=10 pid=child parent_pending=10"},
	{.name = "signalfd-epoll-fork", .about = "an epoll set made before fork; the child sends itself 10: epoll_wait for 30 ms, read",
	 .expected = "child_epoll=0 child_wait=full child_read=10"},
	{.name = "signalfd-exec", .about = "10 pending; execv: the new program reads the signalfd it inherited",
	 .expected = "pending=10 mask=1,10 read=10 code=SI_USER pending_after=none"},
	{.name = "signalfd-thread", .about = "10 sent by tgkill to the first thread: another thread reads, then the first",
	 .expected = "other_thread=EAGAIN main=10 code=SI_TKILL"},
	// The waits that put a mask of their own in place while they wait, from
	// 1 and 10 blocked, with a handler on 10 and 12, watching a pipe; the
	// temporary mask is {12} unless the case says otherwise.  10 pending,
	// released by it: handled at once, EINTR, the mask put back.
	{.name = "ppoll-atomic", .about = "10 pending, ppoll with {12} and 2 s",
	 .expected = "r=-1 e=EINTR wait=short handler=10 mask=1,10 pending=none"},
	{.name = "pselect6-atomic", .about = "10 pending, pselect with {12} and 2 s",
	 .expected = "r=-1 e=EINTR wait=short handler=10 mask=1,10 pending=none"},
	{.name = "epoll-pwait-atomic", .about = "10 pending, epoll_pwait with {12} and 2 s",
	 .expected = "r=-1 e=EINTR wait=short handler=10 mask=1,10 pending=none"},
	{.name = "epoll-pwait2-atomic", .about = "10 pending, epoll_pwait2 with {12} and 2 s",
	 .expected = "r=-1 e=EINTR wait=short handler=10 mask=1,10 pending=none"},
	// The handler runs with the temporary mask less SIGKILL and SIGSTOP;
	// uc_sigmask is the mask put back.
	{.name = "ppoll-handler-mask", .about = "10 pending, ppoll with {9, 12, 19}: the masks in the handler",
	 .expected = "r=-1 e=EINTR in_handler=10,12,28 uc=1,10 mask=1,10"},
	{.name = "pselect6-handler-mask", .about = "10 pending, pselect with {9, 12, 19}: the masks in the handler",
	 .expected = "r=-1 e=EINTR in_handler=10,12,28 uc=1,10 mask=1,10"},
	{.name = "epoll-pwait-handler-mask", .about = "10 pending, epoll_pwait with {9, 12, 19}: the masks in the handler",
	 .expected = "r=-1 e=EINTR in_handler=10,12,28 uc=1,10 mask=1,10"},
	{.name = "epoll-pwait2-handler-mask", .about = "10 pending, epoll_pwait2 with {9, 12, 19}: the masks in the handler",
	 .expected = "r=-1 e=EINTR in_handler=10,12,28 uc=1,10 mask=1,10"},
	// A null mask leaves the mask alone: 10 stays pending, the wait runs out.
	{.name = "ppoll-null-mask", .about = "10 pending, ppoll with a null mask and 30 ms",
	 .expected = "r=0 wait=full handler=none mask=1,10 pending=10"},
	{.name = "pselect6-null-mask", .about = "10 pending, pselect with a null mask and 30 ms",
	 .expected = "r=0 wait=full handler=none mask=1,10 pending=10"},
	{.name = "epoll-pwait-null-mask", .about = "10 pending, epoll_pwait with a null mask and 30 ms",
	 .expected = "r=0 wait=full handler=none mask=1,10 pending=10"},
	{.name = "epoll-pwait2-null-mask", .about = "10 pending, epoll_pwait2 with a null mask and 30 ms",
	 .expected = "r=0 wait=full handler=none mask=1,10 pending=10"},
	// Raw: a mask with any sigsetsize but 8 is EINVAL, nothing changed; a
	// null mask's size is not looked at, nor is a NULL sixth argument.
	{.name = "ppoll-sizes", .about = "10 pending, raw ppoll: {12} with sigsetsize 4 and 16, null with 16",
	 .expected = "s4=EINVAL s16=EINVAL null_s16=0 handler=none pending=10 mask=1,10"},
	{.name = "pselect6-sizes", .about = "10 pending, raw pselect6: {12} with sigsetsize 4 and 16, null with 16",
	 .expected = "s4=EINVAL s16=EINVAL null_s16=0 handler=none pending=10 mask=1,10"},
	{.name = "epoll-pwait-sizes", .about = "10 pending, raw epoll_pwait: {12} with sigsetsize 4 and 16, null with 16",
	 .expected = "s4=EINVAL s16=EINVAL null_s16=0 handler=none pending=10 mask=1,10"},
	{.name = "epoll-pwait2-sizes", .about = "10 pending, raw epoll_pwait2: {12} with sigsetsize 4 and 16, null with 16",
	 .expected = "s4=EINVAL s16=EINVAL null_s16=0 handler=none pending=10 mask=1,10"},
	{.name = "pselect6-null-sixth", .about = "10 pending, raw pselect6 with a NULL sixth argument and 30 ms",
	 .expected = "r=0 handler=none pending=10 mask=1,10"},
	// 10 sent 10 ms into the wait, by a thread or a child: it ends the wait.
	{.name = "ppoll-during", .about = "ppoll with {12} and 2 s; 10 sent by a thread 10 ms on",
	 .expected = "r=-1 e=EINTR wait=short handler=10 code=SI_USER pid=self uc=1,10 mask=1,10"},
	{.name = "pselect6-during", .about = "pselect with {12} and 2 s; 10 sent by a child 10 ms on",
	 .expected = "r=-1 e=EINTR wait=short handler=10 code=SI_USER pid=child uc=1,10 mask=1,10"},
	{.name = "epoll-pwait-during", .about = "epoll_pwait with {12} and 2 s; 10 sent by a thread 10 ms on",
	 .expected = "r=-1 e=EINTR wait=short handler=10 code=SI_USER pid=self uc=1,10 mask=1,10"},
	{.name = "epoll-pwait2-during", .about = "epoll_pwait2 with {12} and 2 s; 10 sent by a child 10 ms on",
	 .expected = "r=-1 e=EINTR wait=short handler=10 code=SI_USER pid=child uc=1,10 mask=1,10"},
	// 12 sent 10 ms into a wait that blocks it, and the pipe written: the
	// wait ends with the pipe ready, and 12 is handled as the mask comes
	// back.
	{.name = "ppoll-block-more", .about = "ppoll with {1, 10, 12} and 2 s; 12 sent by a thread 10 ms on, then the pipe written",
	 .expected = "r=1 wait=short handler=12 uc=1,10 mask=1,10 pending=none"},
	{.name = "pselect6-block-more", .about = "pselect with {1, 10, 12} and 2 s; 12 sent by a thread 10 ms on, then the pipe written",
	 .expected = "r=1 wait=short handler=12 uc=1,10 mask=1,10 pending=none"},
	{.name = "epoll-pwait-block-more", .about = "epoll_pwait with {1, 10, 12} and 2 s; 12 sent by a thread 10 ms on, then the pipe written",
	 .expected = "r=1 wait=short handler=12 uc=1,10 mask=1,10 pending=none"},
	{.name = "epoll-pwait2-block-more", .about = "epoll_pwait2 with {1, 10, 12} and 2 s; 12 sent by a thread 10 ms on, then the pipe written",
	 .expected = "r=1 wait=short handler=12 uc=1,10 mask=1,10 pending=none"},
	// 10 ignored, blocked and pending, released: discarded; ppoll and pselect6
	// go back to waiting and run out, the epoll waits give EINTR at once.
	{.name = "ppoll-ignored-pending", .about = "10 ignored and pending, ppoll with {12} and 30 ms",
	 .expected = "pending_before=10 r=0 wait=full handler=none pending=none mask=1,10"},
	{.name = "pselect6-ignored-pending", .about = "10 ignored and pending, pselect with {12} and 30 ms",
	 .expected = "pending_before=10 r=0 wait=full handler=none pending=none mask=1,10"},
	{.name = "epoll-pwait-ignored-pending", .about = "10 ignored and pending, epoll_pwait with {12} and 2 s",
	 .expected = "pending_before=10 r=-1 e=EINTR wait=short handler=none pending=none mask=1,10"},
	{.name = "epoll-pwait2-ignored-pending", .about = "10 ignored and pending, epoll_pwait2 with {12} and 2 s",
	 .expected = "pending_before=10 r=-1 e=EINTR wait=short handler=none pending=none mask=1,10"},
	// A descriptor ready as the wait begins wins over 10 pending: it stays so.
	{.name = "ppoll-ready-first", .about = "the pipe readable and 10 pending, ppoll with {12}",
	 .expected = "r=1 handler=none pending=10 mask=1,10"},
	{.name = "epoll-pwait-ready-first", .about = "the pipe readable and 10 pending, epoll_pwait with {12}",
	 .expected = "r=1 handler=none pending=10 mask=1,10"},
	// Ended by a signal, raw ppoll writes back the time that was left.
	{.name = "ppoll-time-left", .about = "10 pending, raw ppoll with {12} and 2 s: the timespec after",
	 .expected = "r=-1 e=EINTR handler=10 ts=remaining"},
};

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The key=value words of a line, in order.
Pairs pairs(const std::string &words)
{
	Pairs found;
	for (size_t at = 0; at < words.size();) {
		size_t end = words.find(' ', at);
		if (end == std::string::npos)
			end = words.size();
		std::string word = words.substr(at, end - at);
		size_t eq = word.find('=');
		if (!word.empty())
			found.emplace_back(word.substr(0, eq), eq == std::string::npos ? "" : word.substr(eq + 1));
		at = end + 1;
	}
	return found;
}

// The value of key among them, or missing.
std::string value_in(const Pairs &words, const std::string &key, const std::string &missing)
{
	for (const auto &[k, v] : words)
		if (k == key)
			return v;
	return missing;
}

// Where signal n lands in the bytes of a set, byte * 8 + bit: bit n - 1
// of words as wide as the target's long, in its byte order.
std::string layout(const ElfFacts &t, const Numbering &numbering)
{
	int width = t.wide ? 64 : 32;
	SignalSet held = numbering.holdable();
	std::string s;
	for (int n = 1; n <= numbering.rtmax; n++) {
		int bit = n - 1, in_word = bit % width;
		int byte = bit / width * (width / 8) + (t.big ? width / 8 - 1 - in_word / 8 : in_word / 8);
		s += (n > 1 ? "," : "") + (held.has(n) ? std::to_string(byte * 8 + bit % 8) : std::string("-"));
	}
	return s;
}

// The keys whose values name signals, and which field of an item holds
// the signal ("10:SI_USER:self", "0:10:SI_USER"); a set's items are put
// in order again once renumbered, a sequence's keep theirs.  r is the
// signal a wait took, where it took one: its other values (0, -1, a
// count of bytes) name no signal, or the same one everywhere (1).
const struct {
	const char *key;
	int field = 0;
	bool sequence = false;
} signal_keys[] = {
	{"after"}, {"blocked"}, {"buf"}, {"by_20ms"}, {"caught"}, {"child_mask"}, {"child_own"},
	{"child_pending"}, {"child_read"}, {"full"}, {"got"}, {"ignored"}, {"in_handler"}, {"main"},
	{"main_pending"}, {"mask"}, {"old"}, {"parent_pending"}, {"pending"}, {"pending_after"},
	{"pending_before"}, {"pending_end"}, {"read"}, {"sa_mask"}, {"sig"}, {"signo"}, {"thread"},
	{"thread_pending"}, {"uc"}, {"with10"}, {"fdinfo"},
	{"order", 0, true}, {"handler", 0, true}, {"first", 0, true}, {"second", 0, true},
	{"got_info", 0, true}, {"got_null", 0, true}, {"child_got", 0, true}, {"r", 0, true},
	{"user", 1, true}, {"tkill", 1, true}, {"positive", 1, true},
	{"parent_10", 2, true}, {"parent_12", 2, true}, {"child_10", 2, true}, {"child_12", 2, true},
};

// A field's signal, renumbered; anything else as it is.
std::string renumbered_field(const std::string &field, const Numbering &from, const Numbering &to)
{
	size_t used = 0;
	int sig = 0;
	try {
		sig = std::stoi(field, &used);
	} catch (const std::exception &) {
		return field;
	}
	int there = used == field.size() && sig > 0 ? translated(sig, from, to) : 0;
	return there ? std::to_string(there) : field;
}

// value of key, from one numbering into another.
std::string renumbered(const std::string &key, const std::string &value, const Numbering &from,
		       const Numbering &to)
{
	for (const auto &k : signal_keys) {
		if (key != k.key)
			continue;
		if (!k.sequence) {
			SignalSet set = SignalSet::parse(value);
			return set.known ? translated(set, from, to).text() : value;
		}
		std::string out;
		for (size_t at = 0; at <= value.size();) {
			size_t comma = std::min(value.find(',', at), value.size());
			std::string item = value.substr(at, comma - at), renamed;
			int field = 0;
			for (size_t f = 0; f <= item.size(); field++) {
				size_t colon = std::min(item.find(':', f), item.size());
				std::string part = item.substr(f, colon - f);
				renamed += (field ? ":" : "") + (field == k.field ? renumbered_field(part, from, to) : part);
				f = colon + 1;
			}
			out += (at ? "," : "") + renamed;
			at = comma + 1;
		}
		return out;
	}
	return value;
}

// The calls a case needs, and why it is skipped where the target has no
// number for them, or where what its kernel gives is not known.
const struct {
	Needs needs;
	Has LegacyCalls::*has;
	const char *lacking, *unknown;
} needed[] = {
	{Needs::legacy_sigprocmask, &LegacyCalls::sigprocmask, "the target has no legacy sigprocmask",
	 "what the target's kernel gives of the legacy sigprocmask is not known"},
	{Needs::legacy_sigpending, &LegacyCalls::sigpending, "the target has no legacy sigpending",
	 "what the target's kernel gives of the legacy sigpending is not known"},
	{Needs::legacy_word_calls, &LegacyCalls::word_calls, "the target has no sgetmask and ssetmask",
	 "what the target's kernel gives of sgetmask and ssetmask is not known"},
	{Needs::clone3, &LegacyCalls::clone3, "the target has no clone3", ""},
};

// How the target's kernel has the calls case c makes.
Has has_calls(const CallCase &c, const ElfFacts &t)
{
	for (const auto &n : needed)
		if (c.needs == n.needs)
			return legacy_calls(t.target()).*n.has;
	return Has::yes;
}

} // namespace

bool has_legacy_calls(const ElfFacts &t)
{
	return legacy_calls(t.target()).sigprocmask == Has::yes;
}

bool calls_numbered(const CallCase &c, const ElfFacts &t) { return has_calls(c, t) != Has::no; }

std::string calls_skip(const CallCase &c, const ElfFacts &t)
{
	for (const auto &n : needed)
		if (c.needs == n.needs) {
			Has has = legacy_calls(t.target()).*n.has;
			return has == Has::no ? n.lacking : has == Has::unknown ? n.unknown : "";
		}
	return "";
}

std::string calls_expected(const CallCase &c, const ElfFacts &t, const std::string &seen)
{
	bool word64 = legacy_calls(t.target()).word_bits == 64;
	std::string kernel = value_in(pairs(seen), "kernel", "");
	// A 64-bit kernel takes ssetmask's word as an int and spreads bit 31
	// over 32 to 64, and sgetmask gives them all to a 64-bit program.  A
	// 32-bit program's kernel may be 64-bit too: its uname says so
	// (x86_64, mips64, parisc64).
	bool kernel64 = t.wide || kernel.find("64") != std::string::npos;
	const Numbering &numbering = numbering_of(t);
	// In the table's numbering, renumbered with the words they stand in.
	const std::map<std::string, std::string> values = {
		{"word-bytes", word64 ? "8" : "4"},
		{"legacy-mask", word64 ? "1,32" : "1,32,40"},
		{"legacy-old", word64 ? "2,40" : "2"},
		{"legacy-pending", word64 ? "10,40" : "10"},
		{"sgetmask", t.wide ? "1,32-64" : "1,32"},
		{"ssetmask", kernel64 ? "1,32-64" : "1,32"},
		{"kernel", kernel.empty() ? "?" : kernel},
		// Without /proc, as in a bare kernel, the case cannot show the mask
		// the kernel kept, and says so.
		{"fdinfo", value_in(pairs(seen), "fdinfo", "") == "none" ? "none" : "10"},
	};
	// The target's own.
	std::string sizes;
	for (int n = 0; n <= numbering.set_bytes(); n++)
		sizes += (n ? "," : "") + std::to_string(n);
	const std::map<std::string, std::string> target_values = {
		{"layout", layout(t, numbering)},
		{"holdable", numbering.holdable().text()},
		{"set-bytes", std::to_string(numbering.set_bytes())},
		{"pending-sizes", sizes},
	};
	std::string e = has_calls(c, t) == Has::enosys ? c.enosys : c.expected;
	std::string out;
	for (const auto &[key, v] : pairs(e)) {
		std::string value = v;
		if (value.size() > 2 && value.front() == '{' && value.back() == '}') {
			std::string name = value.substr(1, value.size() - 2);
			auto own = target_values.find(name);
			value = own != target_values.end() ? own->second
							   : renumbered(key, values.at(name), numberings.front(), numbering);
		} else {
			value = renumbered(key, value, numberings.front(), numbering);
		}
		out += (out.empty() ? "" : " ") + key + "=" + value;
	}
	return out;
}

std::string calls_renumbered(const std::string &line, const Numbering &from, const Numbering &to)
{
	std::string out;
	for (const auto &[key, value] : pairs(line))
		out += (out.empty() ? "" : " ") + key + "=" + renumbered(key, value, from, to);
	return out;
}

bool calls_line(const std::string &out, const CallCase &c, std::string *seen)
{
	std::string tag = std::string("sigmask-probe-calls: ") + c.name;
	for (size_t at = out.find(tag); at != std::string::npos; at = out.find(tag, at + 1)) {
		size_t end = out.find('\n', at);
		if ((at > 0 && out[at - 1] != '\n') || end == std::string::npos)
			continue;
		std::string rest = out.substr(at + tag.size(), end - at - tag.size());
		if (!rest.empty() && rest[0] != ' ')
			continue;	// another case whose name starts with this one's
		*seen = rest.empty() ? rest : rest.substr(1);
		return true;
	}
	return false;
}

bool judge_call(const CallCase &c, const Outcome &run, const ElfFacts &target, RowReport *report)
{
	std::vector<Field> &fields = report->fields;
	std::string seen;
	if (run.stage != Outcome::ran) {
		fields.push_back({"calls", "to run", "cannot run: " + run.why});
	} else if (!calls_line(run.out.text, c, &seen)) {
		fields.push_back({"calls", "a line for " + std::string(c.name),
				  "none; the calls program: " + describe(run), &run.out});
		if (!run.err.text.empty())
			fields.push_back({"calls stderr", "", run.err.text, &run.err});
	} else {
		// Key by key, the expected ones first, then what came besides.
		Pairs want = pairs(calls_expected(c, target, seen)), got = pairs(seen);
		for (const auto &[key, value] : want)
			fields.push_back({key, value, value_in(got, key, "(none)")});
		for (const auto &[key, value] : got)
			if (value_in(want, key, "(none)") == "(none)")
				fields.push_back({key, "(none)", value});
	}
	report->ok = true;
	for (const Field &f : fields)
		report->ok &= f.matches();
	if (!report->ok)
		report->message = "the calls did not come out as Linux's";
	return report->ok;
}
