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
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(filter->LowerDevice, Irp);
}
