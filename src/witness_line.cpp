// SPDX-License-Identifier: MIT
// Reading the witness's line: see witness_line.h.
#include "witness_line.h"

#include "start_state.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

SignalSet SignalSet::of(const std::vector<int> &sigs)
{
	SignalSet set;
	for (int sig : sigs)
		if (sig >= 1 && sig <= most)
			set.bits.set(sig - 1);
	return set;
}

SignalSet SignalSet::parse(const std::string &text)
{
	// Numbers and ranges, comma-separated; anything else is a set not read.
	SignalSet set;
	const char *at = text.c_str();
	while (*at) {
		char *end;
		long first = strtol(at, &end, 10), last = first;
		if (end != at && *end == '-')
			last = strtol(at = end + 1, &end, 10);
		if (end == at || first < 1 || last < first || last > most || (*end && *end != ','))
			return {{}, false};
		for (long sig = first; sig <= last; sig++)
			set.bits.set(sig - 1);
		at = *end ? end + 1 : end;
	}
	return set;
}

std::string SignalSet::text() const
{
	if (!known)
		return "?";
	std::string s;
	for (int sig = 1; sig <= most; sig++) {
		if (!has(sig))
			continue;
		int last = sig;
		while (has(last + 1))
			last++;
		s += (s.empty() ? "" : ",") + std::to_string(sig);
		if (last > sig)
			s += "-" + std::to_string(last);
		sig = last;
	}
	return s.empty() ? "none" : s;
}

namespace {

std::string unescaped(const std::string &word)
{
	std::string s;
	for (size_t i = 0; i < word.size(); i++) {
		if (word[i] == '\\' && i + 3 < word.size() && word[i + 1] == 'x' &&
		    isxdigit(static_cast<unsigned char>(word[i + 2])) &&
		    isxdigit(static_cast<unsigned char>(word[i + 3]))) {
			s += static_cast<char>(std::stoi(word.substr(i + 2, 2), nullptr, 16));
			i += 3;
		} else {
			s += word[i];
		}
	}
	return s;
}

} // namespace

bool parse_witness(const std::string &err, StartState *state)
{
	size_t at = err.find(WITNESS_TAG);
	while (at != std::string::npos && at > 0 && err[at - 1] != '\n')
		at = err.find(WITNESS_TAG, at + 1);
	if (at == std::string::npos)
		return false;
	size_t end = err.find('\n', at);
	std::string line = err.substr(at, end == std::string::npos ? end : end - at);
	*state = StartState();
	for (size_t from = 0, to; from < line.size(); from = to + 1) {
		to = std::min(line.find(' ', from), line.size());
		std::string word = line.substr(from, to - from);
		size_t eq = word.find('=');
		if (eq == std::string::npos)
			continue;
		std::string key = word.substr(0, eq), value = word.substr(eq + 1);
		SignalSet *sets[] = {&state->blocked, &state->pending, &state->ignored, &state->caught};
		const char *set_names[] = {"blocked", "pending", "ignored", "caught"};
		for (int i = 0; i < 4; i++)
			if (key == set_names[i])
				*sets[i] = SignalSet::parse(value);
		if (key.size() == 3 && key.compare(0, 2, "fd") == 0 && key[2] >= '0' && key[2] <= '2')
			state->fd[key[2] - '0'] = value;
		else if (key.size() == 5 && key.compare(0, 4, "path") == 0 && key[4] >= '0' && key[4] <= '2')
			state->path[key[4] - '0'] = unescaped(value);
		else if (key == "tty")
			state->tty = value;
		else if (key == "arg")
			state->args.push_back(unescaped(value));
		else if (key == "env")
			state->env.push_back(unescaped(value));
	}
	return true;
}
