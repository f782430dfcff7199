// The driver-wide state. One instance, alive from DriverEntry to shutdown.
#pragma once

#include "platform/platform.h"

struct HidSwitchBoard;

struct DriverGlobalsRecord {
    UCHAR EnableCfgRestore;       // write back saved configuration space after a platform power-on
    UCHAR EnablePolling;          // poll for the device before a D0 power IRP
    UCHAR EnablePollingPostACPI;  // poll for the device after a platform power-on
    PDEVICE_OBJECT ControlDevice;
    LIST_ENTRY BridgeList;  // every bridge FilterDevice, in the order of admission
    ULONG BridgeCount;
    BOOLEAN Disabled;  // decided once at load: admit nothing
    BOOLEAN RescanPending;
    PAGED_LOOKASIDE_LIST BridgeNodes;
    KTIMER RescanTimer;
    PDRIVER_OBJECT DriverObject;
    UNICODE_STRING SavedRegistryPath;
    HidSwitchBoard* HidBoard;
    // Guards the structure of BridgeList and every ChildDevicesList; see filter/DeviceList.h.
    KEVENT ListLock;
    // Decided once at load: no-execute non-paged pool where the running Windows has it
    // (8 and later refuse executable pool under code integrity), plain non-paged on 7.
    POOL_TYPE NonPagedPoolType;
};

extern DriverGlobalsRecord DriverGlobals;

// What DriverGlobals holds when the image is loaded.
extern const DriverGlobalsRecord DriverGlobalsAtLoad;

// The non-paged pool type for the running Windows: NonPagedPoolNx from 8 on.
POOL_TYPE ChooseNonPagedPoolType();

// Names of the control device.
#define VOXEN_CONTROL_DEVICE_NAME L"\\Device\\VoxenPCI"
#define VOXEN_CONTROL_LINK_NAME L"\\DosDevices\\VoxenPCI"
