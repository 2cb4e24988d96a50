// Starts the probe as a harness would, under a table of start conditions,
// and checks its standard output, standard error and wait status.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

// The probe's path, after the emulator that runs it where one is needed.
std::vector<std::string> probe;

const std::string first_report =
	" signal 1 is blocked \n"
	" signal 2 is not blocked \n"
	" signal 3 is not blocked \n"
	" signal 4 is blocked \n";
const std::string both_reports = first_report +
	" signal 1 is not blocked \n"
	" signal 2 is blocked \n"
	" signal 3 is not blocked \n"
	" signal 4 is not blocked \n";

enum class Out { pipe, file, dev_full, closed, reader_gone };

struct Case {
	const char *name;
	Out out;
	std::function<void()> setup;	// runs in the child, before exec
	std::vector<std::string> args, env;
	std::string want_out, want_err, want_status;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

struct Result {
	std::string out, err, status;
};

void set_mask(std::initializer_list<int> sigs)
{
	sigset_t set;
	sigemptyset(&set);
	for (int sig : sigs)
		sigaddset(&set, sig);
	sigprocmask(SIG_SETMASK, &set, nullptr);
}

void block_and_send(int sig)
{
	set_mask({sig});
	kill(getpid(), sig);
}

std::string read_all(int fd)
{
	std::string s;
	char buf[4096];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		s.append(buf, n);
	close(fd);
	return s;
}

// Runs argv (plus c.args, with environment c.env) with standard output as
// c.out asks, after a clean start: default dispositions, empty mask, no
// descriptors beyond 0 to 2, then c.setup.
Result run(std::vector<std::string> argv, const Case &c)
{
	int out[2], err[2];
	EXPECT_EQ(pipe(out), 0);
	EXPECT_EQ(pipe(err), 0);
	if (c.out == Out::reader_gone)
		close(out[0]);
	int file = c.out == Out::file ? fileno(tmpfile()) : -1;

	argv.insert(argv.end(), c.args.begin(), c.args.end());
	std::vector<char *> args, env;
	for (auto &a : argv)
		args.push_back(a.data());
	for (auto e : c.env)
		env.push_back(strdup(e.c_str()));
	args.push_back(nullptr);
	env.push_back(nullptr);

	pid_t pid = fork();
	if (pid == 0) {
		for (int sig = 1; sig < NSIG; sig++)
			signal(sig, SIG_DFL);
		set_mask({});
		if (c.setup)
			c.setup();
		if (c.out == Out::file)
			dup2(file, 1);
		else if (c.out == Out::dev_full)
			dup2(open("/dev/full", O_WRONLY), 1);
		else if (c.out == Out::closed)
			close(1);
		else
			dup2(out[1], 1);
		dup2(err[1], 2);
		closefrom(3);
		execvpe(args[0], args.data(), env.data());
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	int status;
	waitpid(pid, &status, 0);

	Result r;
	if (file >= 0) {
		lseek(file, 0, SEEK_SET);
		r.out = read_all(file);
	}
	if (c.out != Out::reader_gone)
		r.out += read_all(out[0]);
	r.err = read_all(err[0]);
	r.status = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
				     : "signal " + std::to_string(WTERMSIG(status));
	return r;
}

class StartConditions : public testing::TestWithParam<Case> {};

TEST_P(StartConditions, GiveTheExpectedOutputAndStatus)
{
	const Case &c = GetParam();
	Result r = run(probe, c);
	EXPECT_EQ(r.out, c.want_out);
	EXPECT_EQ(r.status, c.want_status);
	// An emulator reports a fatal signal on standard error itself.
	bool emulated = probe.size() > 1;
	if (!emulated || c.want_status.rfind("signal", 0) != 0)
		EXPECT_EQ(r.err, c.want_err);
}

const Case cases[] = {
	{"pipe", Out::pipe, {}, {}, {}, both_reports, "", "exit 0"},
	{"regular_file", Out::file, {}, {}, {}, both_reports, "", "exit 0"},
	{"sigquit_blocked", Out::pipe, [] { set_mask({SIGQUIT}); }, {}, {},
	 both_reports, "", "exit 0"},
	{"all_blocked", Out::pipe,
	 [] {
		 sigset_t all;
		 sigfillset(&all);
		 sigprocmask(SIG_SETMASK, &all, nullptr);
	 },
	 {}, {}, both_reports, "", "exit 0"},
	{"signals_1_to_4_ignored", Out::pipe,
	 [] {
		 for (int sig = 1; sig <= 4; sig++)
			 signal(sig, SIG_IGN);
	 },
	 {}, {}, both_reports, "", "exit 0"},
	{"args_and_env", Out::pipe, {}, {"--help", "-", "", "2"},
	 {"LC_ALL=de_DE.UTF-8", "POSIXLY_CORRECT=1", "TERM=dumb"},
	 both_reports, "", "exit 0"},
	// Scenario 2 releases the held SIGHUP, but the first report is out.
	{"sighup_pending_pipe", Out::pipe, [] { block_and_send(SIGHUP); }, {}, {},
	 first_report, "", "signal 1"},
	{"sighup_pending_file", Out::file, [] { block_and_send(SIGHUP); }, {}, {},
	 first_report, "", "signal 1"},
	{"sigint_pending", Out::pipe, [] { block_and_send(SIGINT); }, {}, {},
	 "", "", "signal 2"},
	{"reader_gone", Out::reader_gone, {}, {}, {}, "", "", "signal 13"},
	{"reader_gone_sigpipe_ignored", Out::reader_gone,
	 [] { signal(SIGPIPE, SIG_IGN); }, {}, {},
	 "", "sigmask-probe: write error: Broken pipe\n", "exit 1"},
	{"dev_full", Out::dev_full, {}, {}, {},
	 "", "sigmask-probe: write error: No space left on device\n", "exit 1"},
	{"stdout_closed", Out::closed, {}, {}, {},
	 "", "sigmask-probe: write error: Bad file descriptor\n", "exit 1"},
};

INSTANTIATE_TEST_SUITE_P(Table, StartConditions, testing::ValuesIn(cases),
			 [](const auto &info) { return info.param.name; });

TEST(I386File, IsDynamicI386NeedingOnlyLibcAtGlibc20)
{
	Result r = run({"readelf", "-hldW", "--dyn-syms", probe.back()}, Case{});
	ASSERT_EQ(r.status, "exit 0") << r.err;
	EXPECT_TRUE(std::regex_search(r.out, std::regex("Class: +ELF32\n")));
	EXPECT_TRUE(std::regex_search(r.out, std::regex("Machine: +Intel 80386\n")));
	EXPECT_TRUE(std::regex_search(r.out, std::regex(
		"program interpreter: /lib/ld-linux\\.so\\.2\\]")));

	std::regex needed_re("\\(NEEDED\\) +Shared library: \\[([^\\]]+)\\]");
	std::vector<std::string> needed;
	for (std::sregex_iterator m(r.out.begin(), r.out.end(), needed_re), end; m != end; ++m)
		needed.push_back((*m)[1]);
	EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});

	std::regex import_re(" UND ([^@ \n]+)@+([^ \n]+)");
	std::map<std::string, std::string> imports;
	for (std::sregex_iterator m(r.out.begin(), r.out.end(), import_re), end; m != end; ++m)
		imports[(*m)[1]] = (*m)[2];
	for (const char *name : {"sigemptyset", "sigaddset", "sigismember", "sigprocmask", "printf"})
		EXPECT_EQ(imports[name], "GLIBC_2.0") << name;
}

} // namespace

int main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	probe.assign(argv + 1, argv + argc);
	if (probe.empty()) {
		fprintf(stderr, "usage: %s [gtest options] [emulator] probe\n", argv[0]);
		return 2;
	}
	return RUN_ALL_TESTS();
}
