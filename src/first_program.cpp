// SPDX-License-Identifier: MIT
// The check as the first program of a bare system: see first_program.h.
#include "first_program.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// A NAME=value word, as the kernel hands on what it does not know.
bool kernel_word(const char *word)
{
	if (!isalpha(static_cast<unsigned char>(*word)) && *word != '_')
		return false;
	while (isalnum(static_cast<unsigned char>(*word)) || *word == '_' || *word == '.')
		word++;
	return *word == '=';
}

void mount_if(bool missing, const char *type, const char *where)
{
	if (!missing)
		return;
	mkdir(where, 0755);
	mount(type, where, type, MS_NOSUID, nullptr);
}

bool can_make_temporary_file(const char *dir)
{
	int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
	if (fd < 0)
		return false;
	close(fd);
	return true;
}

} // namespace

bool first_program_wanted(int argc, char **argv)
{
	// A kernel starts an initramfs's first program as /init, by that name;
	// a container's or a sandbox's first process is started by its own.
	if (getpid() == 1 && argc > 0 && strcmp(argv[0], "/init") == 0)
		return true;
	for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++)
		if (strcmp(argv[i], "--init") == 0)
			return true;
	return false;
}

void drop_kernel_words(int *argc, char **argv)
{
	int kept = 1;
	for (int i = 1; i < *argc; i++)
		if (!kernel_word(argv[i]))
			argv[kept++] = argv[i];
	argv[kept] = nullptr;
	*argc = kept;
}

void prepare_first_program()
{
	mount_if(access("/dev/null", F_OK) != 0, "devtmpfs", "/dev");
	mount_if(access("/dev/pts/ptmx", F_OK) != 0, "devpts", "/dev/pts");
	const char *tmpdir = getenv("TMPDIR");
	mount_if(!tmpdir && !can_make_temporary_file("/tmp"), "tmpfs", "/tmp");
	// The kernel gives init the console as 0 to 2, unless it could not
	// open it; the first file we open must not take their place.
	for (int fd = 0; fd < 3; fd++) {
		if (fcntl(fd, F_GETFD) >= 0)
			continue;
		int console = open("/dev/console", O_RDWR | O_NOCTTY);
		if (console >= 0 && console != fd) {
			dup2(console, fd);
			close(console);
		}
	}
}

void power_off(int status, const std::string &error, FILE *report)
{
	char line[64];
	snprintf(line, sizeof line, "# sigmask-probe-check: exit status %d\n", status);
	fflush(report);
	struct stat a, b;
	bool apart = fstat(fileno(report), &a) != 0 || fstat(STDERR_FILENO, &b) != 0 ||
		     (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) ? a.st_rdev != b.st_rdev
							     : a.st_dev != b.st_dev || a.st_ino != b.st_ino);
	if (apart && !error.empty())
		fprintf(report, "# %s\n", error.c_str());
	fputs(line, report);
	fflush(report);
	if (apart)
		fputs(line, stderr);
	fflush(stderr);
	// A terminal may still hold what we wrote, as the line-mode console of
	// s390x does: it must be out before the machine is.
	tcdrain(fileno(report));
	tcdrain(STDERR_FILENO);
	sync();
	// Only the system's own first process powers it off: in a PID
	// namespace reboot(2) would end us with SIGINT and lose the status
	// (there turning Ctrl-Alt-Del off is refused with EINVAL), and a
	// sandbox may have no reboot(2) at all.
	std::string why;
	if (getpid() != 1)
		why = "not process 1";
	else if (reboot(RB_DISABLE_CAD) != 0)
		why = errno == EINVAL ? "process 1 of a PID namespace, not of the system" : strerror(errno);
	else if (reboot(RB_POWER_OFF) != 0)
		why = strerror(errno);
	fprintf(stderr, "sigmask-probe-check: cannot power off: %s\n", why.c_str());
}
