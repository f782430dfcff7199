#include "driver/DriverGlobals.h"
#include "driver/Roles.h"
#include "filter/FilterDevice.h"

NTSTATUS ControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject != DriverGlobals.ControlDevice) {
        FilterDevice* filter = FilterFromDevice(DeviceObject);
        if (filter != nullptr) return filter->DispatchDeviceControl(DeviceObject, Irp);
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;  // a removed filter
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }

    // No request code is served yet: each is refused, with nothing returned.
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}
