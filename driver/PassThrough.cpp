#include "common/Completion.h"
#include "common/DriverGlobals.h"
#include "common/Roles.h"
#include "filter/FilterDevice.h"

NTSTATUS PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Create, close, cleanup, and anything else the control device is sent.
    // The device has no namespace below it: "\Device\VoxenPCI\x" is no name.
    if (DeviceObject == DriverGlobals.ControlDevice) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        if (location->MajorFunction == IRP_MJ_CREATE && location->FileObject != nullptr &&
            location->FileObject->FileName.Length != 0)
            return CompleteIrp(Irp, STATUS_OBJECT_NAME_NOT_FOUND);
        return CompleteIrp(Irp, STATUS_SUCCESS);
    }

    FilterDevice* filter = FilterForIrp(DeviceObject, Irp);
    if (filter == nullptr) return STATUS_DELETE_PENDING;
    NTSTATUS status = IoAcquireRemoveLock(&filter->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) return CompleteIrp(Irp, status);
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(filter->LowerDevice, Irp);
    IoReleaseRemoveLock(&filter->RemoveLock, Irp);
    return status;
}
