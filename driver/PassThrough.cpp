#include "driver/Completion.h"
#include "driver/DriverGlobals.h"
#include "driver/Roles.h"
#include "filter/FilterDevice.h"

NTSTATUS PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Create, close, cleanup, and anything else the control device is sent.
    if (DeviceObject == DriverGlobals.ControlDevice) return CompleteIrp(Irp, STATUS_SUCCESS);

    FilterDevice* filter = FilterForIrp(DeviceObject, Irp);
    if (filter == nullptr) return STATUS_DELETE_PENDING;
    NTSTATUS status = IoAcquireRemoveLock(&filter->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) return CompleteIrp(Irp, status);
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(filter->LowerDevice, Irp);
    IoReleaseRemoveLock(&filter->RemoveLock, Irp);
    return status;
}
