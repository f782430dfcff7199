// Device power states requested through power IRPs, as a power policy owner does.
#include "common/DeviceStates.h"
#include "common/DriverGlobals.h"
#include "filter/FilterDevice.h"
#include "pci/Identity.h"
#include "power/DeviceWait.h"

namespace {

struct PowerRequestContext {
    KEVENT Event;
    ULONG PowerState;
    NTSTATUS Status;
};

REQUEST_POWER_COMPLETE PowerRequestComplete;

void PowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                          PIO_STATUS_BLOCK IoStatus) {
    auto* context = static_cast<PowerRequestContext*>(Context);
    context->PowerState = PowerState.DeviceState;
    context->Status = IoStatus->Status;
    if (MinorFunction == IRP_MN_SET_POWER) PoSetPowerState(DeviceObject, DevicePowerState, PowerState);
    KeSetEvent(&context->Event, IO_NO_INCREMENT, FALSE);
}

NTSTATUS RequestPower(PDEVICE_OBJECT Target, UCHAR MinorFunction, ULONG State) {
    PowerRequestContext context;
    KeInitializeEvent(&context.Event, NotificationEvent, FALSE);
    context.PowerState = State;
    context.Status = STATUS_SUCCESS;
    POWER_STATE powerState;
    powerState.DeviceState = static_cast<DEVICE_POWER_STATE>(State);
    NTSTATUS status = PoRequestPowerIrp(Target, MinorFunction, powerState, PowerRequestComplete, &context, nullptr);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&context.Event, Executive, KernelMode, FALSE, nullptr);
        status = context.Status;
    }
    return status;
}

}  // namespace

NTSTATUS FilterDevice::QueryDevicePower(PULONG State) {
    if (!IsDeviceState(*State)) return STATUS_INVALID_PARAMETER;
    return RequestPower(LowerDevice, IRP_MN_QUERY_POWER, *State);
}

NTSTATUS FilterDevice::SetDevicePower(PULONG State) {
    if (!IsDeviceState(*State)) return STATUS_INVALID_PARAMETER;
    // A refused query does not stop the request: the service asked for the state.
    QueryDevicePower(State);

    // A device coming back to D0 must answer before its stack is told it is on.
    if (DriverGlobals.EnablePolling && *State == PowerDeviceD0 && !WaitForDeviceToAnswer(Pdo)) {
        DbgPrint("VoxenPCI: device %02x:%02x.%x did not answer within 60 s; D0 was not requested\n",
                 ::BusNumber(this), ::DeviceNumber(this), ::FunctionNumber(this));
        return STATUS_IO_TIMEOUT;
    }

    NTSTATUS status = RequestPower(LowerDevice, IRP_MN_SET_POWER, *State);
    // Recorded even when the stack failed the request: the bridge's veto
    // follows what the service asked for.
    DevicePowerState = *State;
    return status;
}
