#include "sim/hw/SerialPort.h"

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

SerialPort::SerialPort(const SerialSpec& spec, PowerSwitch power) : spec_(spec), power_(std::move(power)) {
    PDRIVER_OBJECT driver = CreateSimDriver(L"\\Driver\\Serial");
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kSerialDeviceName);
    PDEVICE_OBJECT port = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(SimDevice*), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &port)))
        Violation("the simulated serial port could not create %ls", kSerialDeviceName);
    *static_cast<SimDevice**>(port->DeviceExtension) = this;
    device = port;
    port->Flags |= DO_BUFFERED_IO;
    port->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
}

void SerialPort::Delete() {
    if (deleted_) return;
    deleted_ = true;
    IoDeleteDevice(device);
}

NTSTATUS SerialPort::Dispatch(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MajorFunction) {
    case IRP_MJ_CREATE:
        // The serial driver is exclusive: one open at a time.
        if (opens > 0) return Complete(irp, STATUS_ACCESS_DENIED);
        ++opens;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLEANUP: return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
        --opens;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL: {
        ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
        switch (code) {
        case IOCTL_SERIAL_SET_DTR: dtr = true; break;
        case IOCTL_SERIAL_CLR_DTR: dtr = false; break;
        case IOCTL_SERIAL_SET_RTS: rts = true; break;
        case IOCTL_SERIAL_CLR_RTS: rts = false; break;
        default: return Complete(irp, STATUS_INVALID_PARAMETER);
        }
        requests.push_back(code);
        if ((code == IOCTL_SERIAL_SET_RTS || code == IOCTL_SERIAL_CLR_RTS) && !spec_.powers.empty())
            power_(spec_.powers, rts == spec_.onWhenSet);
        return Complete(irp, STATUS_SUCCESS);
    }
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace sim
