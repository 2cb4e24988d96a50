// SPDX-License-Identifier: MIT
// sigmask-probe-image: writes an initramfs for a kernel to boot, whose
// first program is sigmask-probe-check, with the probe, the witness and
// the calls program beside it and, for programs linked dynamically, their
// loader and libc.

#include "cpio.h"
#include "elf_facts.h"

#include <fcntl.h>
#include <getopt.h>
#include <glob.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char me[] = "sigmask-probe-image";

struct Failure : std::runtime_error {
	using std::runtime_error::runtime_error;
	int status = 1;
};

Failure usage_error(const std::string &what)
{
	Failure f(what + " (see --help)");
	f.status = 2;
	return f;
}

std::string slurp(const std::string &path)
{
	std::string data;
	FILE *in = fopen(path.c_str(), "rbe");
	char buf[65536];
	for (size_t n; in && (n = fread(buf, 1, sizeof buf, in)) > 0;)
		data.append(buf, n);
	if (!in || ferror(in)) {
		int error = errno;
		if (in)
			fclose(in);
		throw Failure("cannot read " + path + ": " + strerror(error));
	}
	fclose(in);
	return data;
}

std::string directory_of(const std::string &path)
{
	size_t slash = path.rfind('/');
	return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

// The libc.so.6 in sysroot built for the same machine as facts (alpha's
// is libc.so.6.1), found where the loader is or in the library
// directories, multiarch ones too.
std::string find_libc(const std::string &sysroot, const ElfFacts &facts)
{
	std::vector<std::string> patterns;
	for (const char *name : {"libc.so.6", "libc.so.6.1"}) {
		patterns.push_back(sysroot + directory_of(facts.interpreter) + name);
		for (const char *dir : {"/lib/", "/usr/lib/", "/lib/*/", "/usr/lib/*/", "/lib64/", "/lib32/"})
			patterns.push_back(sysroot + dir + name);
	}
	for (const std::string &pattern : patterns) {
		glob_t found;
		if (glob(pattern.c_str(), 0, nullptr, &found) != 0)
			continue;
		std::string match;
		for (size_t i = 0; i < found.gl_pathc && match.empty(); i++) {
			ElfFacts libc = elf_facts(found.gl_pathv[i]);
			if (libc.elf && libc.wide == facts.wide && libc.big == facts.big &&
			    libc.machine == facts.machine)
				match = found.gl_pathv[i];
		}
		globfree(&found);
		if (!match.empty())
			return match;
	}
	throw Failure("no libc.so.6 for " + facts.text() + " in " + sysroot);
}

// Compresses data with gzip -9n onto descriptor out.
void gzip_to(const std::string &data, int out)
{
	int in[2];
	if (pipe2(in, O_CLOEXEC) < 0)
		throw Failure(std::string("cannot make a pipe: ") + strerror(errno));
	pid_t pid = fork();
	if (pid == 0) {
		dup2(in[0], 0);
		dup2(out, 1);
		execlp("gzip", "gzip", "-9n", static_cast<char *>(nullptr));
		_exit(127);
	}
	close(in[0]);
	if (pid < 0) {
		close(in[1]);
		throw Failure(std::string("cannot fork: ") + strerror(errno));
	}
	signal(SIGPIPE, SIG_IGN);
	bool written = true;
	for (size_t at = 0; written && at < data.size();) {
		ssize_t n = write(in[1], data.data() + at, data.size() - at);
		written = n > 0 || (n < 0 && errno == EINTR);
		at += n > 0 ? n : 0;
	}
	close(in[1]);
	int status;
	if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !written)
		throw Failure(WIFEXITED(status) && WEXITSTATUS(status) == 127 ? "cannot run gzip" : "gzip failed");
}

void usage()
{
	printf("usage: sigmask-probe-image [-o FILE] [--bin DIR] [--sysroot DIR]\n"
	       "Writes an initramfs, a gzipped newc cpio archive, whose /init is\n"
	       "sigmask-probe-check, with sigmask-probe, sigmask-probe-witness and\n"
	       "sigmask-probe-calls beside it and, for programs linked dynamically, their\n"
	       "loader and libc.so.6.\n"
	       "\n"
	       "  -o, --output=FILE   write the image to FILE (default: standard output)\n"
	       "      --bin=DIR       take the programs from DIR (default: this program's)\n"
	       "      --sysroot=DIR   take the loader and libc from DIR (default: /)\n"
	       "  -h, --help          show this help\n");
}

int run(int argc, char **argv)
{
	static const struct option longopts[] = {
		{"output", required_argument, nullptr, 'o'}, {"bin", required_argument, nullptr, 'b'},
		{"sysroot", required_argument, nullptr, 's'}, {"help", no_argument, nullptr, 'h'},
		{nullptr, 0, nullptr, 0},
	};
	char self[4096];
	ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
	std::string bin = directory_of(n > 0 ? std::string(self, n) : argv[0]), sysroot, output;
	opterr = 0;
	for (int opt; (opt = getopt_long(argc, argv, "+:o:h", longopts, nullptr)) != -1;) {
		switch (opt) {
		case 'o':
			output = optarg;
			break;
		case 'b':
			bin = std::string(optarg) + "/";
			break;
		case 's':
			sysroot = optarg;
			break;
		case 'h':
			usage();
			return 0;
		case ':':
			throw usage_error(std::string("option needs an argument: ") + argv[optind - 1]);
		default:
			throw usage_error(std::string("bad option: ") + argv[optind - 1]);
		}
	}
	if (optind < argc)
		throw usage_error(std::string("no arguments, please: ") + argv[optind]);
	while (!sysroot.empty() && sysroot.back() == '/')
		sysroot.pop_back();

	// The check is the first program; the others stand beside it, where it
	// looks for them when it cannot read /proc/self/exe.
	const char *programs[][2] = {{"sigmask-probe-check", "/init"},
				     {"sigmask-probe", "/sigmask-probe"},
				     {"sigmask-probe-witness", "/sigmask-probe-witness"},
				     {"sigmask-probe-calls", "/sigmask-probe-calls"}};
	ElfFacts facts = elf_facts(bin + programs[0][0]);
	Cpio image;
	for (const char *dir : {"/dev", "/tmp"})
		image.directory(dir);
	for (const auto &program : programs) {
		std::string path = bin + program[0];
		if (elf_facts(path).text() != facts.text())
			throw Failure(path + " is not built as " + bin + programs[0][0] + " is: " +
				      elf_facts(path).text());
		image.file(program[1], slurp(path));
	}
	if (!facts.interpreter.empty()) {
		std::string loader_dir = directory_of(facts.interpreter);
		image.directory(loader_dir.substr(0, loader_dir.size() - 1));
		image.file(facts.interpreter, slurp(sysroot + facts.interpreter));
		if (loader_dir != "/lib/")
			image.directory("/lib");
		std::string libc = find_libc(sysroot, facts);
		image.file("/lib/" + libc.substr(libc.rfind('/') + 1), slurp(libc));
	}

	int out = STDOUT_FILENO;
	if (!output.empty()) {
		out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
		if (out < 0)
			throw Failure("cannot write " + output + ": " + strerror(errno));
	} else if (isatty(out)) {
		throw usage_error("an image is no text for a terminal: name a file with -o");
	}
	try {
		gzip_to(image.finished(), out);
		if (out != STDOUT_FILENO && close(out) != 0)
			throw Failure("cannot write " + output + ": " + strerror(errno));
	} catch (...) {
		if (!output.empty())
			unlink(output.c_str());	// no half an image
		throw;
	}
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	try {
		return run(argc, argv);
	} catch (const Failure &f) {
		fprintf(stderr, "%s: %s\n", me, f.what());
		return f.status;
	} catch (const std::bad_alloc &) {
		fprintf(stderr, "%s: cannot allocate memory\n", me);
		return 1;
	}
}
