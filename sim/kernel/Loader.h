// Loads a driver the way the I/O manager does: a driver object, the service
// key's path, and a call to the driver's entry point.
#pragma once

#include <string>

#include "sim/ddk/wdm.h"

namespace sim {

std::wstring ServiceKeyPath(const std::wstring& service);

struct LoadedDriver {
    PDRIVER_OBJECT object = nullptr;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
};

// The registry path handed to the entry point lives only for the call, as on
// Windows: a driver that keeps the pointer reads freed memory.
LoadedDriver LoadDriver(PDRIVER_INITIALIZE entry, const std::wstring& service);

}  // namespace sim
