// Device power states as the driver passes them: 1 (D0) to 4 (D3).
#pragma once

#include "platform/platform.h"

// Only D0 to D3 are states a request may name.
inline bool IsDeviceState(ULONG State) { return State >= PowerDeviceD0 && State <= PowerDeviceD3; }
