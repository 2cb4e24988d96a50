// SPDX-License-Identifier: MIT
// Files of known deviations: see known.h.
#include "known.h"

#include "calls.h"
#include "report.h"
#include "usage_error.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace {

// Whether the target has the fact or the name word; none when word is
// neither.
std::optional<bool> holds(const std::string &word, const KnownTarget &t)
{
	const ElfFacts &e = t.elf;
	const struct {
		const char *word;
		bool holds;
	} facts[] = {
		{"32-bit", e.elf && !e.wide}, {"64-bit", e.elf && e.wide},
		{"little-endian", e.elf && !e.big}, {"big-endian", e.elf && e.big},
		{"legacy-calls", e.elf && has_legacy_calls(e)}, {"foreign", t.foreign},
	};
	for (const auto &f : facts)
		if (word == f.word)
			return f.holds;
	for (const std::string &name : target_names())
		if (word == name)
			return e.target() == name;
	return std::nullopt;
}

// Whether a line scoped to scope holds for t; where names the line.
bool in_scope(const std::string &scope, const KnownTarget &t, const std::string &where)
{
	bool any_plain = false, plain = false, negated = false;
	for (size_t at = 0; at <= scope.size();) {
		size_t end = std::min(scope.find(',', at), scope.size());
		std::string word = scope.substr(at, end - at);
		bool no = !word.empty() && word[0] == '!';
		std::optional<bool> answer = holds(word.substr(no), t);
		if (!answer)
			throw UsageError(where + "no target or fact " + escaped(word.substr(no), false));
		(no ? negated : plain) |= *answer;
		any_plain |= !no;
		at = end + 1;
	}
	return (plain || !any_plain) && !negated;
}

} // namespace

std::vector<Known> read_known(const std::string &name, const std::string &data_dir,
			      const std::vector<std::string> &rows, const KnownTarget &target)
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
		std::string where = escaped(path, false) + ":" + std::to_string(i + 1) + ": ";
		size_t gap = line.find_first_of(" \t", start);
		bool scoped = gap != std::string::npos && gap > start && line[gap - 1] == ':';
		if (scoped) {
			std::string scope = line.substr(start, gap - 1 - start);
			start = line.find_first_not_of(" \t", gap);
			gap = start == std::string::npos ? start : line.find_first_of(" \t", start);
			if (!in_scope(scope, target, where)) {
				if (gap == std::string::npos)
					throw UsageError(where + "a pattern and a reason, please");
				continue;
			}
		}
		size_t reason = gap == std::string::npos ? gap : line.find_first_not_of(" \t", gap);
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

std::string known_file_for(const std::string &program, const std::string &data_dir)
{
	std::string base = program.substr(program.rfind('/') + 1);
	if (base.rfind("qemu-", 0) == 0 && base.rfind("qemu-system-", 0) != 0)
		base = "qemu-user";
	struct stat st;
	if (data_dir.empty() || base.empty() || base[0] == '.' ||
	    stat((data_dir + base).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
		return "";
	return base;
}
