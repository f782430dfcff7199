#include "config/BootGuard.h"
#include "config/Registry.h"
#include "control/ControlDevice.h"
#include "common/DriverGlobals.h"
#include "common/PoolTags.h"
#include "common/Roles.h"
#include "filter/DeviceList.h"
#include "power/HidBoard.h"

// Loaded once; there is no unload routine, so nothing here is ever undone.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    DriverGlobals.NonPagedPoolType = ChooseNonPagedPoolType();

    // Safe mode filters nothing and leaves the registry alone.
    if (InitSafeBootMode != 0) {
        DriverGlobals.Disabled = TRUE;
    } else if (CheckBootGuard(RegistryPath)) {
        DriverGlobals.Disabled = TRUE;
    }

    NTSTATUS status = CreateControlDevice(DriverObject);
    if (!NT_SUCCESS(status)) {
        // The driver is unloaded: nothing it set up may stay behind.
        ForgetServiceKeyPath();
        return status;
    }

    InitializeDeviceListLock();
    InitializeListHead(&DriverGlobals.BridgeList);
    InitializeNodeLookaside(&DriverGlobals.BridgeNodes);

    DriverObject->DriverExtension->AddDevice = AddDevice;
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) DriverObject->MajorFunction[major] = PassThrough;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PnpEntry;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PowerEntry;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ControlDispatch;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ControlDispatch;

    DriverGlobals.DriverObject = DriverObject;

    if (DriverGlobals.HidBoard == nullptr) {
        DriverGlobals.HidBoard = NewHidSwitchBoard();
        if (DriverGlobals.HidBoard == nullptr) return STATUS_SUCCESS;
    }
    RegisterHidNotification(DriverGlobals.HidBoard, DriverObject);
    return STATUS_SUCCESS;
}
