// The Plug and Play and power entries: each hands the IRP to the FilterDevice
// of the device object it reached.
#include "driver/DriverGlobals.h"
#include "driver/Roles.h"
#include "filter/FilterDevice.h"

NTSTATUS PnpEntry(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == DriverGlobals.ControlDevice) {
        // No stack below and no extension: such an IRP (the target-relations
        // query behind an open handle, say) ends here as its sender set it.
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    FilterDevice* filter = FilterFromDevice(DeviceObject);
    if (filter == nullptr) {
        // The filter was removed; its device object is only still referenced.
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    return filter->DispatchPnp(DeviceObject, Irp);
}

NTSTATUS PowerEntry(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FilterDevice* filter = DeviceObject == DriverGlobals.ControlDevice ? nullptr : FilterFromDevice(DeviceObject);
    if (filter == nullptr) {
        PoStartNextPowerIrp(Irp);
        NTSTATUS status = DeviceObject == DriverGlobals.ControlDevice ? Irp->IoStatus.Status : STATUS_DELETE_PENDING;
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    return filter->DispatchPower(DeviceObject, Irp);
}
