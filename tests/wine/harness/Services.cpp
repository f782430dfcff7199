// The kernel services voxenpci.sys gets from the harness instead of Wine's
// ntoskrnl.exe: its import address table is patched when Wine maps the image,
// before its DriverEntry runs. Every other import stays Wine's.
#include "tests/wine/harness/Harness.h"

namespace {

using RoutineAddress = PVOID;

// --- PoRequestPowerIrp, as Windows does it -------------------------------

struct PowerRequest {
    PDEVICE_OBJECT Target;   // the device object the request named
    PDEVICE_OBJECT Top;      // the top of its stack, referenced
    UCHAR MinorFunction;
    POWER_STATE State;
    PREQUEST_POWER_COMPLETE Complete;
    PVOID Context;
};

IO_COMPLETION_ROUTINE PowerIrpDone;

// The power manager calls the requester's callback once every driver has
// completed the IRP, then frees the IRP itself.
NTSTATUS PowerIrpDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* request = static_cast<PowerRequest*>(Context);
    if (request->Complete != nullptr)
        request->Complete(request->Target, request->MinorFunction, request->State, request->Context, &Irp->IoStatus);
    IoFreeIrp(Irp);
    ObDereferenceObject(request->Top);
    ExFreePoolWithTag(request, HarnessTag);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI HarnessPoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                        PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE && MinorFunction != IRP_MN_POWER_SEQUENCE)
        return STATUS_INVALID_PARAMETER_2;
    auto* request = static_cast<PowerRequest*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerRequest), HarnessTag));
    if (request == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // Sent to the top of the stack the device object is in.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        ExFreePoolWithTag(request, HarnessTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *request = {DeviceObject, top, MinorFunction, PowerState, CompletionFunction, Context};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // power IRPs start unanswered
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_SET_POWER || MinorFunction == IRP_MN_QUERY_POWER) {
        next->Parameters.Power.SystemContext = 0;
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
        next->Parameters.Power.ShutdownType = PowerActionNone;
    } else if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    }
    IoSetCompletionRoutine(irp, PowerIrpDone, request, TRUE, TRUE, TRUE);
    if (Irp != nullptr) *Irp = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

// --- IoGetDeviceProperty for the harness's PDOs ----------------------------

RoutineAddress WineIoGetDeviceProperty;
using IoGetDevicePropertyRoutine = NTSTATUS(NTAPI*)(PDEVICE_OBJECT, DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG);

NTSTATUS NTAPI HarnessIoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY Property,
                                          ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    if (!IsHarnessPdo(DeviceObject))
        return reinterpret_cast<IoGetDevicePropertyRoutine>(WineIoGetDeviceProperty)(DeviceObject, Property, BufferLength,
                                                                                     PropertyBuffer, ResultLength);
    PciModel* model = ExtensionOf(DeviceObject)->Model;
    ULONG value;
    switch (Property) {
    case DevicePropertyBusNumber: value = model->Bus; break;
    case DevicePropertyAddress: value = static_cast<ULONG>(model->Device) << 16 | model->Function; break;
    default: return STATUS_INVALID_PARAMETER_2;
    }
    *ResultLength = sizeof(value);
    if (BufferLength < sizeof(value)) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(PropertyBuffer, &value, sizeof(value));
    return STATUS_SUCCESS;
}

// --- IoBuildDeviceIoControlRequest for buffered requests -------------------

RoutineAddress WineIoBuildDeviceIoControlRequest;
using IoBuildDeviceIoControlRequestRoutine = PIRP(NTAPI*)(ULONG, PDEVICE_OBJECT, PVOID, ULONG, PVOID, ULONG, BOOLEAN,
                                                          PKEVENT, PIO_STATUS_BLOCK);

struct BufferedRequest {
    PVOID SystemBuffer;
    PVOID Output;
    ULONG OutputLength;
};

IO_COMPLETION_ROUTINE BufferedRequestDone;

// What the I/O manager does when a buffered request completes: the bytes the
// driver reported go from the system buffer to the caller's output buffer,
// and the system buffer is freed. The rest of the completion (status block,
// event, the IRP freed) is Wine's.
NTSTATUS BufferedRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* request = static_cast<BufferedRequest*>(Context);
    if (NT_SUCCESS(Irp->IoStatus.Status) || Irp->IoStatus.Status == STATUS_BUFFER_OVERFLOW) {
        ULONG_PTR length = Irp->IoStatus.Information;
        if (length > request->OutputLength) length = request->OutputLength;
        if (request->Output != nullptr && length != 0) RtlCopyMemory(request->Output, request->SystemBuffer, length);
    }
    Irp->AssociatedIrp.SystemBuffer = nullptr;
    ExFreePoolWithTag(request->SystemBuffer, HarnessTag);
    ExFreePoolWithTag(request, HarnessTag);
    return STATUS_CONTINUE_COMPLETION;
}

PIRP NTAPI HarnessIoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                                ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                                BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    if ((IoControlCode & 3) != METHOD_BUFFERED || (InputBufferLength == 0 && OutputBufferLength == 0))
        return reinterpret_cast<IoBuildDeviceIoControlRequestRoutine>(WineIoBuildDeviceIoControlRequest)(
            IoControlCode, DeviceObject, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength,
            InternalDeviceIoControl, Event, IoStatusBlock);
    ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    auto* request = static_cast<BufferedRequest*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(BufferedRequest), HarnessTag));
    PVOID systemBuffer = ExAllocatePoolWithTag(NonPagedPool, length, HarnessTag);
    // One stack location more than the target needs: the request's own, so
    // that its completion runs after every driver's.
    PIRP irp = request && systemBuffer ? IoAllocateIrp(static_cast<CCHAR>(DeviceObject->StackSize + 1), FALSE) : nullptr;
    if (irp == nullptr) {
        if (request != nullptr) ExFreePoolWithTag(request, HarnessTag);
        if (systemBuffer != nullptr) ExFreePoolWithTag(systemBuffer, HarnessTag);
        return nullptr;
    }
    RtlZeroMemory(systemBuffer, length);
    if (InputBuffer != nullptr && InputBufferLength != 0) RtlCopyMemory(systemBuffer, InputBuffer, InputBufferLength);
    *request = {systemBuffer, OutputBuffer, OutputBufferLength};
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    irp->AssociatedIrp.SystemBuffer = systemBuffer;
    irp->UserBuffer = OutputBuffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    // Tail.Overlay.Thread stays null: Wine keeps no per-thread list of IRPs to cancel.
    IoSetCompletionRoutine(irp, BufferedRequestDone, request, TRUE, TRUE, TRUE);
    return irp;
}

// --- The replacements: the one list ----------------------------------------

struct Replacement {
    const char* Name;
    PCWSTR KernelName;
    RoutineAddress Routine;
    RoutineAddress* Original;  // where Wine's routine is kept, for a replacement that passes on
    const char* Why;
};

const Replacement Replacements[] = {
    {"PoRequestPowerIrp", L"PoRequestPowerIrp", reinterpret_cast<RoutineAddress>(HarnessPoRequestPowerIrp), nullptr,
     "Wine's aborts the host; Windows builds a power IRP for the top of the stack, calls the completion "
     "function when every driver completed it, then frees it"},
    {"IoGetDeviceProperty", L"IoGetDeviceProperty", reinterpret_cast<RoutineAddress>(HarnessIoGetDeviceProperty), &WineIoGetDeviceProperty,
     "Wine's returns success without writing the buffer; the harness's PDOs answer their bus number and "
     "address as the PCI bus driver reports them, any other device object goes to Wine's"},
    {"IoBuildDeviceIoControlRequest", L"IoBuildDeviceIoControlRequest",
     reinterpret_cast<RoutineAddress>(HarnessIoBuildDeviceIoControlRequest), &WineIoBuildDeviceIoControlRequest,
     "Wine's gives a buffered request the caller's input buffer as its system buffer and never copies the "
     "answer to the output buffer (so the _DSM evaluation reads nothing); Windows copies the input into a "
     "system buffer of its own and the answer back on completion. Other methods go to Wine's"},
};

bool NameIs(const char* Import, const char* Name) {
    for (; *Import != 0 && *Import == *Name; ++Import, ++Name) {}
    return *Import == 0 && *Name == 0;
}

bool SameText(const char* A, const char* B) {
    for (; *A != 0 && *B != 0; ++A, ++B) {
        char a = *A >= 'A' && *A <= 'Z' ? static_cast<char>(*A + 32) : *A;
        char b = *B >= 'A' && *B <= 'Z' ? static_cast<char>(*B + 32) : *B;
        if (a != b) return false;
    }
    return *A == 0 && *B == 0;
}

}  // namespace

void PatchImports(PVOID ImageBase) {
    auto* base = static_cast<PUCHAR>(ImageBase);
    auto* dos = reinterpret_cast<PIMAGE_DOS_HEADER>(base);
    auto* nt = reinterpret_cast<PIMAGE_NT_HEADERS64>(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ULONG patched = 0;
    for (auto* import = reinterpret_cast<PIMAGE_IMPORT_DESCRIPTOR>(base + directory.VirtualAddress); import->Name != 0; ++import) {
        if (!SameText(reinterpret_cast<const char*>(base + import->Name), "ntoskrnl.exe")) continue;
        auto* names = reinterpret_cast<PIMAGE_THUNK_DATA64>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<PIMAGE_THUNK_DATA64>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<PIMAGE_IMPORT_BY_NAME>(base + names->u1.AddressOfData);
            for (const Replacement& replacement : Replacements) {
                if (!NameIs(reinterpret_cast<const char*>(byName->Name), replacement.Name)) continue;
                // Only a slot the loader has already bound is patched: an
                // unbound one would be overwritten with Wine's routine.
                UNICODE_STRING kernelName;
                RtlInitUnicodeString(&kernelName, replacement.KernelName);
                if (slots->u1.Function != reinterpret_cast<ULONGLONG>(MmGetSystemRoutineAddress(&kernelName))) {
                    Event("import %s of voxenpci.sys is not bound to Wine's routine yet: not replaced", replacement.Name);
                    continue;
                }
                if (replacement.Original != nullptr) *replacement.Original = reinterpret_cast<RoutineAddress>(slots->u1.Function);
                slots->u1.Function = reinterpret_cast<ULONGLONG>(replacement.Routine);
                Event("import %s of voxenpci.sys replaced: %s", replacement.Name, replacement.Why);
                ++patched;
            }
        }
    }
    Harness.Patched = patched == sizeof(Replacements) / sizeof(Replacements[0]);
}
