// SPDX-License-Identifier: MIT
// How sigmask-probe-witness writes what it was handed, shared with
// sigmask-probe-check, which describes what it hands over the same way.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

// The tag that starts the witness's one line on standard error.
#define WITNESS_TAG "sigmask-probe-witness:"

// The file status flags a program notices on its standard streams, as
// describe_fd writes them after how the descriptor is open.
static inline void describe_flags(int flags, char *buf, size_t size)
{
	snprintf(buf, size, "%s%s", flags & O_APPEND ? "+append" : "", flags & O_NONBLOCK ? "+nonblock" : "");
}

// Describes descriptor fd: "closed", "pipe:INODE", "file:DEV:INODE",
// "socket:INODE", "tty:MAJOR,MINOR", "chr:MAJOR,MINOR", "dir" or "other",
// then "/r", "/w" or "/rw" for how it is open, and "+append" and
// "+nonblock" where those flags are set.  Looks, changes nothing.
static inline void describe_fd(int fd, char *buf, size_t size)
{
	struct stat st;
	int flags = fcntl(fd, F_GETFL);
	if (flags < 0 || fstat(fd, &st) < 0) {
		snprintf(buf, size, "closed");
		return;
	}
	int access = flags & O_ACCMODE;
	const char *mode = access == O_RDONLY ? "r" : access == O_WRONLY ? "w" : "rw";
	unsigned long long ino = st.st_ino, dev = st.st_dev;
	switch (st.st_mode & S_IFMT) {
	case S_IFIFO:
		snprintf(buf, size, "pipe:%llu/%s", ino, mode);
		break;
	case S_IFREG:
		snprintf(buf, size, "file:%llu:%llu/%s", dev, ino, mode);
		break;
	case S_IFSOCK:
		snprintf(buf, size, "socket:%llu/%s", ino, mode);
		break;
	case S_IFCHR:
		snprintf(buf, size, "%s:%u,%u/%s", isatty(fd) ? "tty" : "chr",
			 major(st.st_rdev), minor(st.st_rdev), mode);
		break;
	case S_IFDIR:
		snprintf(buf, size, "dir/%s", mode);
		break;
	default:
		snprintf(buf, size, "other/%s", mode);
	}
	size_t used = strlen(buf);
	describe_flags(flags, buf + used, size - used);
}
