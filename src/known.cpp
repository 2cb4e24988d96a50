// SPDX-License-Identifier: MIT
// Files of known deviations: see known.h.
#include "known.h"

#include "usage_error.h"
#include "report.h"

#include <fnmatch.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

std::vector<Known> read_known(const std::string &name, const std::string &data_dir,
			      const std::vector<std::string> &rows)
{
	std::string path = name;
	if (access(path.c_str(), F_OK) != 0 && name.find('/') == std::string::npos && !data_dir.empty())
		path = data_dir + name;
	std::unique_ptr<FILE, int (*)(FILE *)> in(fopen(path.c_str(), "re"), fclose);
	if (!in)
		throw UsageError("cannot read known deviations " + escaped(name, false) + ": " +
				 strerror(errno));
	std::vector<std::string> lines;
	char *text = nullptr;
	size_t size = 0;
	for (ssize_t n; (n = getline(&text, &size, in.get())) >= 0;)
		lines.emplace_back(text, n - (n > 0 && text[n - 1] == '\n'));
	free(text);
	if (ferror(in.get()))
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
		for (const std::string &row : rows)
			matches |= fnmatch(k.pattern.c_str(), row.c_str(), 0) == 0;
		if (!matches)
			throw UsageError(where + "no condition matches " + escaped(k.pattern, false));
		known.push_back(k);
	}
	return known;
}

const Known *known_for(const std::vector<Known> &known, const std::string &row)
{
	for (const Known &k : known)
		if (fnmatch(k.pattern.c_str(), row.c_str(), 0) == 0)
			return &k;
	return nullptr;
}
