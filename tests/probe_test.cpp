// Starts the probe as a harness would, under a table of start conditions,
// and checks its standard output, standard error and wait status; then
// checks the i386 file, the install tree, the manual page and the package.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

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
Result run(std::vector<std::string> argv, const Case &c = {})
{
	int out[2], err[2];
	EXPECT_EQ(pipe(out), 0);
	EXPECT_EQ(pipe(err), 0);
	if (c.out == Out::reader_gone)
		close(out[0]);
	int file = -1;
	if (c.out == Out::file)
		file = open(fs::temp_directory_path().c_str(), O_TMPFILE | O_RDWR, 0600);

	argv.insert(argv.end(), c.args.begin(), c.args.end());
	std::vector<std::string> env = c.env;
	auto pointers = [](std::vector<std::string> &strings) {
		std::vector<char *> p;
		for (auto &s : strings)
			p.push_back(s.data());
		p.push_back(nullptr);
		return p;
	};
	std::vector<char *> argp = pointers(argv), envp = pointers(env);

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
		execvpe(argp[0], argp.data(), envp.data());
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

// Runs one of the platform's tools, with its search path, in the C locale.
Result tool(std::vector<std::string> argv, std::vector<std::string> env = {})
{
	Case c{};
	c.env = std::move(env);
	const char *path = getenv("PATH");
	c.env.push_back(std::string("PATH=") + (path ? path : "/usr/bin:/bin"));
	c.env.push_back("LC_ALL=C");
	return run(std::move(argv), c);
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
	Result r = tool({"readelf", "-hldW", "--dyn-syms", probe.back()});
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
	// The package promises no more than libc6 (>= 2.34).
	for (const auto &[name, version] : imports)
		EXPECT_LE(strverscmp(version.c_str(), "GLIBC_2.34"), 0) << name << "@" << version;
}

// A fresh directory, removed with everything in it afterwards.
struct TempDir {
	std::string path;
	TempDir()
	{
		std::string name = fs::temp_directory_path() / "sigmask-probe-XXXXXX";
		path = mkdtemp(name.data());
	}
	~TempDir() { fs::remove_all(path); }
};

std::vector<std::string> files_below(const std::string &dir)
{
	std::vector<std::string> files;
	for (const auto &entry : fs::recursive_directory_iterator(dir))
		if (!entry.is_directory())
			files.push_back(fs::relative(entry.path(), dir));
	std::sort(files.begin(), files.end());
	return files;
}

std::string slurp(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(in), {}};
}

TEST(Install, LaysOutTheProgramAndItsManualPage)
{
	TempDir dest;
	Result r = tool({CMAKE_PROGRAM, "--install", BUILD_DIR, "--prefix", "/usr/local"},
			{"DESTDIR=" + dest.path});
	ASSERT_EQ(r.status, "exit 0") << r.err;
	EXPECT_EQ(files_below(dest.path),
		  (std::vector<std::string>{"usr/local/bin/sigmask-probe",
					    "usr/local/share/man/man1/sigmask-probe.1"}));
	EXPECT_EQ(slurp(dest.path + "/usr/local/bin/sigmask-probe"), slurp(probe.back()));
	EXPECT_EQ(slurp(dest.path + "/usr/local/share/man/man1/sigmask-probe.1"), slurp(MANUAL_PAGE));
}

TEST(Manual, LintsClean)
{
	Result r = tool({"groff", "-man", "-ww", "-z", MANUAL_PAGE});
	EXPECT_EQ(r.out + r.err, "");
	EXPECT_EQ(r.status, "exit 0");
}

TEST(Package, HoldsTheProgramAndItsManualPage)
{
	const std::pair<const char *, const char *> fields[] = {
		{"Package", "sigmask-probe\n"},
		{"Architecture", "i386\n"},
		{"Depends", "libc6 (>= 2.34)\n"},
		{"Section", "utils\n"},
	};
	for (auto [field, value] : fields)
		EXPECT_EQ(tool({"dpkg-deb", "-f", PACKAGE_FILE, field}).out, value);
	EXPECT_NE(tool({"dpkg-deb", "-f", PACKAGE_FILE, "Maintainer"}).out, "");
	std::string about = tool({"dpkg-deb", "-f", PACKAGE_FILE, "Description"}).out;
	EXPECT_GE(std::count(about.begin(), about.end(), '\n'), 3) << "a summary and a long description";

	TempDir root;
	ASSERT_EQ(tool({"dpkg-deb", "-x", PACKAGE_FILE, root.path}).status, "exit 0");
	EXPECT_EQ(files_below(root.path),
		  (std::vector<std::string>{"usr/bin/sigmask-probe",
					    "usr/share/man/man1/sigmask-probe.1.gz"}));
	EXPECT_EQ(tool({"gzip", "-dc", root.path + "/usr/share/man/man1/sigmask-probe.1.gz"}).out,
		  slurp(MANUAL_PAGE));

	std::vector<std::string> unpacked(probe.begin(), probe.end() - 1);
	unpacked.push_back(root.path + "/usr/bin/sigmask-probe");
	EXPECT_EQ(run(unpacked).out, both_reports);
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
