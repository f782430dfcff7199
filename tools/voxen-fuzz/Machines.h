// The machines a run is spread over: described in JSON, one file each, or
// every JSON example of a Markdown page (docs/machine.md).
#pragma once

#include <string>
#include <vector>

#include "sim/machine/Machine.h"

namespace fuzz {

struct NamedMachine {
    std::string name;  // "docs/machine.md#3 (strict laptop)"
    sim::MachineSpec spec;
};

// Appends the machines of a file; false with a message naming the file (and
// the example) when it cannot be read or a description is wrong.
bool LoadMachines(const std::string& path, std::vector<NamedMachine>* machines, std::string* error);

}  // namespace fuzz
