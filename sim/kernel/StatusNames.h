// Names of the NTSTATUS values the driver and the simulated kernel use.
#pragma once

#include <string>

#include "sim/ddk/wdm.h"

namespace sim {

// "STATUS_SUCCESS", or the value in hex when it has no name here.
std::string StatusName(NTSTATUS status);

}  // namespace sim
