// The Plug and Play and power entries: each hands the IRP to the FilterDevice
// of the device object it reached.
#include "driver/DriverGlobals.h"
#include "driver/Roles.h"
#include "filter/FilterDevice.h"

NTSTATUS PnpEntry(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FilterDevice* filter = FilterFromDevice(DeviceObject);
    if (filter == nullptr) {
        // The control device has no extension and no stack below it: such an
        // IRP (the target-relations query behind an open handle, say) ends
        // here, its status as its sender set it.
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    return filter->DispatchPnp(DeviceObject, Irp);
}

NTSTATUS PowerEntry(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FilterDevice* filter = FilterFromDevice(DeviceObject);
    if (filter == nullptr) {
        PoStartNextPowerIrp(Irp);
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    return filter->DispatchPower(DeviceObject, Irp);
}
