// SPDX-License-Identifier: MIT
// What the files of sigmask-probe-calls share: the kernel's signal set,
// the helpers a case writes its line with (runner.cpp), and each group's
// cases, in the order of the case list.  The groups are numbered in that
// order across the files.
#pragma once

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/syscall.h>

#include "../kernel_sigaction.h"

// The kernel's signal set: signals 1 to top_signal (64; 127 on MIPS,
// whose set is 16 bytes) in native words, signal n at bit (n - 1) % W of
// word (n - 1) / W.  The cases are named for a set of 8 bytes and 64
// signals, and for the signals as most targets number them (SIGUSR1 10,
// SIGUSR2 12, SIGSTOP 19); they call the target's own: sizes as far from
// its set's, signals by name, 65 as one past its last.
const int top_signal = _NSIG - 1;
const int kset_bytes = kernel_set_bytes;
struct kset {
	unsigned long w[kset_bytes / sizeof(unsigned long)];
};
const int word_bits = 8 * sizeof(unsigned long);
// A how the kernel refuses: one past the largest it takes, SIG_SETMASK
// (2 on most targets, 3 on MIPS, 4 on SPARC).
const int how_past = SIG_SETMASK + 1;

// The timespec of the kernel's older calls, rt_sigtimedwait, ppoll and
// pselect6: two longs.
struct kernel_timespec {
	long sec, nsec;
};

// Where a call writes a set back: room to spare, so that a platform that
// writes more than it should shows in what was written, not in a crash.
struct roomy {
	struct kset k;
	unsigned char spare[120];
};

// A case's line: put adds a word to it, as printf would write it, and the
// put_ helpers a result, a list of signals or a set.  The rest set and
// read the mask and the pending set raw, and measure what a call wrote;
// runner.cpp says how.
void put(const char *format, ...);
struct kset kset_of(const int *sigs);
void put_list(const char *key, int (*has)(const void *, int), const void *set);
int has_flag(const void *flags, int n);
void put_kset(const char *key, const struct kset *s);
void put_sigset(const char *key, const sigset_t *s);
const char *error_name(int error);
void put_result(long r);
long rt_sigprocmask(int how, const void *set, void *old, size_t size);
// The mask a handler's third argument says is put back when it returns,
// and a signal added to it.
sigset_t context_mask(const void *context);
void add_to_context_mask(void *context, int sig);
long rt_sigpending(void *set, size_t size);
void set_mask(const int *sigs);
// Puts handler on sig as the cases of waits and queues do: SA_SIGINFO and
// SA_RESTART, with SIGWINCH in its sa_mask.
void handle_with_info(int sig, void (*handler)(int, siginfo_t *, void *));
// Real-time signals by the kernel's numbering, which libc's SIGRTMIN is
// not (it keeps the first ones for itself).
const int rt35 = __SIGRTMIN + 3, rt40 = __SIGRTMIN + 8, rt41 = __SIGRTMIN + 9;
// The cases of waits start from 1 and 10 blocked, with a handler that
// notes what it catches on 1, 10, 12, 40 and 41; put_caught writes it in
// order, "handler=12", or "handler=none".
void start_waiting(void);
void put_caught(void);
// A wait that never ends is cut short after 3 s, as "stuck": SIGALRM's
// handler jumps back out of it, to guard_jump (libc's sigwait goes back
// to waiting after EINTR).
extern sigjmp_buf guard_jump;
void arm_guard(void);
// A thread that sends sig at ms: to the process, or to the main thread
// alone.  It blocks every signal, so that it never takes one itself.
// Where there is none, the line says so.
bool start_sender(pthread_t *t, int sig, int ms, int to_main);
// Milliseconds on the monotonic clock.
long now_ms(void);
// A siginfo's si_code by name, "SI_QUEUE", or as its number.
const char *code_name(int sig, int code);
struct kset mask_now(void);
struct kset pending_now(void);
void put_mask_as(const char *key);
void put_mask(void);
void put_pending_as(const char *key);
void put_pending(void);
// The libc set of the signals in a 0-ended list; empty for NULL.
sigset_t sigset_of(const int *sigs);
// A result as a word: the number, or errno's name.
void put_as(const char *key, long r);
int bytes_written(long (*call)(void *buf), const int *start);
void put_untouched(const char *key, const unsigned char *buf, size_t size);
// Writes the words put so far to fd, as a new program started by a case
// hands them back.
bool put_out(int fd);

// The mask most cases start from, SIGHUP and SIGUSR1; and the empty one.
extern const int start[], none[];

// Shared by the groups: a handler that counts what it catches, and a
// page whose next page is not mapped (mask.cpp); setting a signal to
// SIG_IGN (pending.cpp).
void count(int);
unsigned char *page_before_a_hole(void);
void ignore(int sig);

// The witness, the program the exec cases start (inheritance.cpp): main
// finds it beside this one.
extern char witness[4096];

// 1 to 8, mask.cpp: the mask calls.
void null_set_block(void);
void null_set_unblock(void);
void null_set_setmask(void);
void null_set_how_3(void);
void null_set_how_minus_1(void);
void null_set_how_intmax(void);
void null_set_libc(void);
void bad_how_3(void);
void bad_how_minus_1(void);
void set_block(void);
void set_unblock(void);
void set_setmask(void);
void same_buffer(void);
void size_0(void);
void size_4(void);
void size_7(void);
void size_9(void);
void size_16(void);
void size_128(void);
void kill_stop_setmask(void);
void kill_stop_block(void);
void layout(void);
void round_trip(void);
void pending_delivery(void);
void fault_set(void);
void fault_old(void);
void fault_page_end(void);
void page_last_8(void);
void libc_bad_how(void);
void pthread_sigmask_error(void);
void libc_sigset_tail(void);

// 9 to 11, pending.cpp: the pending set.
void pending_sizes(void);
void pending_size_9(void);
void pending_fault(void);
void ignored_blocked_stays(void);
void ignore_discards(void);
void ignore_again_discards(void);
void delivery_order(void);

// 12 and 13, inheritance.cpp: what a new process inherits.
void fork_mask(void);
void exec_state(void);
void vfork_exec(void);
void spawn_plain(void);
void spawn_setsigmask(void);
void spawn_setsigdef(void);
void spawn_both(void);

// 14 to 17, handlers.cpp: threads and handlers.
void thread_mask(void);
void thread_sigmask(void);
void tgkill_blocked(void);
void handler_mask(void);
void handler_nodefer(void);
void handler_kill_stop(void);
void uc_sigmask_edit(void);
void sigsuspend_mask(void);
void sigaction_readback(void);
void rt_sigaction_refused(void);

// 18, legacy.cpp: the legacy calls, where the architecture has them.
#ifdef SYS_sigprocmask
void legacy_setmask(void);
void legacy_how(void);
#endif
#ifdef SYS_sigpending
void legacy_sigpending(void);
#endif
#ifdef SYS_ssetmask
void sgetmask_ssetmask(void);
#endif

// 19 to 23, sigwait.cpp: the calls that take a pending signal without a
// handler.
void sigtimedwait_basic(void);
void sigtimedwait_eagain(void);
void sigtimedwait_not_in_set(void);
void sigtimedwait_bad_timespec(void);
void sigtimedwait_kill_stop(void);
void sigtimedwait_sizes(void);
void sigwaitinfo_ignored_signal(void);
void sigwaitinfo_sigchld(void);
void sigtimedwait_order(void);
void sigtimedwait_sync_first(void);
void sigtimedwait_unblocked(void);
void sigtimedwait_eintr(void);
void sigwait_set(void);
// 24 to 28, queue.cpp: signals queued with a value, clone3's
// CLONE_CLEAR_SIGHAND and pidfd_send_signal.
void sigqueueinfo_self(void);
void tgsigqueueinfo_self(void);
void sigqueueinfo_codes_self(void);
void sigqueueinfo_codes_other(void);
void sigqueue_handler(void);
#ifdef SYS_clone3
void clone3_clear_sighand(void);
void clone3_sighand_clear(void);
#endif
void pidfd_self(void);
void pidfd_child(void);

// 29 to 33, signalfd.cpp: signalfd.
void signalfd_read(void);
void signalfd_codes(void);
void signalfd_multi(void);
void signalfd_ignored(void);
void signalfd_kill_stop(void);
void signalfd_sizes(void);
void signalfd_update(void);
void signalfd_read_errors(void);
void signalfd_restart(void);
void signalfd_poll(void);
void signalfd_epoll_wake(void);
void signalfd_fork(void);
void signalfd_epoll_fork(void);
void signalfd_exec(void);
void signalfd_thread(void);
// What signalfd-exec's new program does, started with this argument and
// the descriptor's number: its status.
extern const char signalfd_exec_arg[];
int signalfd_image(const char *fd);
// 34 to 38, pwait.cpp: the waits that put a mask of their own in place
// while they wait.
void ppoll_atomic(void);
void pselect6_atomic(void);
void epoll_pwait_atomic(void);
void epoll_pwait2_atomic(void);
void ppoll_handler_mask(void);
void pselect6_handler_mask(void);
void epoll_pwait_handler_mask(void);
void epoll_pwait2_handler_mask(void);
void ppoll_null_mask(void);
void pselect6_null_mask(void);
void epoll_pwait_null_mask(void);
void epoll_pwait2_null_mask(void);
void ppoll_sizes(void);
void pselect6_sizes(void);
void epoll_pwait_sizes(void);
void epoll_pwait2_sizes(void);
void pselect6_null_sixth(void);
void ppoll_during(void);
void pselect6_during(void);
void epoll_pwait_during(void);
void epoll_pwait2_during(void);
void ppoll_block_more(void);
void pselect6_block_more(void);
void epoll_pwait_block_more(void);
void epoll_pwait2_block_more(void);
void ppoll_ignored_pending(void);
void pselect6_ignored_pending(void);
void epoll_pwait_ignored_pending(void);
void epoll_pwait2_ignored_pending(void);
void ppoll_ready_first(void);
void epoll_pwait_ready_first(void);
void ppoll_time_left(void);
