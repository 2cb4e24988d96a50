// SPDX-License-Identifier: MIT
// The cases of what a new process inherits: through fork, exec, vfork and
// posix_spawn.

#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cases.h"

extern char **environ;

// 12. fork: the child has the mask, not the pending set.
void fork_mask(void)
{
	static const int held[] = {SIGHUP, SIGUSR1, SIGUSR2, 0};
	set_mask(held);
	kill(getpid(), SIGUSR2);
	int fds[2];
	if (pipe(fds) < 0)
		return;
	pid_t pid = fork();
	if (pid == 0) {
		struct kset both[2] = {mask_now(), pending_now()};
		_exit(write(fds[1], both, sizeof both) == (ssize_t)sizeof both ? 0 : 1);
	}
	struct kset both[2];
	memset(both, 0, sizeof both);
	if (read(fds[0], both, sizeof both) != (ssize_t)sizeof both)
		put("child=silent");
	waitpid(pid, NULL, 0);
	put_kset("child_mask", &both[0]);
	put_kset("child_pending", &both[1]);
	put_pending_as("parent_pending");
}

// 13. exec, from a process with signals blocked (1, 10), pending (10),
// caught (14) and ignored (12): what the witness sees arrive.
char witness[4096];

enum way { by_exec, by_vfork, by_spawn };

static void through(enum way way, const int *spawn_mask, const int *spawn_default)
{
	int fds[2];
	if (pipe(fds) < 0)
		return;
	pid_t pid = fork();
	if (pid == 0) {
		close(fds[0]);
		dup2(fds[1], 2);
		close(fds[1]);
		struct sigaction sa;
		memset(&sa, 0, sizeof sa);
		sa.sa_handler = count;
		sigaction(SIGALRM, &sa, NULL);
		ignore(SIGUSR2);
		set_mask(start);
		kill(getpid(), SIGUSR1);
		char *argv[] = {witness, NULL};
		if (way == by_exec) {
			execv(witness, argv);
		} else if (way == by_vfork) {
			pid_t child = vfork();
			if (child == 0) {
				execv(witness, argv);
				_exit(127);
			}
			int status;
			waitpid(child, &status, 0);
			_exit(0);
		} else {
			posix_spawnattr_t attr;
			posix_spawnattr_init(&attr);
			sigset_t mask = sigset_of(spawn_mask), to_default = sigset_of(spawn_default);
			posix_spawnattr_setsigmask(&attr, &mask);
			posix_spawnattr_setsigdefault(&attr, &to_default);
			posix_spawnattr_setflags(&attr, (spawn_mask ? POSIX_SPAWN_SETSIGMASK : 0) |
							 (spawn_default ? POSIX_SPAWN_SETSIGDEF : 0));
			pid_t child;
			if (posix_spawn(&child, witness, NULL, &attr, argv, environ) == 0)
				waitpid(child, NULL, 0);
			_exit(0);
		}
		_exit(127);
	}
	close(fds[1]);
	char text[8192];
	size_t used = 0;
	for (ssize_t n; used < sizeof text - 1 && (n = read(fds[0], text + used, sizeof text - 1 - used)) > 0;)
		used += n;
	text[used] = '\0';
	close(fds[0]);
	waitpid(pid, NULL, 0);
	// The witness's sets, as it wrote them.
	const char *line = strstr(text, "sigmask-probe-witness:");
	if (!line) {
		put("witness=silent");
		return;
	}
	static const char *const keys[] = {" blocked=", " pending=", " ignored=", " caught="};
	for (const char *key : keys) {
		const char *at = strstr(line, key);
		size_t len = at ? strcspn(at + strlen(key), " \n") : 0;
		if (!at)
			put("%.*s=?", (int)strlen(key) - 2, key + 1);
		else if (!len)
			put("%.*s=none", (int)strlen(key) - 2, key + 1);
		else
			put("%.*s=%.*s", (int)strlen(key) - 2, key + 1, (int)len, at + strlen(key));
	}
}
static const int spawn_mask[] = {SIGINT, SIGKILL, SIGUSR2, rt35, 0}, spawn_default[] = {SIGUSR2, 0};
void exec_state(void) { through(by_exec, NULL, NULL); }
void vfork_exec(void) { through(by_vfork, NULL, NULL); }
void spawn_plain(void) { through(by_spawn, NULL, NULL); }
void spawn_setsigmask(void) { through(by_spawn, spawn_mask, NULL); }
void spawn_setsigdef(void) { through(by_spawn, NULL, spawn_default); }
void spawn_both(void) { through(by_spawn, spawn_mask, spawn_default); }
