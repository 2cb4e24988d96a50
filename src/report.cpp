// SPDX-License-Identifier: MIT
// The check's report: see report.h.
#include "report.h"

#include "conditions.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Most of a field that the report shows: the probe writes 196 bytes.
constexpr size_t field_bytes = 512;

// One UTF-8 character at s[i]: its length, or 0 when the bytes there are
// not one; *cp gets its code point.
size_t utf8_at(const std::string &s, size_t i, unsigned *cp)
{
	auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
	unsigned c = byte(i);
	size_t len = c < 0x80 ? 1 : c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3
		     : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
	if (!len || i + len > s.size())
		return 0;
	*cp = len == 1 ? c : c & (0x3f >> (len - 1));
	for (size_t k = 1; k < len; k++) {
		if ((byte(i + k) & 0xc0) != 0x80)
			return 0;
		*cp = *cp << 6 | (byte(i + k) & 0x3f);
	}
	static const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
	if (*cp < least[len] || *cp > 0x10ffff || (*cp >= 0xd800 && *cp <= 0xdfff))
		return 0;
	return len;
}

} // namespace

void emit(const std::string &text)
{
	if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0)
		throw WriteError(strerror(errno));
}

std::string escaped(const std::string &s, bool quoted, size_t most)
{
	std::string e;
	size_t end = std::min(s.size(), most);
	for (size_t i = 0; i < end;) {
		unsigned cp;
		size_t len = utf8_at(s, i, &cp);
		char hex[16];
		if (!len) {
			e += "\xef\xbf\xbd";
			i++;
			continue;
		}
		if (cp == '\n')
			e += "\\n";
		else if (cp == '\r')
			e += "\\r";
		else if (cp == '\t')
			e += "\\t";
		else if (cp == '\\' || (quoted && cp == '"'))
			e += std::string("\\") + static_cast<char>(cp);
		else if (cp < 0x20 || (cp >= 0x7f && cp <= 0x9f)) {
			snprintf(hex, sizeof hex, "\\x%02x", cp);
			e += hex;
		} else if (cp == 0x2028 || cp == 0x2029)
			e += cp == 0x2028 ? "\\L" : "\\P";
		else if ((cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069) ||
			 cp == 0xfeff) {
			snprintf(hex, sizeof hex, "\\u%04x", cp);
			e += hex;
		} else
			e.append(s, i, len);
		i += len;
	}
	return e;
}

std::string quoted(const std::string &s, size_t most)
{
	return "\"" + escaped(s, true, most) + "\"";
}

std::string command_line(const std::vector<std::string> &words)
{
	std::string s;
	for (const auto &w : words)
		s += (s.empty() ? "" : " ") + shell_quoted(w);
	return escaped(s, false);
}

bool Field::matches() const
{
	return want == got && (!captured || captured->size == captured->text.size());
}

std::string tap_row(const RowReport &row)
{
	std::string t = std::string(row.ok ? "ok " : "not ok ") + std::to_string(row.number) + " - " +
			row.name + (row.directive.empty() ? "" : " # " + escaped(row.directive, false)) +
			"\n";
	if (!row.ok) {
		t += "  ---\n";
		if (!row.message.empty())
			t += "  message: " + quoted(row.message) + "\n";
		if (!row.basis.empty())
			t += "  basis: " + quoted(row.basis) + "\n";
		for (bool want : {true, false}) {
			t += want ? "  expected:\n" : "  got:\n";
			for (const Field &f : row.fields)
				if (f.want != f.got)
					t += "    " + f.name + ": " +
					     quoted(want ? f.want : f.got, field_bytes) + "\n";
		}
		std::string cut;
		for (const Field &f : row.fields) {
			size_t kept = f.captured ? f.captured->text.size() : f.got.size();
			size_t size = f.captured ? f.captured->size : f.got.size();
			if (!f.matches() && (size > kept || f.got.size() > field_bytes))
				cut += "    " + f.name + ": \"" + std::to_string(size) + " bytes, " +
				       std::to_string(kept) + " kept, " +
				       std::to_string(std::min(kept, field_bytes)) + " shown\"\n";
		}
		if (!cut.empty())
			t += "  cut:\n" + cut;
		if (!row.reproduce.empty())
			t += "  reproduce: " + quoted(row.reproduce) + "\n";
		t += "  ...\n";
	}
	for (const std::string &note : row.notes)
		t += "# " + note + "\n";
	return t;
}
