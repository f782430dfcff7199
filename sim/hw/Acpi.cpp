#include "sim/hw/Acpi.h"

#include <cstdio>
#include <cstring>

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

namespace {

// ACPI_EVAL_INPUT_BUFFER_COMPLEX: signature, method name, size of the
// arguments, their count, then each argument (type, data length, data).
constexpr size_t kInputHeader = 16;
constexpr size_t kArgumentHeader = 4;
// ACPI_EVAL_OUTPUT_BUFFER: signature, length, count, then the results.
constexpr size_t kOutputHeader = 12;

struct Argument {
    uint16_t type;
    std::vector<uint8_t> data;
};

uint32_t Read32(const uint8_t* at) {
    uint32_t value;
    std::memcpy(&value, at, 4);
    return value;
}

uint16_t Read16(const uint8_t* at) {
    uint16_t value;
    std::memcpy(&value, at, 2);
    return value;
}

}  // namespace

bool ParseGuid(const std::string& text, GUID* guid) {
    unsigned a, b, c, d[8];
    char tail;
    if (std::sscanf(text.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &a, &b, &c, &d[0], &d[1], &d[2], &d[3],
                    &d[4], &d[5], &d[6], &d[7], &tail) != 11)
        return false;
    guid->Data1 = a;
    guid->Data2 = static_cast<USHORT>(b);
    guid->Data3 = static_cast<USHORT>(c);
    for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<UCHAR>(d[i]);
    return true;
}

AcpiFilter::AcpiFilter(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, const DsmSpec& dsm, std::function<void(bool)> switchPower)
    : dsm_(dsm), switchPower_(std::move(switchPower)) {
    PDEVICE_OBJECT filter = CreateSimDevice(driver, this, FILE_DEVICE_ACPI);
    lower_ = IoAttachDeviceToDeviceStack(filter, pdo);
    if (!lower_) Violation("the ACPI filter could not attach");
    filter->Flags |= lower_->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    filter->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
}

NTSTATUS AcpiFilter::Dispatch(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        location->Parameters.DeviceIoControl.IoControlCode == IOCTL_ACPI_EVAL_METHOD)
        return Evaluate(irp, location);
    if (location->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    if (location->MajorFunction == IRP_MJ_PNP && location->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower_, irp);
        PDEVICE_OBJECT filter = device;
        IoDetachDevice(lower_);
        IoDeleteDevice(filter);
        delete this;
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower_, irp);
}

NTSTATUS AcpiFilter::Evaluate(PIRP irp, PIO_STACK_LOCATION location) {
    auto& control = location->Parameters.DeviceIoControl;
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    ULONG inputLength = control.InputBufferLength;
    evaluations_.emplace_back(buffer, buffer + inputLength);
    if (inputLength < kInputHeader || Read32(buffer) != ACPI_EVAL_INPUT_BUFFER_COMPLEX_SIGNATURE)
        return Complete(irp, STATUS_INVALID_PARAMETER_1);
    if (std::memcmp(buffer + 4, "_DSM", 4) != 0) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    // The arguments must lie inside the buffer and inside the size it declares.
    uint32_t size = Read32(buffer + 8);
    uint32_t count = Read32(buffer + 12);
    if (kInputHeader + size > inputLength) return Complete(irp, STATUS_INVALID_PARAMETER_1);
    std::vector<Argument> arguments;
    size_t at = kInputHeader;
    for (uint32_t i = 0; i < count; ++i) {
        if (at + kArgumentHeader > kInputHeader + size) return Complete(irp, STATUS_INVALID_PARAMETER_1);
        Argument argument{Read16(buffer + at), {}};
        uint16_t length = Read16(buffer + at + 2);
        size_t occupied = length < 4 ? 4 : length;
        if (at + kArgumentHeader + occupied > kInputHeader + size) return Complete(irp, STATUS_INVALID_PARAMETER_1);
        argument.data.assign(buffer + at + kArgumentHeader, buffer + at + kArgumentHeader + length);
        arguments.push_back(argument);
        at += kArgumentHeader + occupied;
    }
    if (arguments.size() != 4 || arguments[0].type != ACPI_METHOD_ARGUMENT_BUFFER || arguments[0].data.size() != 16)
        return Complete(irp, STATUS_INVALID_PARAMETER_2);
    if (!NT_SUCCESS(dsm_.status)) return Complete(irp, dsm_.status);

    GUID wanted{};
    ParseGuid(dsm_.uuid, &wanted);
    bool known = std::memcmp(arguments[0].data.data(), &wanted, 16) == 0;
    auto integer = [](const Argument& argument) {
        uint32_t value = 0;
        std::memcpy(&value, argument.data.data(), argument.data.size() < 4 ? argument.data.size() : 4);
        return value;
    };
    uint32_t function = integer(arguments[2]);

    // The result: function 0 reports the support bitmap; an unknown UUID
    // supports nothing (a one-byte buffer 0, as the ACPI specification has it).
    uint16_t type = ACPI_METHOD_ARGUMENT_INTEGER;
    std::vector<uint8_t> data(4, 0);
    if (!known) {
        type = ACPI_METHOD_ARGUMENT_BUFFER;
        data.assign(1, 0);
    } else if (function == 0) {
        uint32_t bitmap = dsm_.functions;
        if (dsm_.resultType != "integer") {
            type = dsm_.resultType == "buffer" ? ACPI_METHOD_ARGUMENT_BUFFER : ACPI_METHOD_ARGUMENT_STRING;
            data.assign(dsm_.resultLength, 0);
        }
        for (size_t i = 0; i < data.size() && i < 4; ++i) data[i] = static_cast<uint8_t>(bitmap >> (8 * i));
    } else if (function == 3 && (dsm_.functions & (1u << 3))) {
        uint32_t argument = integer(arguments[3]);
        if (argument == 0 || argument == 1) switchPower_(argument == 1);
    }

    ULONG needed = static_cast<ULONG>(kOutputHeader + kArgumentHeader + (data.size() < 4 ? 4 : data.size()));
    ULONG outputLength = control.OutputBufferLength;
    if (outputLength < kOutputHeader) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
    std::memset(buffer, 0, outputLength);
    uint32_t signature = ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE;
    std::memcpy(buffer, &signature, 4);
    std::memcpy(buffer + 4, &needed, 4);
    std::memcpy(buffer + 8, &dsm_.count, 4);
    if (outputLength < needed) return Complete(irp, STATUS_BUFFER_OVERFLOW, kOutputHeader);
    uint16_t length = static_cast<uint16_t>(data.size());
    std::memcpy(buffer + kOutputHeader, &type, 2);
    std::memcpy(buffer + kOutputHeader + 2, &length, 2);
    std::memcpy(buffer + kOutputHeader + kArgumentHeader, data.data(), data.size());
    return Complete(irp, STATUS_SUCCESS, needed);
}

}  // namespace sim
