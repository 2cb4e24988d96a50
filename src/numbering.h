// SPDX-License-Identifier: MIT
// How a kernel numbers its signals, by its architecture's family: the
// classic signals by name, the real-time ones, and the values of `how`.
// The check reads it to judge a program in its target's numbers, which may
// not be the check's own (a host check running a MIPS program under
// qemu-user); the tests hold it against each target's kernel headers.
#pragma once

#include "elf_facts.h"
#include "witness_line.h"

#include <string>
#include <utility>
#include <vector>

struct Numbering {
	const char *family = "";
	std::vector<unsigned> machines;	// ELF e_machine values
	// The classic signals, by the name that follows "SIG"; a name the
	// family lacks is not here.
	std::vector<std::pair<const char *, int>> numbers;
	int rtmin = 32, rtmax = 64;
	int block = 0, unblock = 1, setmask = 2;

	// The kernel's sigset_t: a bit for each signal.
	int set_bytes() const { return (rtmax + 7) / 8; }
	// The signals a mask can hold: all but SIGKILL and SIGSTOP.
	SignalSet holdable() const;
	// A signal by its name, "USR1", "RTMIN+2" or "RTMAX-1"; 0 where there
	// is none.
	int number(const std::string &name) const;
	// The name of sig: a real-time signal counts from the nearer end of
	// the range; "" where there is none.
	std::string name(int sig) const;
};

extern const std::vector<Numbering> numberings;

// The numbering of a program with these ELF facts; the generic one for
// a machine the table does not know.
const Numbering &numbering_of(const ElfFacts &target);

// The check's own numbering, the one its <signal.h> was written for.
const Numbering &own_numbering();

// sig, of numbering from, in numbering to, by name; 0 where to has none.
int translated(int sig, const Numbering &from, const Numbering &to);
SignalSet translated(const SignalSet &set, const Numbering &from, const Numbering &to);
