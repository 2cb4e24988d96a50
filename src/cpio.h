// SPDX-License-Identifier: MIT
// A cpio archive in the "newc" format, which the kernel unpacks as its
// initial file system.  Every entry belongs to root and is dated 0, and
// inodes are numbered in order, so that the same files always make the
// same bytes.
#pragma once

#include <string>

class Cpio {
public:
	void directory(const std::string &path);
	void file(const std::string &path, const std::string &data, unsigned mode = 0755);
	// The archive so far, closed with its trailer.
	std::string finished();

private:
	void entry(const std::string &path, unsigned mode, const std::string &data);
	std::string bytes_;
	unsigned inode_ = 0;
};
