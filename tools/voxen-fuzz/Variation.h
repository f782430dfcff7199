// A machine of the examples with drivers that behave otherwise, as Windows's
// may: function drivers that complete power IRPs at once, later or with an
// error, refuse queries, complete from DPCs, or sit in stacks that are not
// pageable. The driver must keep every rule on each of them.
#pragma once

#include "sim/machine/Machine.h"
#include "tools/voxen-fuzz/Source.h"

namespace fuzz {

void Vary(Source& source, sim::MachineSpec* spec);

}  // namespace fuzz
