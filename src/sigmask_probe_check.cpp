// SPDX-License-Identifier: MIT
// sigmask-probe-check: runs a probe command under a table of start
// conditions and says in TAP which ones come out as the probe documents,
// with a witness in the probe's place first to see each condition arrive.

#include "conditions.h"
#include "start_state.h"

#include <elf.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <getopt.h>
#include <poll.h>
#include <sys/wait.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const char me[] = "sigmask-probe-check";

// Most of a field, of a comment line and of the comment lines of a row
// that the report shows: the probe writes 196 bytes.
constexpr size_t field_bytes = 512, comment_bytes = 200, comment_lines = 10;

struct UsageError : std::runtime_error {
	using std::runtime_error::runtime_error;
};

// One UTF-8 character at s[i]: its length, or 0 when the bytes there are
// not one; *cp gets its code point.
size_t utf8_at(const std::string &s, size_t i, unsigned *cp)
{
	auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
	unsigned c = byte(i);
	size_t len = c < 0x80 ? 1 : c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3
		     : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
	if (!len || i + len > s.size())
		return 0;
	*cp = len == 1 ? c : c & (0x3f >> (len - 1));
	for (size_t k = 1; k < len; k++) {
		if ((byte(i + k) & 0xc0) != 0x80)
			return 0;
		*cp = *cp << 6 | (byte(i + k) & 0x3f);
	}
	static const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
	if (*cp < least[len] || *cp > 0x10ffff || (*cp >= 0xd800 && *cp <= 0xdfff))
		return 0;
	return len;
}

// Text from the command as the report may show it: valid UTF-8 stays as
// it is; control characters, line and paragraph separators and direction
// overrides are escaped as a YAML double-quoted string reads them back;
// a byte that is not UTF-8 becomes U+FFFD.  Cut after `most` bytes.
std::string escaped(const std::string &s, bool quoted, size_t most = std::string::npos)
{
	std::string e;
	size_t end = std::min(s.size(), most);
	for (size_t i = 0; i < end;) {
		unsigned cp;
		size_t len = utf8_at(s, i, &cp);
		char hex[16];
		if (!len) {
			e += "\xef\xbf\xbd";
			i++;
			continue;
		}
		if (cp == '\n')
			e += "\\n";
		else if (cp == '\r')
			e += "\\r";
		else if (cp == '\t')
			e += "\\t";
		else if (cp == '\\' || (quoted && cp == '"'))
			e += std::string("\\") + static_cast<char>(cp);
		else if (cp < 0x20 || (cp >= 0x7f && cp <= 0x9f)) {
			snprintf(hex, sizeof hex, "\\x%02x", cp);
			e += hex;
		} else if (cp == 0x2028 || cp == 0x2029)
			e += cp == 0x2028 ? "\\L" : "\\P";
		else if ((cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069) ||
			 cp == 0xfeff) {
			snprintf(hex, sizeof hex, "\\u%04x", cp);
			e += hex;
		} else
			e.append(s, i, len);
		i += len;
	}
	return e;
}

std::string quoted(const std::string &s, size_t most = std::string::npos)
{
	return "\"" + escaped(s, true, most) + "\"";
}

std::string command_line(const std::vector<std::string> &words)
{
	std::string s;
	for (const auto &w : words)
		s += (s.empty() ? "" : " ") + shell_quoted(w);
	return escaped(s, false);
}

// Our own output: a failure to write it is an error of ours.
struct WriteError : std::runtime_error {
	using std::runtime_error::runtime_error;
};

void emit(const std::string &text)
{
	if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0)
		throw WriteError(strerror(errno));
}

// Known deviations: rows matching a pattern are reported TODO, with the
// reason.
struct Known {
	std::string pattern, reason;
};

std::string directory_of(const std::string &path)
{
	size_t slash = path.rfind('/');
	return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// A file, closed on scope exit.
struct File {
	FILE *f;
	explicit File(const std::string &path) : f(fopen(path.c_str(), "re")) {}
	~File()
	{
		if (f)
			fclose(f);
	}
};

std::vector<Known> read_known(const std::string &name, const std::string &data_dir)
{
	std::string path = name;
	if (access(path.c_str(), F_OK) != 0 && name.find('/') == std::string::npos && !data_dir.empty())
		path = data_dir + name;
	File in(path);
	if (!in.f)
		throw UsageError("cannot read known deviations " + escaped(name, false) + ": " +
				 strerror(errno));
	std::vector<std::string> lines;
	char *text = nullptr;
	size_t size = 0;
	for (ssize_t n; (n = getline(&text, &size, in.f)) >= 0;)
		lines.emplace_back(text, n - (n > 0 && text[n - 1] == '\n'));
	free(text);
	if (ferror(in.f))
		throw UsageError("cannot read known deviations " + escaped(path, false));

	std::vector<Known> known;
	for (size_t i = 0; i < lines.size(); i++) {
		const std::string &line = lines[i];
		size_t start = line.find_first_not_of(" \t");
		if (start == std::string::npos || line[start] == '#')
			continue;
		size_t gap = line.find_first_of(" \t", start);
		size_t reason = gap == std::string::npos ? gap : line.find_first_not_of(" \t", gap);
		std::string where = escaped(path, false) + ":" + std::to_string(i + 1) + ": ";
		if (reason == std::string::npos)
			throw UsageError(where + "a pattern and a reason, please");
		Known k{line.substr(start, gap - start), line.substr(reason)};
		bool matches = false;
		for (const Condition &c : conditions)
			matches |= fnmatch(k.pattern.c_str(), c.name, 0) == 0;
		if (!matches)
			throw UsageError(where + "no condition matches " + escaped(k.pattern, false));
		known.push_back(k);
	}
	return known;
}

// The ELF facts of a program file, for the report's fingerprint.
std::string elf_facts(const std::string &path)
{
	File in(path);
	unsigned char h[64] = {};
	if (!in.f || fread(h, 1, sizeof h, in.f) < 52 || memcmp(h, ELFMAG, SELFMAG) != 0)
		return "not an ELF file";
	bool wide = h[EI_CLASS] == ELFCLASS64, big = h[EI_DATA] == ELFDATA2MSB;
	auto word = [&](const unsigned char *p, int bytes) {
		uint64_t v = 0;
		for (int i = 0; i < bytes; i++)
			v |= uint64_t(p[big ? bytes - 1 - i : i]) << (8 * i);
		return v;
	};
	static const std::map<unsigned, const char *> machines = {
		{EM_386, "Intel 80386"}, {EM_X86_64, "AMD X86-64"}, {EM_AARCH64, "AArch64"},
		{EM_ARM, "ARM"}, {EM_S390, "IBM S/390"}, {EM_RISCV, "RISC-V"},
		{EM_PPC64, "PowerPC64"}, {EM_PPC, "PowerPC"}, {EM_MIPS, "MIPS"},
		{EM_SPARCV9, "SPARC V9"}, {EM_LOONGARCH, "LoongArch"}};
	unsigned machine = word(h + 18, 2);
	auto m = machines.find(machine);
	std::string facts = std::string(wide ? "ELF64" : "ELF32") +
			    (big ? " big-endian " : " little-endian ") +
			    (m != machines.end() ? m->second : "machine " + std::to_string(machine));
	uint64_t phoff = wide ? word(h + 32, 8) : word(h + 28, 4);
	unsigned phentsize = word(h + (wide ? 54 : 42), 2), phnum = word(h + (wide ? 56 : 44), 2);
	std::string interpreter = "none (static)";
	for (unsigned i = 0; i < phnum && i < 64; i++) {
		unsigned char ph[56] = {};
		if (fseeko(in.f, phoff + uint64_t(i) * phentsize, SEEK_SET) != 0 ||
		    fread(ph, 1, wide ? 56 : 32, in.f) != (wide ? 56u : 32u) || word(ph, 4) != PT_INTERP)
			continue;
		uint64_t offset = wide ? word(ph + 8, 8) : word(ph + 4, 4);
		uint64_t size = wide ? word(ph + 32, 8) : word(ph + 16, 4);
		char text[256] = {};
		if (fseeko(in.f, offset, SEEK_SET) == 0 &&
		    fread(text, 1, std::min<uint64_t>(size, sizeof text - 1), in.f) > 0)
			interpreter = escaped(text, false);
	}
	return facts + ", interpreter " + interpreter;
}

// The report's first lines: what ran on what.
std::string fingerprint(const std::vector<std::string> &command, const std::string &probe,
			const std::string &witness)
{
	std::string s = std::string("# ") + me + " " + VERSION + "\n# command: " +
			command_line(command) + "\n";
	if (!probe.empty()) {
		int error;
		std::string file = find_command(probe, &error);
		s += "# probe: " + escaped(probe, false) + ": " +
		     (file.empty() ? strerror(error) : elf_facts(file)) + "\n";
	}
	s += "# witness: " + escaped(witness, false) + "\n";
	struct utsname u;
	if (uname(&u) == 0)
		s += std::string("# kernel: ") + u.sysname + " " + u.release + " " + u.machine + "\n";
	return s;
}

// What a run of the check is about.
struct Plan {
	std::vector<std::string> command;	// the probe command
	std::string probe;			// the probe in it, when it can be told
	std::vector<std::string> witness;	// the same with the witness in place; empty: none
	std::string unverified;			// why there is no witness
	std::vector<std::string> args;		// the probe's own arguments in command
	std::vector<const Condition *> chosen;
	std::vector<Known> known;
	bool with_known = false;
	int timeout = 5, jobs = 1;
};

// One row of the report, as its runs come in.
struct Row {
	const Condition *c = nullptr;
	Outcome witness = {}, probe = {};
	bool done = false;
	std::string text = {};	// its TAP lines, once judged
};

struct Field {
	std::string name;
	std::string want, got;
	const Captured *captured = nullptr;	// where got came from, for what was cut
};

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

// What the witness makes of a row: the differences, as fields.
std::vector<Field> witness_fields(const Row &row, const Plan &plan)
{
	const Outcome &w = row.witness;
	if (w.stage != Outcome::ran)
		return {{"witness", "its report", "cannot run: " + w.why}};
	StartState seen;
	bool reported = parse_witness(w.err.text, &seen);
	if (!reported || describe(w) != "exit 0")
		return {{"witness", "its report, exit 0",
			 (reported ? "a report, " : "no report, ") + describe(w)},
			{"witness stderr", "", w.err.text, &w.err}};
	std::vector<Field> fields;
	for (const Difference &d : compare(*row.c, seen, w.given, plan.args))
		fields.push_back({d.aspect, d.expected, d.got});
	return fields;
}

enum class Verdict { passed, failed, skipped };

// The TAP lines of a row, and what it came to.
Verdict judge(int n, Row &row, const Plan &plan, const Known *known)
{
	const Condition &c = *row.c;
	const Outcome &r = row.probe;
	std::string todo = known ? " # TODO " + escaped(known->reason, false) : "";
	if (r.stage == Outcome::not_set_up || row.witness.stage == Outcome::not_set_up) {
		std::string why = r.stage == Outcome::not_set_up ? r.why : row.witness.why;
		row.text = "ok " + std::to_string(n) + " - " + c.name + " # SKIP " + escaped(why, false) + "\n";
		return Verdict::skipped;
	}
	std::vector<Field> fields;
	std::vector<std::string> foreign;
	std::string message;
	if (!plan.witness.empty()) {
		fields = witness_fields(row, plan);
		if (!fields.empty())
			message = "the condition did not arrive as set";
	}
	if (r.stage == Outcome::not_started) {
		fields.push_back({"probe", "to start", "cannot run: " + r.why});
	} else {
		std::string got_err = r.err.text;
		if (!r.timed_out && WIFSIGNALED(r.status)) {
			got_err.clear();
			split_err(r.err.text, &got_err, &foreign);
		}
		Field probe[] = {{"stdout", expected_out(c), r.out.text, &r.out},
				 {"stderr", c.diagnostic, got_err, &r.err},
				 {"status", c.status.text(), describe(r)}};
		for (const Field &f : probe)
			fields.push_back(f);
		if (r.timed_out)
			message += std::string(message.empty() ? "" : "; ") + "timed out";
	}
	bool ok = true;
	for (const Field &f : fields)
		ok &= f.want == f.got && (!f.captured || f.captured->size == f.captured->text.size());

	std::string &t = row.text;
	t = std::string(ok ? "ok " : "not ok ") + std::to_string(n) + " - " + c.name + todo + "\n";
	if (!ok) {
		t += "  ---\n";
		if (!message.empty())
			t += "  message: " + quoted(message) + "\n";
		for (bool want : {true, false}) {
			t += want ? "  expected:\n" : "  got:\n";
			for (const Field &f : fields)
				if (f.want != f.got)
					t += "    " + f.name + ": " +
					     quoted(want ? f.want : f.got, field_bytes) + "\n";
		}
		std::string cut;
		for (const Field &f : fields) {
			size_t kept = f.captured ? f.captured->text.size() : f.got.size();
			size_t size = f.captured ? f.captured->size : f.got.size();
			if (f.want != f.got && (size > kept || f.got.size() > field_bytes))
				cut += "    " + f.name + ": \"" + std::to_string(size) +
				       " bytes, " + std::to_string(kept) + " kept, " +
				       std::to_string(std::min(kept, field_bytes)) + " shown\"\n";
		}
		if (!cut.empty())
			t += "  cut:\n" + cut;
		t += "  reproduce: " + quoted(reproducer(c, plan.command)) + "\n  ...\n";
	}
	for (size_t i = 0; i < foreign.size() && i < comment_lines; i++)
		t += "# " + escaped(foreign[i], false, comment_bytes) + "\n";
	if (foreign.size() > comment_lines)
		t += "# (" + std::to_string(foreign.size() - comment_lines) + " more lines)\n";
	if (plan.witness.empty())
		t += "# start state not verified\n";
	return ok ? Verdict::passed : Verdict::failed;
}

// The outcomes of a row's runs travel from a worker to us as one message:
// its length, then its fields.
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

// Runs a row: the witness in the probe's place, then the probe, each under
// the row's condition.  Returns false when abort_fd told us to stop.
bool run_row(const Plan &plan, const Condition &c, const sigset_t *ignored, int abort_fd,
	     Outcome *witness, Outcome *probe)
{
	std::vector<std::string> tail, env;
	std::vector<char *> envp;
	Launch how = launch(c, plan.timeout);
	how.ignored = ignored;
	if (c.args == Args::extra) {
		tail = extra_args;
		for (char **e = environ; *e; e++)
			env.push_back(*e);
		env.insert(env.end(), extra_env.begin(), extra_env.end());
	}
	for (auto &e : env)
		envp.push_back(e.data());
	envp.push_back(nullptr);
	if (c.args != Args::plain)
		how.envp = envp.data();
	bool aborted = false;
	for (auto [command, into] : {std::pair{&plan.witness, witness}, {&plan.command, probe}}) {
		if (command->empty() || witness->stage == Outcome::not_set_up)
			continue;	// no witness; or the probe would lack the same
		std::vector<std::string> argv = *command;
		argv.insert(argv.end(), tail.begin(), tail.end());
		*into = spawn(argv, how, abort_fd, &aborted);
		if (aborted)
			return false;
	}
	return true;
}

// A worker: a process of ours that runs rows for us, one at a time, and is
// the reaper of what each leaves behind.  We tell it a row's number; it
// answers with the row's outcomes, or an error of its own.
[[noreturn]] void serve(const Plan &plan, int ask, int answer)
{
	// We decide when it stops: a Ctrl-C to the whole group is ours.
	for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
		signal(sig, SIG_IGN);
	sigset_t ignored = ignored_signals();
	uint32_t row;
	while (read(ask, &row, sizeof row) == sizeof row) {
		Message m;
		try {
			Outcome witness, probe;
			if (!run_row(plan, *plan.chosen.at(row), &ignored, ask, &witness, &probe))
				_exit(0);
			m.put(0);
			m.put(witness);
			m.put(probe);
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
	Fd ask, answer;		// our ends: row numbers go out, outcomes come in
	int row = -1;		// the row it runs; -1 when it waits for one
	std::string got = {};	// its answer so far
};

// Starts a worker.  It holds no end of the others' pipes, so that closing
// ours reaches them.
Worker start_worker(const Plan &plan, std::vector<Worker> &others)
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
		serve(plan, asked.get(), answered.get());
	}
	return {pid, std::move(ask), std::move(answer)};
}

// Ends the workers: they end what they run, and we wait for them.
void stop(std::vector<Worker> &workers)
{
	for (Worker &w : workers)
		w.ask.reset();
	for (Worker &w : workers)
		waitpid(w.pid, nullptr, 0);
	workers.clear();
}

volatile sig_atomic_t interrupted;

// Runs the rows, up to plan.jobs at once, and writes the report in table
// order as rows finish.  Returns the exit status.
int check(const Plan &plan)
{
	// The signals that end a run come in only while we wait.
	sigset_t blocked, waiting;
	sigemptyset(&blocked);
	for (int sig : {SIGINT, SIGTERM, SIGHUP})
		sigaddset(&blocked, sig);
	sigprocmask(SIG_BLOCK, &blocked, &waiting);
	for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
		sigdelset(&waiting, sig);
		struct sigaction sa = {};
		sa.sa_handler = [](int sig) { interrupted = sig; };
		sigaction(sig, &sa, nullptr);
	}

	std::vector<Row> rows;
	for (const Condition *c : plan.chosen)
		rows.push_back({c});
	std::vector<Worker> workers;
	size_t next = 0, printed = 0;
	int passed = 0, failed = 0, skipped = 0, known_failing = 0, fixed = 0;
	bool header = false, any_started = false;

	auto write_header = [&] {
		if (!header)
			emit("TAP version 13\n" +
			     fingerprint(plan.command, plan.probe,
					 plan.witness.empty() ? "none: " + plan.unverified
							      : command_line(plan.witness)) +
			     "1.." + std::to_string(rows.size()) + "\n");
		header = true;
	};
	// Takes in a worker's answer for row i, judges the row and writes every
	// row that is now next in line.
	auto take = [&](size_t i, Message &m) {
		Row &row = rows[i];
		if (m.number() != 0)
			throw SpawnError(m.text());
		m.get(&row.witness);
		m.get(&row.probe);
		if (row.probe.stage == Outcome::not_started && !any_started && !header &&
		    row.c->args == Args::plain)
			throw UsageError("cannot run " + escaped(plan.command[0], false) + ": " + row.probe.why);
		any_started |= row.probe.stage == Outcome::ran;
		const Known *known = nullptr;
		for (const Known &k : plan.known)
			if (!known && fnmatch(k.pattern.c_str(), row.c->name, 0) == 0)
				known = &k;
		Verdict verdict = judge(static_cast<int>(i) + 1, row, plan, known);
		skipped += verdict == Verdict::skipped;
		passed += verdict == Verdict::passed;
		failed += verdict == Verdict::failed && !known;
		known_failing += verdict == Verdict::failed && known;
		fixed += verdict == Verdict::passed && known;
		row.done = true;
		while (printed < rows.size() && rows[printed].done) {
			write_header();
			emit(rows[printed++].text);
		}
	};

	try {
		while (printed < rows.size()) {
			for (size_t w = 0; next < rows.size(); w++) {
				if (w == workers.size()) {
					if (workers.size() == static_cast<size_t>(plan.jobs))
						break;
					workers.push_back(start_worker(plan, workers));
				}
				if (workers[w].row >= 0)
					continue;
				uint32_t row = next++;
				if (write(workers[w].ask.get(), &row, sizeof row) != sizeof row)
					throw SpawnError(std::string("cannot reach a worker: ") + strerror(errno));
				workers[w].row = row;
			}
			std::vector<struct pollfd> fds;
			for (Worker &w : workers)
				fds.push_back({w.answer.get(), POLLIN, 0});
			if (ppoll(fds.data(), fds.size(), nullptr, &waiting) < 0) {
				if (errno != EINTR)
					throw SpawnError(std::string("cannot poll: ") + strerror(errno));
				if (!interrupted)
					continue;
				// End the rows, say so, and die of the same signal.
				stop(workers);
				try {
					write_header();
					emit("Bail out! interrupted by " + signal_name(interrupted) + "\n");
				} catch (const WriteError &) {
				}
				signal(interrupted, SIG_DFL);
				sigprocmask(SIG_SETMASK, &waiting, nullptr);
				raise(interrupted);
				return 2;
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
				size_t row = w.row;
				w.row = -1;
				take(row, m);
			}
		}
		stop(workers);
	} catch (const SpawnError &e) {
		stop(workers);
		if (header)
			emit(std::string("Bail out! ") + e.what() + "\n");
		throw;
	} catch (...) {
		stop(workers);
		throw;
	}
	std::string summary = "# " + std::to_string(passed) + " passed, " + std::to_string(failed) +
			      " failed, " + std::to_string(skipped) + " skipped";
	if (plan.with_known)
		summary += ", " + std::to_string(known_failing) + " known, " + std::to_string(fixed) +
			   " fixed";
	if (plan.witness.empty())
		summary += "; start state not verified: " + escaped(plan.unverified, false);
	emit(summary + "\n");
	sigprocmask(SIG_SETMASK, &waiting, nullptr);
	if (failed)
		return 1;
	return passed + known_failing ? 0 : 1;	// all skipped: nothing was judged
}

// Where this program lives: /proc/self/exe, or else argv[0] when it is a
// path; "" when neither tells.
std::string own_directory(const char *argv0)
{
	char self[4096];
	ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
	if (n > 0)
		return directory_of(std::string(self, n));
	return directory_of(argv0 ? argv0 : "");
}

// Where the probe stands in command: the word that names the default
// probe, or else the last one whose file name is sigmask-probe.
size_t probe_place(const std::vector<std::string> &command, const std::string &default_probe)
{
	for (size_t i = 0; i < command.size(); i++)
		if (command[i] == default_probe)
			return i;
	for (size_t i = command.size(); i-- > 0;)
		if (command[i].size() >= 13 && command[i].compare(command[i].size() - 13, 13, "sigmask-probe") == 0 &&
		    (command[i].size() == 13 || command[i][command[i].size() - 14] == '/'))
			return i;
	return std::string::npos;
}

void usage()
{
	emit("usage: sigmask-probe-check [OPTION]... [--] [COMMAND [ARG]...]\n"
	     "Runs COMMAND (default: the sigmask-probe beside this program) under each start\n"
	     "condition, with sigmask-probe-witness in the probe's place first to see the\n"
	     "condition arrive, and reports in TAP which ones come out as documented.\n"
	     "\n"
	     "  -l, --list             list the conditions and what each expects\n"
	     "  -o, --only=PATTERN     run only the conditions whose names match PATTERN\n"
	     "                         (a shell pattern; may be given more than once)\n"
	     "  -t, --timeout=SECONDS  kill a run that takes longer, 1 to 86400 (default 5)\n"
	     "  -j, --jobs=N           run up to N conditions at once (default: processors)\n"
	     "  -k, --known=FILE       report the deviations FILE lists as TODO; FILE may\n"
	     "                         name a file of this package's, such as qemu-user\n"
	     "  -w, --witness=FILE     the witness to put in the probe's place\n"
	     "      --explain=NAME     print a shell script that reproduces condition NAME\n"
	     "  -h, --help             show this help\n"
	     "      --version          show the version\n");
}

long number(const char *option, const char *text, long least, long most)
{
	char *end;
	errno = 0;
	long n = strtol(text, &end, 10);
	if (errno || end == text || *end || n < least || n > most)
		throw UsageError(std::string("bad ") + option + ": " + escaped(text, false) + " (" +
				 std::to_string(least) + " to " + std::to_string(most) + ")");
	return n;
}

// The conditions whose names match one of the patterns, or all when there
// are none.
std::vector<const Condition *> choose(const std::vector<std::string> &patterns)
{
	std::vector<bool> wanted(conditions.size(), patterns.empty());
	for (const auto &pattern : patterns) {
		bool used = false;
		for (size_t i = 0; i < wanted.size(); i++)
			if (fnmatch(pattern.c_str(), conditions[i].name, 0) == 0)
				wanted[i] = used = true;
		if (!used)
			throw UsageError("no condition matches " + escaped(pattern, false));
	}
	std::vector<const Condition *> chosen;
	for (size_t i = 0; i < wanted.size(); i++)
		if (wanted[i])
			chosen.push_back(&conditions[i]);
	return chosen;
}

const struct option longopts[] = {
	{"list", no_argument, nullptr, 'l'},
	{"only", required_argument, nullptr, 'o'},
	{"timeout", required_argument, nullptr, 't'},
	{"jobs", required_argument, nullptr, 'j'},
	{"known", required_argument, nullptr, 'k'},
	{"witness", required_argument, nullptr, 'w'},
	{"explain", required_argument, nullptr, 'E'},
	{"help", no_argument, nullptr, 'h'},
	{"version", no_argument, nullptr, 'V'},
	{nullptr, 0, nullptr, 0},
};

// The word getopt stopped at: a long option as written, a short one alone
// (it may stand in a cluster).
std::string bad_word(char **argv)
{
	std::string word = argv[optind - 1];
	if (word.rfind("--", 0) == 0 && word.size() > 2)
		return word.substr(0, word.find('='));
	return optopt ? std::string("-") + static_cast<char>(optopt) : word;
}

int run(int argc, char **argv)
{
	Plan plan;
	plan.jobs = std::max(1L, std::min(sysconf(_SC_NPROCESSORS_ONLN), 64L));
	bool list = false;
	std::vector<std::string> only, known;
	std::string witness, explained;
	int opt;
	opterr = 0;	// one line of our own instead
	while ((opt = getopt_long(argc, argv, "+:lo:t:j:k:w:h", longopts, nullptr)) != -1) {
		switch (opt) {
		case 'l':
			list = true;
			break;
		case 'o':
			only.push_back(optarg);
			break;
		case 't':
			plan.timeout = number("time limit", optarg, 1, 86400);
			break;
		case 'j':
			plan.jobs = number("number of jobs", optarg, 1, 1024);
			break;
		case 'k':
			known.push_back(optarg);
			break;
		case 'w':
			witness = optarg;
			break;
		case 'E':
			explained = optarg;
			break;
		case 'h':
			usage();
			return 0;
		case 'V':
			emit(std::string(me) + " " + VERSION + "\n");
			return 0;
		case ':':
			throw UsageError("option needs an argument: " + escaped(bad_word(argv), false) + " (see --help)");
		default:
			throw UsageError("bad option: " + escaped(bad_word(argv), false) + " (see --help)");
		}
	}

	plan.chosen = choose(only);
	if (list) {
		for (const Condition *c : plan.chosen) {
			char name[40];
			snprintf(name, sizeof name, "%-36s", c->name);
			emit(std::string(name) + " " + c->about + ": " + expectation(*c) + "\n");
		}
		return 0;
	}

	std::string dir = own_directory(argv[0]);
	std::string default_probe = dir.empty() ? "" : dir + "sigmask-probe";
	plan.command.assign(argv + optind, argv + argc);
	if (plan.command.empty()) {
		if (default_probe.empty())
			throw UsageError("cannot tell where this program is, so name the probe command");
		plan.command.push_back(default_probe);
	}
	std::string data_dir = dir.empty() ? "" : dir + KNOWN_DIR;
	for (const auto &file : known) {
		auto more = read_known(file, data_dir);
		plan.known.insert(plan.known.end(), more.begin(), more.end());
		plan.with_known = true;
	}

	if (!explained.empty()) {
		for (const Condition &c : conditions) {
			if (explained == c.name) {
				emit(explain(c, plan.command));
				return 0;
			}
		}
		throw UsageError("no condition is named " + escaped(explained, false));
	}

	int error;
	if (find_command(plan.command[0], &error).empty())
		throw UsageError("cannot run " + escaped(plan.command[0], false) + ": " + strerror(error));

	size_t place = probe_place(plan.command, default_probe);
	if (place == std::string::npos) {
		if (!witness.empty())
			throw UsageError("--witness: no sigmask-probe in the command to stand in for");
		plan.unverified = "no sigmask-probe in the command";
	} else {
		plan.args.assign(plan.command.begin() + place + 1, plan.command.end());
		plan.probe = plan.command[place];
		if (witness.empty())
			witness = directory_of(plan.probe) + "sigmask-probe-witness";
		if (find_command(witness, &error).empty()) {
			plan.unverified = "no " + witness + ": " + strerror(error);
		} else {
			plan.witness = plan.command;
			plan.witness[place] = witness;
		}
	}
	return check(plan);
}

} // namespace

int main(int argc, char **argv)
{
	// Our pipes must never land on 0, 1 or 2.  A stand-in there is read
	// only, so that writing to a closed standard output still fails.
	for (int fd = 0; fd < 3; fd++)
		if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) != fd)
			return 2;
	// What we rely on, whatever we were started with: children we wait
	// for, and everything they leave behind ends with us.
	signal(SIGCHLD, SIG_DFL);
	adopt_orphans();

	int status;
	try {
		status = run(argc, argv);
		if (fflush(stdout) != 0 || ferror(stdout))
			throw WriteError(strerror(errno ? errno : EIO));
	} catch (const UsageError &e) {
		fprintf(stderr, "%s: %s\n", me, e.what());
		status = 2;
	} catch (const SpawnError &e) {
		fprintf(stderr, "%s: %s\n", me, e.what());
		status = 2;
	} catch (const WriteError &e) {
		fprintf(stderr, "%s: write error: %s\n", me, e.what());
		status = 2;
	} catch (const std::bad_alloc &) {
		fprintf(stderr, "%s: cannot allocate memory\n", me);
		status = 2;
	}
	end_children();
	// stdio must not try to write what failed once more at exit.
	if (status == 2 && ferror(stdout))
		_exit(status);
	return status;
}
