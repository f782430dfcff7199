#include "power/Dsm.h"

#include "common/PoolTags.h"
#include "filter/FilterDevice.h"

namespace {

// The input buffer: header, then four arguments, each a 4-byte header (type,
// data length) and its data, counted as at least 4 bytes.
constexpr ULONG InSignature = 0;
constexpr ULONG InMethodName = 4;
constexpr ULONG InSize = 8;
constexpr ULONG InArgumentCount = 12;
constexpr ULONG InUuidArgument = 16;
constexpr ULONG InRevisionArgument = 36;
constexpr ULONG InFunctionArgument = 44;
constexpr ULONG InValueArgument = 52;
constexpr ULONG ArgumentHeader = 4;
constexpr ULONG UuidLength = 16;
static_assert(InRevisionArgument == InUuidArgument + ArgumentHeader + UuidLength, "the revision follows the UUID");
static_assert(InValueArgument + ArgumentHeader + 4 + 12 == DsmInputLength, "twelve zero bytes close the buffer");
static_assert(sizeof(GUID) == UuidLength, "a GUID is sixteen bytes in memory");

// The signature of ACPI_EVAL_INPUT_BUFFER_COMPLEX, the bytes "AeiC".
constexpr ULONG DsmInputSignature = 0x43696541;
static_assert(IOCTL_ACPI_EVAL_METHOD == 0x32C004, "IOCTL_ACPI_EVAL_METHOD");

// The size field the method is called with: 48, four bytes more than the
// arguments occupy.
constexpr ULONG DsmArgumentsSize = 48;
constexpr ULONG DsmArgumentCount = 4;
// Argument 3 goes as a package of four bytes.
constexpr USHORT ValueArgumentType = ACPI_METHOD_ARGUMENT_PACKAGE;

// The output buffer: signature, length, count, then the first result.
constexpr ULONG OutCount = 8;
constexpr ULONG OutResultType = 12;
constexpr ULONG OutResultLength = 14;
constexpr ULONG OutResultData = 16;
constexpr ULONG OutDataRoom = DsmOutputLength - OutResultData;  // fourteen bytes
static_assert(OutDataRoom == 14, "one result of up to fourteen bytes");

void Put16(PUCHAR At, USHORT Value) {
    At[0] = static_cast<UCHAR>(Value);
    At[1] = static_cast<UCHAR>(Value >> 8);
}

void Put32(PUCHAR At, ULONG Value) {
    for (int i = 0; i < 4; ++i) At[i] = static_cast<UCHAR>(Value >> (8 * i));
}

USHORT Get16(const UCHAR* At) { return static_cast<USHORT>(At[0] | At[1] << 8); }

ULONG Get32(const UCHAR* At) {
    return static_cast<ULONG>(At[0]) | static_cast<ULONG>(At[1]) << 8 | static_cast<ULONG>(At[2]) << 16 |
           static_cast<ULONG>(At[3]) << 24;
}

void PutArgument(PUCHAR At, USHORT Type, ULONG Value) {
    Put16(At, Type);
    Put16(At + 2, 4);
    Put32(At + ArgumentHeader, Value);
}

// The method's answer, by the first result's type and data length.
NTSTATUS TakeResult(const UCHAR* Output, NTSTATUS Status, PVOID Out, PULONG OutLength) {
    if (Get32(Output + OutCount) != 1) return NT_SUCCESS(Status) ? STATUS_UNSUCCESSFUL : Status;
    if (!NT_SUCCESS(Status) || Out == nullptr) return Status;
    ULONG length;
    switch (Get16(Output + OutResultType)) {
    case ACPI_METHOD_ARGUMENT_INTEGER: length = 4; break;
    case ACPI_METHOD_ARGUMENT_STRING:
    case ACPI_METHOD_ARGUMENT_BUFFER: length = Get16(Output + OutResultLength); break;
    default: return STATUS_UNSUCCESSFUL;
    }
    if (length > *OutLength) return STATUS_BUFFER_TOO_SMALL;
    // A length the output buffer cannot have held came from a confused
    // driver: nothing past the buffer is copied.
    if (length > OutDataRoom) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(Out, Output + OutResultData, length);
    *OutLength = length;
    return Status;
}

}  // namespace

const GUID DsmPowerUuids[2] = {
    {0x906E5706, 0xABA3, 0x42F6, {0xB4, 0x54, 0xB6, 0x62, 0xDF, 0x56, 0x3F, 0xEF}},
    {0x5B27E2E7, 0x93C2, 0x4EB6, {0x8C, 0x07, 0x15, 0x9B, 0x7A, 0x4D, 0xA5, 0xBE}},
};

void BuildDsmInput(PUCHAR Input, const GUID& Uuid, ULONG FunctionIndex, ULONG Argument) {
    Put32(Input + InSignature, DsmInputSignature);
    Input[InMethodName + 0] = '_';
    Input[InMethodName + 1] = 'D';
    Input[InMethodName + 2] = 'S';
    Input[InMethodName + 3] = 'M';
    Put32(Input + InSize, DsmArgumentsSize);
    Put32(Input + InArgumentCount, DsmArgumentCount);
    Put16(Input + InUuidArgument, ACPI_METHOD_ARGUMENT_BUFFER);
    Put16(Input + InUuidArgument + 2, UuidLength);
    RtlCopyMemory(Input + InUuidArgument + ArgumentHeader, &Uuid, UuidLength);
    PutArgument(Input + InRevisionArgument, ACPI_METHOD_ARGUMENT_INTEGER, 0);
    PutArgument(Input + InFunctionArgument, ACPI_METHOD_ARGUMENT_INTEGER, FunctionIndex);
    PutArgument(Input + InValueArgument, ValueArgumentType, Argument);
}

NTSTATUS EvaluateDsm(FilterDevice* Filter, PDEVICE_OBJECT Target, ULONG FunctionIndex, ULONG Argument, PVOID Out,
                     PULONG OutLength) {
    auto* output = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, DsmOutputLength, TagObject));
    auto* input = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, DsmInputLength, TagObject));
    if (output == nullptr || input == nullptr) {
        if (output != nullptr) ExFreePoolWithTag(output, TagObject);
        if (input != nullptr) ExFreePoolWithTag(input, TagObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(output, DsmOutputLength);
    RtlZeroMemory(input, DsmInputLength);
    BuildDsmInput(input, Filter->DsmUuid, FunctionIndex, Argument);

    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_UNSUCCESSFUL;
    ioStatus.Information = 0;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_ACPI_EVAL_METHOD, Target, input, DsmInputLength, output,
                                             DsmOutputLength, FALSE, &event, &ioStatus);
    if (irp != nullptr) {
        status = IoCallDriver(Target, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = ioStatus.Status;
        }
    }
    NTSTATUS result = TakeResult(output, status, Out, OutLength);
    ExFreePoolWithTag(input, TagObject);
    ExFreePoolWithTag(output, TagObject);
    return result;
}

BOOLEAN ProbeDsm(FilterDevice* Filter) {
    // Functions 0 to 3, and no others.
    constexpr ULONG powerFunctions = 0x0F;
    for (const GUID& uuid : DsmPowerUuids) {
        Filter->DsmUuid = uuid;
        ULONG supported = 0;
        ULONG length = sizeof(supported);
        NTSTATUS status = EvaluateDsm(Filter, Filter->LowerDevice, 0, 0, &supported, &length);
        if (NT_SUCCESS(status) && supported == powerFunctions) return TRUE;
    }
    return FALSE;
}

NTSTATUS DsmSetPower(FilterDevice* Filter, ULONG Kind) {
    ULONG argument;
    switch (Kind) {
    case 1: argument = 1; break;  // power on
    case 2: argument = 0; break;  // power off
    default: return STATUS_INVALID_PARAMETER;
    }
    ULONG answer = 0;
    ULONG length = sizeof(answer);
    return EvaluateDsm(Filter, Filter->LowerDevice, 3, argument, &answer, &length);
}
