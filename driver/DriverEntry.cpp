#include "driver/DriverGlobals.h"
#include "driver/Roles.h"

// Loaded once; there is no unload routine, so nothing here is ever undone.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);

    if (*InitSafeBootMode != 0) DriverGlobals.Disabled = TRUE;

    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, VOXEN_CONTROL_DEVICE_NAME);
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &DriverGlobals.ControlDevice);
    if (!NT_SUCCESS(status)) return status;

    // The service opens the device by this name; without it the driver still works for the kernel.
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, VOXEN_CONTROL_LINK_NAME);
    IoCreateSymbolicLink(&linkName, &deviceName);

    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) DriverObject->MajorFunction[major] = PassThrough;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ControlDispatch;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ControlDispatch;

    DriverGlobals.DriverObject = DriverObject;
    return STATUS_SUCCESS;
}
