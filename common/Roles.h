// What each entry point of the driver is, as the kernel sees it.
#pragma once

#include "platform/platform.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

// Admits PCI Express bridges: gives each a filter and records it in BridgeList.
DRIVER_ADD_DEVICE AddDevice;

// Completes every request of a major function without a routine of its own
// on the control device (create, close, cleanup among them); passes it down a
// filter's stack otherwise.
DRIVER_DISPATCH PassThrough;

// IRP_MJ_PNP and IRP_MJ_POWER: to the FilterDevice of the device object.
DRIVER_DISPATCH PnpEntry;
DRIVER_DISPATCH PowerEntry;

// IRP_MJ_DEVICE_CONTROL and IRP_MJ_INTERNAL_DEVICE_CONTROL.
DRIVER_DISPATCH ControlDispatch;

// The delayed rescan's system thread.
KSTART_ROUTINE RescanThread;
