// SPDX-License-Identifier: MIT
// A file of known deviations, scopes and patterns and all: read, or
// refused with the reason, never a crash.
#include "calls.h"
#include "conditions.h"
#include "input_file.h"
#include "known.h"
#include "usage_error.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const std::vector<std::string> rows = [] {
		std::vector<std::string> names;
		for (const Condition &c : conditions)
			names.push_back(c.name);
		for (const CallCase &c : call_cases)
			names.push_back(std::string("calls/") + c.name);
		return names;
	}();
	std::string file = as_file(data, size, "known");
	if (file.empty())
		return 0;
	KnownTarget target;
	target.elf = elf_facts("/proc/self/exe");
	try {
		for (const Known &k : read_known(file, "/nonexistent/", rows, target))
			known_for({k}, k.pattern);
	} catch (const UsageError &) {
	}
	return 0;
}
