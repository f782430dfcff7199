// The Plug and Play and power entries: each hands the IRP to the FilterDevice
// of the device object it reached.
#include "common/Completion.h"
#include "common/DriverGlobals.h"
#include "common/Roles.h"
#include "filter/FilterDevice.h"

NTSTATUS PnpEntry(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == DriverGlobals.ControlDevice) {
        // No stack below and no extension: such an IRP (the target-relations
        // query behind an open handle, say) ends here as its sender set it.
        return CompleteIrp(Irp, Irp->IoStatus.Status);
    }
    FilterDevice* filter = FilterForIrp(DeviceObject, Irp);
    return filter ? filter->DispatchPnp(DeviceObject, Irp) : STATUS_DELETE_PENDING;
}

NTSTATUS PowerEntry(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == DriverGlobals.ControlDevice) {
        PoStartNextPowerIrp(Irp);
        return CompleteIrp(Irp, Irp->IoStatus.Status);
    }
    FilterDevice* filter = FilterForIrp(DeviceObject, Irp);
    return filter ? filter->DispatchPower(DeviceObject, Irp) : STATUS_DELETE_PENDING;
}
