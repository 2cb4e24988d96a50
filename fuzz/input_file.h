// SPDX-License-Identifier: MIT
// For a reader that takes a file's name: the input written to a file of
// this process's own, removed when it ends; "" when it cannot be.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

inline std::string as_file(const uint8_t *data, size_t size, const char *what)
{
	static const std::string file = std::string("/tmp/sigmask-probe-fuzz-") + what + "." + std::to_string(getpid());
	static const struct Gone {
		const std::string &path;
		~Gone() { unlink(path.c_str()); }
	} gone{file};
	FILE *f = fopen(file.c_str(), "wb");
	if (!f)
		return "";
	bool written = fwrite(data, 1, size, f) == size;
	return fclose(f) == 0 && written ? file : "";
}
