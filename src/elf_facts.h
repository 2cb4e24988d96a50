// SPDX-License-Identifier: MIT
// What a program's ELF header says of the machine it was built for.
#pragma once

#include <string>

struct ElfFacts {
	bool elf = false;	// false: not an ELF file, or unreadable
	bool wide = false;	// ELF64
	bool big = false;	// big-endian
	unsigned machine = 0;
	std::string interpreter;	// "" for a static program

	// "ELF32 little-endian Intel 80386, interpreter /lib/ld-linux.so.2"
	std::string text() const;
};

ElfFacts elf_facts(const std::string &path);
