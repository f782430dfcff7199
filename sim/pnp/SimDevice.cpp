#include "sim/pnp/SimDevice.h"

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

namespace {
// The simulated drivers are the simulator's code: they run under the kernel lock.
NTSTATUS DispatchToOwner(PDEVICE_OBJECT device, PIRP irp) {
    KernelEntry inKernel;
    return (*static_cast<SimDevice**>(device->DeviceExtension))->Dispatch(irp);
}
}  // namespace

PDRIVER_OBJECT CreateSimDriver(const std::wstring& name) {
    PDRIVER_OBJECT driver = Kernel::Current().Objects().CreateDriver(name);
    for (auto& entry : driver->MajorFunction) entry = DispatchToOwner;
    return driver;
}

PDEVICE_OBJECT CreateSimDevice(PDRIVER_OBJECT driver, SimDevice* owner, DEVICE_TYPE type, ULONG characteristics) {
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(SimDevice*), nullptr, type, characteristics, FALSE, &device)))
        Violation("the simulated hardware could not create a device object");
    *static_cast<SimDevice**>(device->DeviceExtension) = owner;
    owner->device = device;
    return device;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteUnchanged(PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

namespace {

struct DeferredCompletion {
    KDPC dpc;
    PIRP irp;
    bool keepStatus;
    NTSTATUS status;
    ULONG_PTR information;
};

KDEFERRED_ROUTINE CompleteDeferred;

VOID CompleteDeferred(PKDPC, PVOID context, PVOID, PVOID) {
    KernelEntry inKernel;
    auto* deferred = static_cast<DeferredCompletion*>(context);
    if (!deferred->keepStatus) {
        deferred->irp->IoStatus.Status = deferred->status;
        deferred->irp->IoStatus.Information = deferred->information;
    }
    IoCompleteRequest(deferred->irp, IO_NO_INCREMENT);
    delete deferred;
}

void QueueCompletion(PIRP irp, bool keepStatus, NTSTATUS status, ULONG_PTR information) {
    auto* deferred = new DeferredCompletion{{}, irp, keepStatus, status, information};
    KeInitializeDpc(&deferred->dpc, CompleteDeferred, deferred);
    KeInsertQueueDpc(&deferred->dpc, nullptr, nullptr);
}

// GUID_DEVINTERFACE_DISK, from ntddstor.h.
const GUID kDiskInterface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

IO_COMPLETION_ROUTINE SignalReturn;

NTSTATUS SignalReturn(PDEVICE_OBJECT, PIRP, PVOID context) {
    KernelEntry inKernel;
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

IO_COMPLETION_ROUTINE CompleteAgainFromDpc;

NTSTATUS CompleteAgainFromDpc(PDEVICE_OBJECT, PIRP irp, PVOID) {
    KernelEntry inKernel;
    QueueCompletion(irp, true, 0, 0);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

PDEVICE_RELATIONS TargetRelationOf(PDEVICE_OBJECT pdo, ULONG tag) {
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), tag));
    if (!relations) return nullptr;
    relations->Count = 1;
    relations->Objects[0] = pdo;
    ObfReferenceObject(pdo);
    return relations;
}

NTSTATUS CompleteFromDpc(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    IoMarkIrpPending(irp);
    QueueCompletion(irp, false, status, information);
    return STATUS_PENDING;
}

NTSTATUS CompleteUnchangedFromDpc(PIRP irp) {
    IoMarkIrpPending(irp);
    QueueCompletion(irp, true, 0, 0);
    return STATUS_PENDING;
}

NTSTATUS PassDownCompletingFromDpc(PIRP irp, PDEVICE_OBJECT lower) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CompleteAgainFromDpc, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    return STATUS_PENDING;
}

FunctionDevice::FunctionDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, DEVICE_TYPE type, Relations relations,
                               PowerBehavior power, bool completesFromDpc, bool pageable, bool storage)
    : relations_(std::move(relations)), power_(power), completesFromDpc_(completesFromDpc), storage_(storage) {
    PDEVICE_OBJECT fdo = CreateSimDevice(driver, this, type);
    lower_ = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!lower_) Violation("a simulated function driver could not attach");
    fdo->Flags |= lower_->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    if (!pageable) fdo->Flags &= ~static_cast<ULONG>(DO_POWER_PAGABLE);
    fdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    if (storage_ && !NT_SUCCESS(IoRegisterDeviceInterface(pdo, &kDiskInterface, nullptr, &diskInterface_)))
        Violation("a simulated storage driver could not register its disk interface");
}

NTSTATUS FunctionDevice::ForwardAndWait(PIRP irp) {
    KEVENT returned;
    KeInitializeEvent(&returned, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalReturn, &returned, TRUE, TRUE, TRUE);
    IoCallDriver(lower_, irp);
    KeWaitForSingleObject(&returned, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

void FunctionDevice::DisableInterface() {
    if (!interfaceEnabled_) return;
    interfaceEnabled_ = false;
    IoSetDeviceInterfaceState(&diskInterface_, FALSE);
}

NTSTATUS FunctionDevice::DispatchStorage(PIRP irp, PIO_STACK_LOCATION location, bool* handled) {
    *handled = true;
    switch (location->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE: return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_PNP: break;
    default: *handled = false; return STATUS_SUCCESS;
    }
    switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = ForwardAndWait(irp);
        if (NT_SUCCESS(status) && NT_SUCCESS(IoSetDeviceInterfaceState(&diskInterface_, TRUE))) interfaceEnabled_ = true;
        return Complete(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        // A disk that holds a paging file cannot go.
        if (pagingFiles_ > 0) return Complete(irp, STATUS_DEVICE_BUSY);
        *handled = false;
        return STATUS_SUCCESS;
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        *handled = false;
        return STATUS_SUCCESS;
    case IRP_MN_SURPRISE_REMOVAL:
        DisableInterface();
        *handled = false;
        return STATUS_SUCCESS;
    case IRP_MN_REMOVE_DEVICE:
        DisableInterface();
        RtlFreeUnicodeString(&diskInterface_);
        *handled = false;
        return STATUS_SUCCESS;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: {
        auto& usage = location->Parameters.UsageNotification;
        if (usage.Type != DeviceUsageTypePaging) {
            *handled = false;
            return STATUS_SUCCESS;
        }
        PDEVICE_OBJECT fdo = device;
        // Leaving the paging path, the device is pageable again before the
        // ones below: never a pageable device below a non-pageable one.
        bool last = !usage.InPath && pagingFiles_ == 1;
        if (last) fdo->Flags |= DO_POWER_PAGABLE;
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = ForwardAndWait(irp);
        if (!NT_SUCCESS(status)) {
            if (last) fdo->Flags &= ~static_cast<ULONG>(DO_POWER_PAGABLE);
        } else if (usage.InPath) {
            if (++pagingFiles_ == 1) fdo->Flags &= ~static_cast<ULONG>(DO_POWER_PAGABLE);
        } else {
            --pagingFiles_;
        }
        return Complete(irp, status, irp->IoStatus.Information);
    }
    default: *handled = false; return STATUS_SUCCESS;
    }
}

NTSTATUS FunctionDevice::PassDown(PIRP irp) {
    if (completesFromDpc_) return PassDownCompletingFromDpc(irp, lower_);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower_, irp);
}

NTSTATUS FunctionDevice::Finish(PIRP irp, NTSTATUS status) {
    return completesFromDpc_ ? CompleteFromDpc(irp, status) : Complete(irp, status);
}

NTSTATUS FunctionDevice::Dispatch(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction == IRP_MJ_POWER) return DispatchPower(irp, location);
    if (storage_) {
        bool handled = false;
        NTSTATUS status = DispatchStorage(irp, location, &handled);
        if (handled) return status;
    }
    if (location->MajorFunction == IRP_MJ_PNP) {
        if (location->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(lower_, irp);
            PDEVICE_OBJECT fdo = device;
            IoDetachDevice(lower_);
            IoDeleteDevice(fdo);
            delete this;
            return status;
        }
        if (location->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
            location->Parameters.QueryDeviceRelations.Type == BusRelations && relations_) {
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations_());
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        if (location->MinorFunction == IRP_MN_START_DEVICE || location->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE ||
            location->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
            irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return PassDown(irp);
}

NTSTATUS FunctionDevice::DispatchPower(PIRP irp, PIO_STACK_LOCATION location) {
    PoStartNextPowerIrp(irp);
    bool handled = location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER;
    if (handled && location->MinorFunction == IRP_MN_QUERY_POWER && power_.refuseQuery)
        return Finish(irp, STATUS_UNSUCCESSFUL);
    if (!handled || power_.completion == PowerBehavior::Completion::PassDown) return PassDown(irp);
    switch (power_.completion) {
    case PowerBehavior::Completion::AtOnce: return Finish(irp, STATUS_SUCCESS);
    case PowerBehavior::Completion::Fail: return Finish(irp, power_.failStatus);
    default: {
        IoMarkIrpPending(irp);
        int64_t delay = power_.delay;
        // The driver's own worker; power IRPs may arrive at DISPATCH_LEVEL,
        // where no thread can be created, so it is the machine's.
        Kernel::Current().Threads().Spawn("function driver", [irp, delay] {
            LARGE_INTEGER wait;
            wait.QuadPart = -delay;
            KeDelayExecutionThread(KernelMode, FALSE, &wait);
            Complete(irp, STATUS_SUCCESS);
        });
        return STATUS_PENDING;
    }
    }
}

}  // namespace sim
