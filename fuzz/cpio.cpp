// SPDX-License-Identifier: MIT
// The image's archive of any files: each entry reads back, name, mode and
// data, as the kernel's newc reader takes it.
#include "cpio.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Entry {
	std::string name, data;
	unsigned mode;
};

unsigned long field(const std::string &a, size_t at, int n)
{
	return strtoul(a.substr(at + 6 + 8 * n, 8).c_str(), nullptr, 16);
}

std::vector<Entry> read_back(const std::string &a)
{
	std::vector<Entry> entries;
	for (size_t at = 0; at + 110 <= a.size();) {
		if (a.compare(at, 6, "070701") != 0)
			abort();
		unsigned long mode = field(a, at, 1), size = field(a, at, 6), namesize = field(a, at, 11);
		std::string name = a.substr(at + 110, namesize - 1);
		size_t data = (at + 110 + namesize + 3) & ~size_t(3);
		if (name == "TRAILER!!!")
			break;
		entries.push_back({name, a.substr(data, size), static_cast<unsigned>(mode)});
		at = (data + size + 3) & ~size_t(3);
	}
	return entries;
}

} // namespace

// Input: entries of a name, a NUL, and data up to the next NUL.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string in(reinterpret_cast<const char *>(data), size);
	std::vector<Entry> want;
	Cpio archive;
	for (size_t at = 0; at < in.size();) {
		size_t name_end = in.find('\0', at);
		if (name_end == std::string::npos || name_end == at)
			break;
		size_t data_end = std::min(in.find('\0', name_end + 1), in.size());
		Entry e{in.substr(at, name_end - at), in.substr(name_end + 1, data_end - name_end - 1), 0100644};
		std::string path = e.name;
		if (e.name[0] == '/')	// the archive's names are relative
			e.name.erase(0, 1);
		if (e.name.empty() || e.name == "TRAILER!!!")
			break;	// no file's name
		archive.file(path, e.data, 0644);
		want.push_back(e);
		at = data_end + 1;
	}
	std::vector<Entry> got = read_back(archive.finished());
	if (got.size() != want.size())
		abort();
	for (size_t i = 0; i < got.size(); i++)
		if (got[i].name != want[i].name || got[i].data != want[i].data || (got[i].mode & 0777) != 0644)
			abort();
	return 0;
}
