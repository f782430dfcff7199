// The control device the service opens: created at load, open only to the
// local system account and administrators.
#pragma once

#include "platform/platform.h"

// Creates "\Device\VoxenPCI" with its DACL and "\DosDevices\VoxenPCI", and
// records it in DriverGlobals. On failure nothing of it is left.
NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject);
