// How a FilterDevice handles the Plug and Play, power and device-control IRPs
// that reach its device object, and how a bridge finds its children.
#include "filter/BridgeList.h"
#include "common/Completion.h"
#include "common/DriverGlobals.h"
#include "filter/FilterDevice.h"
#include "pci/Config.h"

namespace {

IO_COMPLETION_ROUTINE ForwardedIrpReturned;

NTSTATUS ForwardedIrpReturned(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    // Only a waiter exists when the lower driver pended; either way the IRP is ours again.
    if (Irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A relations list that came down from a driver above: the objects it holds
// are referenced for the Plug and Play manager, and the list is pool the
// manager would have freed. A filter that fails the query takes both over.
void ReleaseRelations(PIRP Irp) {
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    Irp->IoStatus.Information = 0;
    if (relations == nullptr) return;
    for (ULONG index = 0; index < relations->Count; ++index) ObDereferenceObject(relations->Objects[index]);
    ExFreePool(relations);
}

// Whether any child of the bridge is recorded in D3 (the list lock is held).
bool AnyChildInD3(FilterDevice* Bridge) {
    for (ULONG index = 0; index < Bridge->GetChildCount(); ++index)
        if (Bridge->GetChild(index)->DevicePowerState == PowerDeviceD3) return true;
    return false;
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
    NTSTATUS status = IoAcquireRemoveLock(&RemoveLock, Irp);
    if (!NT_SUCCESS(status)) return CompleteIrp(Irp, status);

    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    // Drivers send configuration and interface requests; the rest come from
    // the manager, which sends them only to stacks of device nodes it made.
    if (location->MinorFunction != IRP_MN_READ_CONFIG && location->MinorFunction != IRP_MN_WRITE_CONFIG &&
        location->MinorFunction != IRP_MN_QUERY_INTERFACE)
        MarkReported();
    switch (location->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE:
        // HandleRemove gives the remove lock up for good.
        status = HandleRemove(Device, Irp);
        CompleteIrp(Irp, status);
        // Nothing can reach this object any more: it is in no list, and its
        // device object, gone from the stack, no longer leads to it.
        DestroyFilterDevice(this);
        return status;

    case IRP_MN_SURPRISE_REMOVAL:
        // Control requests must no longer find the device; the filter stays in
        // the stack until the removal IRP.
        LockDeviceLists();
        if (Parent != nullptr) Parent->RemoveChild(this);
        RemoveBridge(this);
        UnlockDeviceLists();
        status = ForwardAndWait(Irp);
        break;

    case IRP_MN_QUERY_DEVICE_RELATIONS: {
        // The Plug and Play manager must not remove a device that is switched off.
        LockDeviceLists();
        bool refuse = AnyChildInD3(this);
        UnlockDeviceLists();
        if (refuse) {
            ReleaseRelations(Irp);
            status = STATUS_RETRY;
            break;
        }
        status = ForwardAndWait(Irp);
        // Only a bridge's children are PCI devices: what an endpoint's function
        // driver reports (hubs, codecs, disks) is none of this driver's business.
        LockDeviceLists();
        bool bridge = IsListedBridge(this);
        UnlockDeviceLists();
        if (NT_SUCCESS(status) && bridge && location->Parameters.QueryDeviceRelations.Type == BusRelations) {
            auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
            if (relations != nullptr) {
                for (ULONG index = 0; index < relations->Count; ++index)
                    DbgPrint(",Objects[%d]=0x%p ", index, relations->Objects[index]);
                DbgPrint("****\n");
                ProcessBusRelations(relations);
            }
        }
        break;
    }

    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        status = HandleUsageNotification(Device, Irp);
        break;

    default:
        status = ForwardAndWait(Irp);
        break;
    }
    CompleteIrp(Irp, status);
    IoReleaseRemoveLock(&RemoveLock, Irp);
    return status;
}

// A paging, hibernation or crash-dump file is coming to or leaving a device
// below. Drivers in that path must not be paged out, so the stack clears
// DO_POWER_PAGABLE from the bottom up; a filter follows the device below it,
// and never leaves itself pageable under a non-pageable driver above.
NTSTATUS FilterDevice::HandleUsageNotification(PDEVICE_OBJECT Device, PIRP Irp) {
    ULONG wasPageable = Device->Flags & DO_POWER_PAGABLE;
    if (Device->AttachedDevice == nullptr || (Device->AttachedDevice->Flags & DO_POWER_PAGABLE) != 0)
        Device->Flags |= DO_POWER_PAGABLE;
    NTSTATUS status = ForwardAndWait(Irp);
    if (!NT_SUCCESS(status)) {
        Device->Flags = (Device->Flags & ~DO_POWER_PAGABLE) | wasPageable;
    } else if ((LowerDevice->Flags & DO_POWER_PAGABLE) == 0) {
        Device->Flags &= ~DO_POWER_PAGABLE;
    }
    return status;
}

NTSTATUS FilterDevice::HandleRemove(PDEVICE_OBJECT Device, PIRP Irp) {
    UNREFERENCED_PARAMETER(Device);
    LockDeviceLists();
    if (Parent != nullptr) Parent->RemoveChild(this);
    RemoveBridge(this);
    // Children outlive a bridge only if their own removal is still to come;
    // they must not reach back into this object then.
    OrphanChildren();
    UnlockDeviceLists();

    // Everything in flight through this filter, and every user that took the
    // object from a list, finishes before the filter leaves the stack.
    IoReleaseRemoveLockAndWait(&RemoveLock, Irp);

    // The bus driver sees the removal before this filter leaves the stack.
    NTSTATUS status = ForwardAndWait(Irp);
    Detach();
    Teardown();
    return status;
}

NTSTATUS FilterDevice::DispatchPower(PDEVICE_OBJECT Device, PIRP Irp) {
    UNREFERENCED_PARAMETER(Device);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = IoAcquireRemoveLock(&RemoveLock, Irp);
    if (!NT_SUCCESS(status)) return CompleteIrp(Irp, status);
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(LowerDevice, Irp);
    IoReleaseRemoveLock(&RemoveLock, Irp);
    return status;
}

NTSTATUS FilterDevice::DispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp) {
    UNREFERENCED_PARAMETER(Device);
    NTSTATUS status = IoAcquireRemoveLock(&RemoveLock, Irp);
    if (!NT_SUCCESS(status)) return CompleteIrp(Irp, status);
    // Internal device-control requests may come at DISPATCH_LEVEL, where no
    // thread may wait: those go down untouched, as everything else does.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(LowerDevice, Irp);
        IoReleaseRemoveLock(&RemoveLock, Irp);
        return status;
    }
    status = CompleteIrp(Irp, ForwardAndWait(Irp));
    IoReleaseRemoveLock(&RemoveLock, Irp);
    return status;
}

void FilterDevice::ProcessBusRelations(PDEVICE_RELATIONS Relations) {
    if (Relations == nullptr) return;
    for (ULONG index = 0; index < Relations->Count; ++index) {
        PDEVICE_OBJECT pdo = Relations->Objects[index];
        if (!HasPciExpressCapability(pdo)) continue;
        DbgPrint("found a PCI device in the DEVICE_RELATIONS struct, DevObj[%d]=0x%p\n", index, pdo);

        bool known = false;
        LockDeviceLists();
        for (ULONG child = 0; child < GetChildCount() && !known; ++child) known = GetChild(child)->Pdo == pdo;
        UnlockDeviceLists();
        if (known) {
            DbgPrint("We alleady have that child in our ChildDevicesList, skip\n");
            continue;
        }

        // The list node first: a child filter must never exist without its place in the list.
        ListEntryRecord* node = TakeChildNode();
        if (node == nullptr) continue;
        FilterDevice* child = NewFilterDevice();
        if (child == nullptr || !NT_SUCCESS(child->CreateDevice(DriverObject, pdo->DeviceType)) ||
            !NT_SUCCESS(child->Attach(pdo))) {
            if (child != nullptr) DestroyFilterDevice(child);
            ExFreeToPagedLookasideList(&ChildNodes, node);
            continue;
        }
        child->Parent = this;
        LockDeviceLists();
        LinkChild(child, node);
        UnlockDeviceLists();
    }
}
