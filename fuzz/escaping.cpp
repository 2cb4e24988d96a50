// SPDX-License-Identifier: MIT
// The report's escaping of any bytes a command writes: what it writes
// holds no byte that would end or garble a YAML double-quoted string, and
// valid UTF-8 reads back as it was.
#include "report.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// A YAML double-quoted string's escapes, as a YAML reader takes them.
std::string unescaped(const std::string &e)
{
	std::string s;
	for (size_t i = 0; i < e.size(); i++) {
		if (e[i] != '\\') {
			s += e[i];
			continue;
		}
		char c = e[++i];
		auto code = [&](int digits) {
			unsigned long cp = strtoul(e.substr(i + 1, digits).c_str(), nullptr, 16);
			i += digits;
			if (cp < 0x80) {
				s += static_cast<char>(cp);
			} else if (cp < 0x800) {
				s += static_cast<char>(0xc0 | cp >> 6);
				s += static_cast<char>(0x80 | (cp & 0x3f));
			} else {
				s += static_cast<char>(0xe0 | cp >> 12);
				s += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
				s += static_cast<char>(0x80 | (cp & 0x3f));
			}
		};
		switch (c) {
		case 'n': s += '\n'; break;
		case 'r': s += '\r'; break;
		case 't': s += '\t'; break;
		case 'L': s += "\xe2\x80\xa8"; break;
		case 'P': s += "\xe2\x80\xa9"; break;
		case 'x': code(2); break;
		case 'u': code(4); break;
		default: s += c;
		}
	}
	return s;
}

// Whether s is UTF-8 as the report takes it: no overlong forms, no
// surrogates, nothing past U+10FFFF.
bool valid_utf8(const std::string &s)
{
	for (size_t i = 0; i < s.size();) {
		unsigned char c = s[i];
		size_t n = c < 0x80 ? 1 : (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3 : (c & 0xf8) == 0xf0 ? 4 : 0;
		if (!n || i + n > s.size())
			return false;
		unsigned long cp = n == 1 ? c : c & (0x7f >> n);
		for (size_t k = 1; k < n; k++) {
			if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80)
				return false;
			cp = cp << 6 | (s[i + k] & 0x3f);
		}
		static const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
		if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
			return false;
		i += n;
	}
	return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string bytes(reinterpret_cast<const char *>(data), size);
	std::string e = escaped(bytes, true);
	for (size_t i = 0; i < e.size(); i++) {
		unsigned char c = e[i];
		if (c < 0x20 || c == 0x7f || (c == '"' && (i == 0 || e[i - 1] != '\\')))
			abort();	// a byte that ends or garbles the string
	}
	if (valid_utf8(bytes) && unescaped(e) != bytes)
		abort();	// valid text does not read back as it was
	return 0;
}
