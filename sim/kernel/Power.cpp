// The power manager: power IRPs requested by drivers, and the device power
// states drivers report.
#include "sim/kernel/Irql.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

using sim::Kernel;

namespace {

bool Pageable(PDEVICE_OBJECT device) { return (device->Flags & DO_POWER_PAGABLE) != 0; }

// A stack whose top is not pageable gets its power IRPs at DISPATCH_LEVEL, so
// a pageable driver below a non-pageable one would run paged code there.
void RequirePagingOrder(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT bottom = device;
    while (bottom->Sim->attachedTo) bottom = bottom->Sim->attachedTo;
    for (PDEVICE_OBJECT lower = bottom; lower->AttachedDevice; lower = lower->AttachedDevice) {
        PDEVICE_OBJECT upper = lower->AttachedDevice;
        if (Pageable(lower) && !Pageable(upper))
            sim::Violation("a power IRP was sent to a stack where %s has DO_POWER_PAGABLE below %s, which does not: "
                           "the non-pageable driver would call the pageable one at DISPATCH_LEVEL",
                           Kernel::Current().Objects().Describe(lower).c_str(),
                           Kernel::Current().Objects().Describe(upper).c_str());
    }
}

}  // namespace

extern "C" {

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE complete,
                           PVOID context, PIRP* irpOut) {
    sim::KernelEntry inKernel;
    Kernel& kernel = Kernel::Current();
    sim::RequireIrql("PoRequestPowerIrp");
    kernel.Objects().CheckDevice(device, "PoRequestPowerIrp");
    if (minor != IRP_MN_QUERY_POWER && minor != IRP_MN_SET_POWER && minor != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    RequirePagingOrder(device);
    // STATUS_INSUFFICIENT_RESOURCES: the IRP could not be allocated.
    if (NTSTATUS failure = kernel.FailurePoint("PoRequestPowerIrp"); !NT_SUCCESS(failure)) return failure;
    // Sent to the top of the stack that holds the device, as the power manager does.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    sim::IoManager& io = kernel.Io();
    PDRIVER_OBJECT requester = sim::RunningDriver();
    PIRP irp = io.AllocateKernelIrp(top->StackSize, [device, minor, state, complete, context, top, &io,
                                                     requester](PIRP done) {
        IO_STATUS_BLOCK status = done->IoStatus;
        io.ReleaseKernelIrp(done);
        ObfDereferenceObject(top);
        if (!complete) return;
        // At the IRQL of whoever completed the IRP.
        KIRQL calledAt = KeGetCurrentIrql();
        {
            sim::DriverScope scope(requester);
            sim::DriverCode code;
            complete(device, minor, state, context, &status);
        }
        sim::RequireIrqlKept(calledAt, "a PoRequestPowerIrp completion function");
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = state;
    if (irpOut) *irpOut = irp;
    if (!Pageable(top)) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCallDriver(top, irp);
        KeLowerIrql(old);
    } else if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        // A pageable stack is called at PASSIVE_LEVEL, from a worker thread
        // when the request came from higher.
        kernel.Threads().Spawn("power manager", [top, irp] { IoCallDriver(top, irp); });
    } else {
        IoCallDriver(top, irp);
    }
    return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
    sim::KernelEntry inKernel;
    sim::RequireIrql("PoSetPowerState");
    Kernel::Current().Objects().CheckDevice(device, "PoSetPowerState");
    POWER_STATE previous;
    previous.DeviceState = device->Sim->powerState;
    if (type == DevicePowerState) {
        if (state.DeviceState < PowerDeviceD0 || state.DeviceState > PowerDeviceD3)
            sim::Violation("PoSetPowerState with device power state %d", static_cast<int>(state.DeviceState));
        device->Sim->powerState = state.DeviceState;
    }
    return previous;
}

}  // extern "C"
