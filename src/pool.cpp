// SPDX-License-Identifier: MIT
// The worker pool: see pool.h.
//
// We fork the workers once.  A worker reads a job's number from its pipe,
// runs it and answers on another pipe with one length-prefixed message:
// the outcomes, or an error of its own.  Closing its job pipe ends it, and
// ends the run it is in.
#include "pool.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

// The outcomes of a job as they travel from a worker to us.
struct Message {
	std::string bytes;
	size_t at = 0;

	void put(uint64_t n) { bytes.append(reinterpret_cast<const char *>(&n), sizeof n); }
	void put(const std::string &s)
	{
		put(s.size());
		bytes += s;
	}
	void put(const Outcome &o)
	{
		put(o.stage);
		put(o.why);
		for (const Captured *c : {&o.out, &o.err}) {
			put(c->text);
			put(c->size);
		}
		put(static_cast<uint64_t>(o.status));
		put(o.timed_out);
		for (const auto &fd : o.given)
			put(fd);
	}
	uint64_t number()
	{
		uint64_t n;
		if (bytes.size() - at < sizeof n)
			throw SpawnError("a worker's answer is cut short");
		memcpy(&n, bytes.data() + at, sizeof n);
		at += sizeof n;
		return n;
	}
	std::string text()
	{
		uint64_t n = number();
		if (bytes.size() - at < n)
			throw SpawnError("a worker's answer is cut short");
		at += n;
		return bytes.substr(at - n, n);
	}
	void get(Outcome *o)
	{
		o->stage = static_cast<Outcome::Stage>(number());
		o->why = text();
		for (Captured *c : {&o->out, &o->err}) {
			c->text = text();
			c->size = number();
		}
		o->status = static_cast<int>(number());
		o->timed_out = number();
		for (auto &fd : o->given)
			fd = text();
	}
};

// A worker's life: jobs in, answers out, until we close its job pipe.
[[noreturn]] void serve(const Work &work, int ask, int answer)
{
	// We decide when it stops: a Ctrl-C to the whole group is ours.
	for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
		signal(sig, SIG_IGN);
	uint32_t job;
	while (read(ask, &job, sizeof job) == sizeof job) {
		Message m;
		try {
			std::vector<Outcome> outcomes;
			if (!work(job, ask, &outcomes))
				_exit(0);
			m.put(0);
			m.put(outcomes.size());
			for (const Outcome &o : outcomes)
				m.put(o);
		} catch (const std::exception &e) {
			m.bytes.clear();
			m.put(1);
			m.put(dynamic_cast<const std::bad_alloc *>(&e) ? "cannot allocate memory" : e.what());
		}
		Message framed;
		framed.put(m.bytes);
		for (size_t at = 0; at < framed.bytes.size();) {
			ssize_t n = write(answer, framed.bytes.data() + at, framed.bytes.size() - at);
			if (n <= 0)
				_exit(1);
			at += n;
		}
	}
	_exit(0);
}

struct Worker {
	pid_t pid = -1;
	Fd ask, answer;		// our ends: job numbers go out, outcomes come in
	int job = -1;		// the job it runs; -1 when it waits for one
	std::string got = {};	// its answer so far
};

// Starts a worker.  It holds no end of the others' pipes, so that closing
// ours reaches them.
Worker start_worker(const Work &work, std::vector<Worker> &others)
{
	Fd ask, asked, answer, answered;
	int fds[2][2];
	if (pipe2(fds[0], O_CLOEXEC) < 0 || (asked.reset(fds[0][0]), ask.reset(fds[0][1]),
					      pipe2(fds[1], O_CLOEXEC) < 0))
		throw SpawnError(std::string("cannot make a pipe: ") + strerror(errno));
	answer.reset(fds[1][0]);
	answered.reset(fds[1][1]);
	pid_t pid = fork();
	if (pid < 0)
		throw SpawnError(std::string("cannot fork: ") + strerror(errno));
	if (pid == 0) {
		for (Worker &w : others) {
			w.ask.reset();
			w.answer.reset();
		}
		ask.reset();
		answer.reset();
		serve(work, asked.get(), answered.get());
	}
	return {pid, std::move(ask), std::move(answer)};
}

// The workers, ended when they go: they end what they run, and we wait
// for them.
struct Workers : std::vector<Worker> {
	~Workers()
	{
		for (Worker &w : *this)
			w.ask.reset();
		for (Worker &w : *this)
			if (w.pid > 0)
				waitpid(w.pid, nullptr, 0);
	}
};

volatile sig_atomic_t interrupted;

// The signals that end a run, which come in only while we wait for the
// workers; the mask and actions we found are back when it goes.
struct StopSignals {
	sigset_t old_mask, waiting;
	struct sigaction old[3];
	static constexpr int sigs[3] = {SIGINT, SIGTERM, SIGHUP};
	StopSignals()
	{
		sigset_t blocked;
		sigemptyset(&blocked);
		for (int sig : sigs)
			sigaddset(&blocked, sig);
		sigprocmask(SIG_BLOCK, &blocked, &old_mask);
		waiting = old_mask;
		for (int i = 0; i < 3; i++) {
			sigdelset(&waiting, sigs[i]);
			struct sigaction sa = {};
			sa.sa_handler = [](int sig) { interrupted = sig; };
			sigaction(sigs[i], &sa, &old[i]);
		}
	}
	~StopSignals()
	{
		for (int i = 0; i < 3; i++)
			sigaction(sigs[i], &old[i], nullptr);
		sigprocmask(SIG_SETMASK, &old_mask, nullptr);
	}
};

} // namespace

void run_jobs(size_t count, int jobs, const Work &work, const Done &done)
{
	StopSignals stop;
	Workers workers;
	size_t next = 0, finished = 0;
	while (finished < count) {
		for (size_t w = 0; next < count; w++) {
			if (w == workers.size()) {
				if (workers.size() == static_cast<size_t>(jobs))
					break;
				workers.push_back(start_worker(work, workers));
			}
			if (workers[w].job >= 0)
				continue;
			uint32_t job = next++;
			if (write(workers[w].ask.get(), &job, sizeof job) != sizeof job)
				throw SpawnError(std::string("cannot reach a worker: ") + strerror(errno));
			workers[w].job = job;
		}
		std::vector<struct pollfd> fds;
		for (Worker &w : workers)
			fds.push_back({w.answer.get(), POLLIN, 0});
		if (ppoll(fds.data(), fds.size(), nullptr, &stop.waiting) < 0) {
			if (errno != EINTR)
				throw SpawnError(std::string("cannot poll: ") + strerror(errno));
			if (interrupted)
				throw Interrupted{interrupted};
			continue;
		}
		for (size_t i = 0; i < workers.size(); i++) {
			Worker &w = workers[i];
			if (!fds[i].revents)
				continue;
			char buf[65536];
			ssize_t n = read(w.answer.get(), buf, sizeof buf);
			if (n <= 0) {
				int status = 0;
				waitpid(w.pid, &status, 0);
				w.pid = -1;
				throw SpawnError("a worker process ended (" + describe_status(status) +
						 "): something killed it");
			}
			w.got.append(buf, n);
			Message framed{w.got};
			if (w.got.size() < sizeof(uint64_t) ||
			    w.got.size() - sizeof(uint64_t) < framed.number())
				continue;	// more to come
			framed.at = 0;
			Message m{framed.text()};
			w.got.erase(0, framed.at);
			size_t job = w.job;
			w.job = -1;
			if (m.number() != 0)
				throw SpawnError(m.text());
			std::vector<Outcome> outcomes(m.number());
			for (Outcome &o : outcomes)
				m.get(&o);
			finished++;
			done(job, outcomes);
		}
	}
}

void die_of(int sig)
{
	signal(sig, SIG_DFL);
	sigset_t one;
	sigemptyset(&one);
	sigaddset(&one, sig);
	sigprocmask(SIG_UNBLOCK, &one, nullptr);
	raise(sig);
	_exit(128 + sig);
}
