#include "driver/Completion.h"
#include "driver/DriverGlobals.h"
#include "driver/Roles.h"
#include "filter/FilterDevice.h"

NTSTATUS ControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject != DriverGlobals.ControlDevice) {
        FilterDevice* filter = FilterForIrp(DeviceObject, Irp);
        return filter ? filter->DispatchDeviceControl(DeviceObject, Irp) : STATUS_DELETE_PENDING;
    }

    // No request code is served yet: each is refused, with nothing returned.
    Irp->IoStatus.Information = 0;
    return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
}
