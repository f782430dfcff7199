// Security descriptors of device objects, and the access check of an open.
#pragma once

#include <string>

#include "sim/kernel/Objects.h"

namespace sim {

bool WellFormedSid(const void* sid);
ULONG SidLength(const void* sid);

// "S-1-5-32-544" for a well-formed SID, empty otherwise.
std::string SidText(const void* sid);

// Whether `caller`'s token is granted `access` to `device` by the DACL set on
// it (a device without one lets everyone in) and by its AccessRule.
bool AccessGranted(PDEVICE_OBJECT device, Caller caller, ACCESS_MASK access);

}  // namespace sim
