// SPDX-License-Identifier: MIT
// The ELF facts of any file that claims to be a program.
#include "elf_facts.h"
#include "input_file.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string file = as_file(data, size, "elf");
	if (file.empty())
		return 0;
	ElfFacts facts = elf_facts(file);
	facts.target();
	facts.text();
	return 0;
}
