// The ACPI driver's filter on the bridge's PDO: evaluates the bridge's _DSM
// power method (IOCTL_ACPI_EVAL_METHOD) and passes everything else down.
// Function 0 reports functions 0 to 3; function 3 switches the endpoint's
// power, argument 0 off and 1 on.
#include "tests/wine/harness/Harness.h"

namespace {

constexpr GUID PowerUuid = {0x906E5706, 0xABA3, 0x42F6, {0xB4, 0x54, 0xB6, 0x62, 0xDF, 0x56, 0x3F, 0xEF}};
constexpr ULONG InputHeader = 16;
constexpr ULONG ArgumentHeader = 4;
constexpr ULONG OutputHeader = 12;
// "AeiC" and "BoeA" in memory: ACPI_EVAL_INPUT_BUFFER_COMPLEX and ACPI_EVAL_OUTPUT_BUFFER.
constexpr ULONG InputSignature = 0x43696541;
constexpr ULONG OutputSignature = 0x426F6541;

USHORT Get16(const UCHAR* At) { return static_cast<USHORT>(At[0] | At[1] << 8); }
ULONG Get32(const UCHAR* At) { ULONG v; RtlCopyMemory(&v, At, 4); return v; }

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS Evaluate(PIRP Irp, PIO_STACK_LOCATION Location) {
    auto& control = Location->Parameters.DeviceIoControl;
    auto* buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    ULONG inputLength = control.InputBufferLength;
    if (buffer == nullptr || inputLength < InputHeader || Get32(buffer) != InputSignature)
        return Complete(Irp, STATUS_INVALID_PARAMETER_1);
    if (RtlCompareMemory(buffer + 4, "_DSM", 4) != 4) return Complete(Irp, STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG size = Get32(buffer + 8);
    ULONG count = Get32(buffer + 12);
    if (InputHeader + size > inputLength || count != 4) return Complete(Irp, STATUS_INVALID_PARAMETER_1);
    // The four arguments: UUID buffer, revision, function index, argument package.
    const UCHAR* argument[4];
    USHORT type[4], length[4];
    ULONG at = InputHeader;
    for (ULONG i = 0; i < 4; ++i) {
        if (at + ArgumentHeader > InputHeader + size) return Complete(Irp, STATUS_INVALID_PARAMETER_1);
        type[i] = Get16(buffer + at);
        length[i] = Get16(buffer + at + 2);
        ULONG occupied = length[i] < 4 ? 4 : length[i];
        if (at + ArgumentHeader + occupied > InputHeader + size) return Complete(Irp, STATUS_INVALID_PARAMETER_1);
        argument[i] = buffer + at + ArgumentHeader;
        at += ArgumentHeader + occupied;
    }
    if (type[0] != ACPI_METHOD_ARGUMENT_BUFFER || length[0] != sizeof(GUID)) return Complete(Irp, STATUS_INVALID_PARAMETER_2);
    bool known = RtlCompareMemory(argument[0], &PowerUuid, sizeof(GUID)) == sizeof(GUID);
    ULONG function = Get32(argument[2]);
    ULONG value = Get32(argument[3]);

    // The result: the support bitmap for function 0; for an unknown UUID a
    // one-byte buffer 0, nothing supported.
    USHORT resultType = ACPI_METHOD_ARGUMENT_INTEGER;
    ULONG result = 0;
    USHORT resultLength = 4;
    if (!known) {
        resultType = ACPI_METHOD_ARGUMENT_BUFFER;
        resultLength = 1;
        Event("ACPI filter: _DSM of an unknown UUID, function %lu: nothing supported", function);
    } else if (function == 0) {
        result = 0x0F;
        Event("ACPI filter: _DSM function 0: functions 0 to 3 supported");
    } else if (function == 3) {
        Event("ACPI filter: _DSM function 3 argument %lu", value);
        if (value == 0 || value == 1) SwitchEndpointPower(value == 1);
    } else {
        Event("ACPI filter: _DSM function %lu argument %lu", function, value);
    }

    ULONG needed = OutputHeader + ArgumentHeader + 4;
    ULONG outputLength = control.OutputBufferLength;
    if (outputLength < OutputHeader) return Complete(Irp, STATUS_BUFFER_TOO_SMALL);
    RtlZeroMemory(buffer, outputLength);
    ULONG signature = OutputSignature, one = 1;
    RtlCopyMemory(buffer, &signature, 4);
    RtlCopyMemory(buffer + 4, &needed, 4);
    RtlCopyMemory(buffer + 8, &one, 4);
    if (outputLength < needed) return Complete(Irp, STATUS_BUFFER_OVERFLOW, OutputHeader);
    RtlCopyMemory(buffer + OutputHeader, &resultType, 2);
    RtlCopyMemory(buffer + OutputHeader + 2, &resultLength, 2);
    RtlCopyMemory(buffer + OutputHeader + ArgumentHeader, &result, 4);
    return Complete(Irp, STATUS_SUCCESS, needed);
}

}  // namespace

NTSTATUS AcpiDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
    HarnessExtension* extension = ExtensionOf(Device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (location->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        location->Parameters.DeviceIoControl.IoControlCode == IOCTL_ACPI_EVAL_METHOD)
        return Evaluate(Irp, location);
    PDEVICE_OBJECT lower = extension->Lower;
    if (location->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(lower, Irp);
    }
    if (location->MajorFunction == IRP_MJ_PNP && location->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(lower, Irp);
        IoDetachDevice(lower);
        Harness.AcpiFilter = nullptr;
        IoDeleteDevice(Device);
        return status;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(lower, Irp);
}
