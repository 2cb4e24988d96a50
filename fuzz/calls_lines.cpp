// SPDX-License-Identifier: MIT
// What the calls program writes, as any platform may garble it: every
// case judged from it, for this machine's target.
#include "calls.h"
#include "elf_facts.h"
#include "report.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const ElfFacts target = elf_facts("/proc/self/exe");
	Outcome run;
	run.stage = Outcome::ran;
	run.out.text.assign(reinterpret_cast<const char *>(data), size);
	run.out.size = size;
	for (const CallCase &c : call_cases) {
		// A case whose line is not there is judged once, for the first.
		if (&c != &call_cases[0] && run.out.text.find(std::string("sigmask-probe-calls: ") + c.name) ==
						     std::string::npos)
			continue;
		RowReport report;
		judge_call(c, run, target, &report);
		tap_row(report);
	}
	return 0;
}
