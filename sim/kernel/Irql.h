// The highest IRQL at which each kernel service may be called, as Microsoft
// documents it, checked on every call as Driver Verifier's IRQL checking does.
#pragma once

#include <string>

#include "sim/ddk/wdm.h"

namespace sim {

const char* IrqlName(KIRQL irql);

// The documented limit of `service`, a name from the table in Irql.cpp.
KIRQL IrqlLimit(const char* service);

// Stops the machine when the calling thread is above the limit of `service`.
void RequireIrql(const char* service);

// Stops the machine when `routine` (a dispatch, completion, DPC or callback
// routine, described for the message) came back at another IRQL than it was
// called at.
void RequireIrqlKept(KIRQL calledAt, const std::string& routine);

}  // namespace sim
