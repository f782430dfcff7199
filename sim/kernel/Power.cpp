// The power manager: power IRPs requested by drivers, and the device power
// states drivers report.
#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

using sim::Kernel;

extern "C" {

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE complete,
                           PVOID context, PIRP* irpOut) {
    Kernel& kernel = Kernel::Current();
    kernel.Objects().CheckDevice(device, "PoRequestPowerIrp");
    if (minor != IRP_MN_QUERY_POWER && minor != IRP_MN_SET_POWER && minor != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    // Sent to the top of the stack that holds the device, as the power manager does.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    sim::IoManager& io = kernel.Io();
    PIRP irp = io.AllocateKernelIrp(top->StackSize, [device, minor, state, complete, context, top, &io](PIRP done) {
        IO_STATUS_BLOCK status = done->IoStatus;
        io.ReleaseKernelIrp(done);
        ObfDereferenceObject(top);
        if (complete) complete(device, minor, state, context, &status);
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = state;
    if (irpOut) *irpOut = irp;
    IoCallDriver(top, irp);
    return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
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
