// SPDX-License-Identifier: MIT
// The worker pool: processes of ours that run jobs, each the reaper of what
// its jobs leave behind, and hand back what the runs came to.
#pragma once

#include "spawn.h"

#include <functional>
#include <vector>

// A job's work, done in a worker: the outcomes of its runs, or false when
// abort_fd told it to stop.
using Work = std::function<bool(size_t job, int abort_fd, std::vector<Outcome> *outcomes)>;
// Takes a job's outcomes in, in our process, as each job ends.
using Done = std::function<void(size_t job, std::vector<Outcome> &outcomes)>;

// SIGINT, SIGTERM or SIGHUP came: the workers have ended their runs.
struct Interrupted {
	int sig;
};

// Runs jobs 0 to count - 1, in order, up to `jobs` at once.  Throws
// SpawnError when a worker fails us, Interrupted when we are asked to stop;
// either way every worker has ended first.
void run_jobs(size_t count, int jobs, const Work &work, const Done &done);

// Dies of sig, unblocked and at its default action.
[[noreturn]] void die_of(int sig);
