// How a FilterDevice handles the Plug and Play, power and device-control IRPs
// that reach its device object.
#include "driver/DriverGlobals.h"
#include "driver/Bridges.h"
#include "filter/FilterDevice.h"

namespace {

IO_COMPLETION_ROUTINE ForwardedIrpReturned;

NTSTATUS ForwardedIrpReturned(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    // Only a waiter exists when the lower driver pended; either way the IRP is ours again.
    if (Irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

}  // namespace

NTSTATUS FilterDevice::ForwardAndWait(PIRP Irp) {
    if (LowerDevice == nullptr) return STATUS_UNSUCCESSFUL;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardedIrpReturned, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS FilterDevice::DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    switch (location->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE: {
        status = HandleRemove(Device, Irp);
        CompleteWith(Irp, status);
        // Nothing can reach this object any more: its device object is gone.
        DestroyFilterDevice(this);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
        // Leave the lists at once; the stack itself comes down with the removal IRP.
        if (Parent != nullptr) Parent->RemoveChild(this);
        RemoveBridge(this);
        status = ForwardAndWait(Irp);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        // The Plug and Play manager must not remove a device that is switched off.
        for (ULONG index = 0; index < GetChildCount(); ++index) {
            if (GetChild(index)->DevicePowerState == PowerDeviceD3) {
                Irp->IoStatus.Information = 0;
                return CompleteWith(Irp, STATUS_RETRY);
            }
        }
        status = ForwardAndWait(Irp);
        if (NT_SUCCESS(status) && location->Parameters.QueryDeviceRelations.Type == BusRelations) {
            auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
            if (relations != nullptr) {
                for (ULONG index = 0; index < relations->Count; ++index)
                    DbgPrint(",Objects[%d]=0x%p ", index, relations->Objects[index]);
                DbgPrint("****\n");
                ProcessBusRelations(relations);
            }
        }
        break;
    default:
        status = ForwardAndWait(Irp);
        break;
    }
    return CompleteWith(Irp, status);
}

NTSTATUS FilterDevice::HandleRemove(PDEVICE_OBJECT Device, PIRP Irp) {
    UNREFERENCED_PARAMETER(Device);
    if (Parent != nullptr) Parent->RemoveChild(this);
    RemoveBridge(this);
    // The bus driver sees the removal before this filter leaves the stack.
    NTSTATUS status = ForwardAndWait(Irp);
    Detach();
    Teardown();
    return status;
}

NTSTATUS FilterDevice::DispatchPower(PDEVICE_OBJECT Device, PIRP Irp) {
    UNREFERENCED_PARAMETER(Device);
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(LowerDevice, Irp);
}

NTSTATUS FilterDevice::DispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp) {
    UNREFERENCED_PARAMETER(Device);
    return CompleteWith(Irp, ForwardAndWait(Irp));
}

void FilterDevice::ProcessBusRelations(PDEVICE_RELATIONS Relations) {
    // Child filters are placed by child discovery, which is not built yet.
    UNREFERENCED_PARAMETER(Relations);
}
