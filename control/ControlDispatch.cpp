#include "driver/DriverGlobals.h"
#include "driver/Roles.h"
#include "filter/FilterDevice.h"

NTSTATUS ControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject != DriverGlobals.ControlDevice)
        return FilterFromDevice(DeviceObject)->DispatchDeviceControl(DeviceObject, Irp);

    // No request code is served yet: each is refused, with nothing returned.
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}
