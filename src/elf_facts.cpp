// SPDX-License-Identifier: MIT
// A program's ELF facts: see elf_facts.h.
#include "elf_facts.h"

#include "report.h"

#include <elf.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <map>

ElfFacts elf_facts(const std::string &path)
{
	ElfFacts facts;
	std::unique_ptr<FILE, int (*)(FILE *)> in(fopen(path.c_str(), "re"), fclose);
	unsigned char h[64] = {};
	if (!in || fread(h, 1, sizeof h, in.get()) < 52 || memcmp(h, ELFMAG, SELFMAG) != 0)
		return facts;
	facts.elf = true;
	facts.wide = h[EI_CLASS] == ELFCLASS64;
	facts.big = h[EI_DATA] == ELFDATA2MSB;
	auto word = [&](const unsigned char *p, int bytes) {
		uint64_t v = 0;
		for (int i = 0; i < bytes; i++)
			v |= uint64_t(p[facts.big ? bytes - 1 - i : i]) << (8 * i);
		return v;
	};
	bool wide = facts.wide;
	facts.machine = word(h + 18, 2);
	facts.flags = word(h + (wide ? 48 : 36), 4);
	uint64_t phoff = wide ? word(h + 32, 8) : word(h + 28, 4);
	unsigned phentsize = word(h + (wide ? 54 : 42), 2), phnum = word(h + (wide ? 56 : 44), 2);
	for (unsigned i = 0; i < phnum && i < 64; i++) {
		unsigned char ph[56] = {};
		if (fseeko(in.get(), phoff + uint64_t(i) * phentsize, SEEK_SET) != 0 ||
		    fread(ph, 1, wide ? 56 : 32, in.get()) != (wide ? 56u : 32u) || word(ph, 4) != PT_INTERP)
			continue;
		uint64_t offset = wide ? word(ph + 8, 8) : word(ph + 4, 4);
		uint64_t size = wide ? word(ph + 32, 8) : word(ph + 16, 4);
		char text[256] = {};
		if (fseeko(in.get(), offset, SEEK_SET) == 0 &&
		    fread(text, 1, std::min<uint64_t>(size, sizeof text - 1), in.get()) > 0)
			facts.interpreter = text;
	}
	return facts;
}

std::string ElfFacts::text() const
{
	if (!elf)
		return "not an ELF file";
	static const std::map<unsigned, const char *> machines = {
		{EM_386, "Intel 80386"}, {EM_X86_64, "AMD X86-64"}, {EM_AARCH64, "AArch64"},
		{EM_ARM, "ARM"}, {EM_S390, "IBM S/390"}, {EM_RISCV, "RISC-V"},
		{EM_PPC64, "PowerPC64"}, {EM_PPC, "PowerPC"}, {EM_MIPS, "MIPS R3000"},
		{EM_SPARCV9, "Sparc v9"}, {EM_PARISC, "HPPA"}, {EM_ALPHA, "Alpha"}, {EM_LOONGARCH, "LoongArch"}};
	auto m = machines.find(machine);
	return std::string(wide ? "ELF64" : "ELF32") + (big ? " big-endian " : " little-endian ") +
	       (m != machines.end() ? m->second : "machine " + std::to_string(machine)) +
	       ", interpreter " + (interpreter.empty() ? "none (static)" : escaped(interpreter, false));
}

namespace {

// A machine as cmake/targets names it, by what its ELF header says.
struct Named {
	const char *name;
	unsigned machine;
	bool wide, big;
	unsigned flag = 0;	// an e_flags bit it must have, if any
	bool without = false;	// ... or must not have
};

constexpr unsigned arm_hard_float = 0x400;	// EF_ARM_ABI_FLOAT_HARD

const Named named[] = {
	{"amd64", EM_X86_64, true, false},
	{"i386", EM_386, false, false},
	{"aarch64", EM_AARCH64, true, false},
	{"armhf", EM_ARM, false, false, arm_hard_float},
	{"armel", EM_ARM, false, false, arm_hard_float, true},
	{"s390x", EM_S390, true, true},
	{"riscv64", EM_RISCV, true, false},
	{"ppc64el", EM_PPC64, true, false},
	{"mips64el", EM_MIPS, true, false},
	{"mipsel", EM_MIPS, false, false},
	{"hppa", EM_PARISC, false, true},
	{"sparc64", EM_SPARCV9, true, true},
	{"alpha", EM_ALPHA, true, false},
};

} // namespace

std::string ElfFacts::target() const
{
	for (const Named &n : named)
		if (elf && n.machine == machine && n.wide == wide && n.big == big &&
		    (!n.flag || bool(flags & n.flag) != n.without))
			return n.name;
	return "";
}

const std::vector<std::string> &target_names()
{
	static const std::vector<std::string> names = [] {
		std::vector<std::string> v;
		for (const Named &n : named)
			v.push_back(n.name);
		return v;
	}();
	return names;
}
