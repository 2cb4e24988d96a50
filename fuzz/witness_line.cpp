// SPDX-License-Identifier: MIT
// The witness's line, as any platform may garble it.
#include "witness_line.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	StartState state;
	if (parse_witness(std::string(reinterpret_cast<const char *>(data), size), &state)) {
		state.blocked.text();
		state.pending.text();
	}
	return 0;
}
