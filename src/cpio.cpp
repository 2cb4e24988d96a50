// SPDX-License-Identifier: MIT
// A newc cpio archive: see cpio.h.
#include "cpio.h"

#include <sys/stat.h>

#include <cstdio>

namespace {

// Names and data start and end on four-byte boundaries.
void pad(std::string *s)
{
	s->append((4 - s->size() % 4) % 4, '\0');
}

} // namespace

void Cpio::entry(const std::string &path, unsigned mode, const std::string &data)
{
	std::string name = path[0] == '/' ? path.substr(1) : path;
	// Magic, then inode, mode, uid, gid, links, mtime, size, the device's
	// and the special file's major and minor, the name's size, a checksum.
	unsigned fields[13] = {++inode_, mode, 0, 0, S_ISDIR(mode) ? 2u : 1u, 0,
			       static_cast<unsigned>(data.size()), 0, 0, 0, 0,
			       static_cast<unsigned>(name.size() + 1), 0};
	char header[6 + 13 * 8 + 1];
	int n = snprintf(header, sizeof header, "070701");
	for (unsigned field : fields)
		n += snprintf(header + n, sizeof header - n, "%08X", field);
	bytes_.append(header, n);
	bytes_ += name;
	bytes_ += '\0';
	pad(&bytes_);
	bytes_ += data;
	pad(&bytes_);
}

void Cpio::directory(const std::string &path)
{
	entry(path, S_IFDIR | 0755, "");
}

void Cpio::file(const std::string &path, const std::string &data, unsigned mode)
{
	entry(path, S_IFREG | mode, data);
}

std::string Cpio::finished()
{
	entry("TRAILER!!!", 0, "");
	return bytes_;
}
