// What each entry point of the driver is, as the kernel sees it.
#pragma once

#include "platform/platform.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

// Completes create, close and cleanup on the control device; passes every
// other request of a major function without a routine of its own down a
// filter's stack.
DRIVER_DISPATCH PassThrough;

// IRP_MJ_DEVICE_CONTROL and IRP_MJ_INTERNAL_DEVICE_CONTROL.
DRIVER_DISPATCH ControlDispatch;
