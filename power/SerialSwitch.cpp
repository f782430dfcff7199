#include "power/SerialSwitch.h"

#include "filter/FilterDevice.h"

namespace {

static_assert(IOCTL_SERIAL_SET_DTR == 0x1B0024 && IOCTL_SERIAL_SET_RTS == 0x1B0030 && IOCTL_SERIAL_CLR_RTS == 0x1B0034,
              "the serial driver's line-control codes");

// A line-control request: no buffers, no file object; the final status.
NTSTATUS LineControl(PDEVICE_OBJECT Port, ULONG Code) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_UNSUCCESSFUL;
    ioStatus.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Port, nullptr, 0, nullptr, 0, FALSE, &event, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(Port, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

}  // namespace

NTSTATUS SerialSwitch(FilterDevice* Filter, BOOLEAN On, ULONG Method) {
    if (Method != 1 && Method != 2) return STATUS_INVALID_PARAMETER;
    if (!Filter->SerialOpened) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Device\\Serial0");
        PFILE_OBJECT file = nullptr;
        PDEVICE_OBJECT port = nullptr;
        NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &port);
        if (!NT_SUCCESS(status)) return status;
        Filter->SerialFileObject = file;
        Filter->SerialDeviceObject = port;
        LineControl(port, IOCTL_SERIAL_SET_DTR);
        Filter->SerialOpened = TRUE;
    }
    bool setRts = Method == 1 ? !On : On;
    return LineControl(Filter->SerialDeviceObject, setRts ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS);
}

void ReleaseSerialPort(FilterDevice* Filter) {
    // The file object holds the port's device object.
    if (Filter->SerialFileObject != nullptr) ObDereferenceObject(Filter->SerialFileObject);
    Filter->SerialFileObject = nullptr;
    Filter->SerialDeviceObject = nullptr;
    Filter->SerialOpened = FALSE;
}
