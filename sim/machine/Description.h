// Machine descriptions in JSON (docs/machine.md describes every field).
#pragma once

#include <string>

#include "sim/machine/Machine.h"

namespace sim {

// Fills `spec` from a description. On a mistake returns false with `error`
// naming where it is ("bridges[0].devices[1].functions: ...") and what is wrong.
bool ParseMachine(const std::string& json, MachineSpec* spec, std::string* error);

// The embedded default machine: a laptop with a PCI Express root port at
// 00:1c.0 that has a _DSM method, a two-function graphics device behind it on
// bus 01, a serial port and a switch board.
const char* DefaultMachineJson();

// "5ms", "70s", "250us" in 100 ns units; false when it is none of these.
bool ParseDuration(const std::string& text, int64_t* duration);

}  // namespace sim
