#include "driver/DriverGlobals.h"
#include "driver/Roles.h"
#include "filter/FilterDevice.h"

NTSTATUS PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == DriverGlobals.ControlDevice) {
        // Create, close, cleanup, and anything else the control device is sent.
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }

    FilterDevice* filter = FilterFromDevice(DeviceObject);
    NTSTATUS status = filter ? IoAcquireRemoveLock(&filter->RemoveLock, Irp) : STATUS_DELETE_PENDING;
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(filter->LowerDevice, Irp);
    IoReleaseRemoveLock(&filter->RemoveLock, Irp);
    return status;
}
