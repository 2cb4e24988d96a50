// SPDX-License-Identifier: MIT
// What a program's ELF header says of the machine it was built for.
#pragma once

#include <string>
#include <vector>

struct ElfFacts {
	bool elf = false;	// false: not an ELF file, or unreadable
	bool wide = false;	// ELF64
	bool big = false;	// big-endian
	unsigned machine = 0;
	unsigned flags = 0;		// e_flags: ARM's float ABI, say
	std::string interpreter;	// "" for a static program

	// The name cmake/targets gives this machine (i386, armhf, ...), or ""
	// for one it does not know.
	std::string target() const;

	// "ELF32 little-endian Intel 80386, interpreter /lib/ld-linux.so.2"
	std::string text() const;
};

ElfFacts elf_facts(const std::string &path);

// Every name target() can give.
const std::vector<std::string> &target_names();
