#include "driver/DriverGlobals.h"
#include "driver/Roles.h"

NTSTATUS PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Create, close and cleanup of the control device, and anything else sent to it.
    // The control device is the only device object this driver creates so far.
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
