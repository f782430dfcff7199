#include "sim/pnp/SimDevice.h"

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

namespace {
NTSTATUS DispatchToOwner(PDEVICE_OBJECT device, PIRP irp) {
    return (*static_cast<SimDevice**>(device->DeviceExtension))->Dispatch(irp);
}
}  // namespace

PDRIVER_OBJECT CreateSimDriver(const std::wstring& name) {
    PDRIVER_OBJECT driver = Kernel::Current().Objects().CreateDriver(name);
    for (auto& entry : driver->MajorFunction) entry = DispatchToOwner;
    return driver;
}

PDEVICE_OBJECT CreateSimDevice(PDRIVER_OBJECT driver, SimDevice* owner, DEVICE_TYPE type) {
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(SimDevice*), nullptr, type, 0, FALSE, &device)))
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

FunctionDevice::FunctionDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, DEVICE_TYPE type, Relations relations,
                               PowerBehavior power)
    : relations_(std::move(relations)), power_(power) {
    PDEVICE_OBJECT fdo = CreateSimDevice(driver, this, type);
    lower_ = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!lower_) Violation("a simulated function driver could not attach");
    fdo->Flags |= lower_->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    fdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
}

NTSTATUS FunctionDevice::Dispatch(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction == IRP_MJ_POWER) return DispatchPower(irp, location);
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
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower_, irp);
}

NTSTATUS FunctionDevice::DispatchPower(PIRP irp, PIO_STACK_LOCATION location) {
    PoStartNextPowerIrp(irp);
    bool handled = location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER;
    if (handled && location->MinorFunction == IRP_MN_QUERY_POWER && power_.refuseQuery)
        return Complete(irp, STATUS_UNSUCCESSFUL);
    if (!handled || power_.completion == PowerBehavior::Completion::PassDown) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower_, irp);
    }
    switch (power_.completion) {
    case PowerBehavior::Completion::AtOnce: return Complete(irp, STATUS_SUCCESS);
    case PowerBehavior::Completion::Fail: return Complete(irp, power_.failStatus);
    default: {
        IoMarkIrpPending(irp);
        int64_t delay = power_.delay;
        Kernel::Current().Threads().StartThread("function driver", [irp, delay] {
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
