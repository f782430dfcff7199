// The Plug and Play manager's part: loads voxenpci.sys, calls its AddDevice
// for the bridge as Windows does for a System-class device with voxenpci as
// an upper filter, starts the stacks, asks for the bridge's bus relations,
// and serves the test's requests (left in the service key) until removal.
#include <stdio.h>

#include "tests/wine/harness/Harness.h"

HarnessState Harness;

namespace {

IO_COMPLETION_ROUTINE PnpIrpDone;

NTSTATUS PnpIrpDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A Plug and Play IRP to the top of the stack `Pdo` is in, waited for.
NTSTATUS SendPnp(PDEVICE_OBJECT Pdo, UCHAR Minor, DEVICE_RELATION_TYPE Type, ULONG_PTR* Information) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // Plug and Play IRPs start unanswered
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = Minor;
    if (Minor == IRP_MN_QUERY_DEVICE_RELATIONS) next->Parameters.QueryDeviceRelations.Type = Type;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, PnpIrpDone, &event, TRUE, TRUE, TRUE);
    // The completion routine signals in either case: pended or not, the IRP is ours once it ran.
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (Information != nullptr) *Information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

// The bridge's bus relations, asked by the harness; the list is freed here.
NTSTATUS QueryBusRelations() {
    InterlockedIncrement(&Harness.OwnRelationsQueries);
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnp(Harness.BridgePdo, IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations, &information);
    InterlockedDecrement(&Harness.OwnRelationsQueries);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    if (NT_SUCCESS(status) && relations != nullptr) {
        for (ULONG i = 0; i < relations->Count; ++i) ObDereferenceObject(relations->Objects[i]);
        ExFreePool(relations);
    }
    Event("Plug and Play manager: bus relations of the bridge: 0x%08lX", static_cast<ULONG>(status));
    return status;
}

// voxenpci's device object in the stack above `Pdo`, if any.
bool Filtered(PDEVICE_OBJECT Pdo) {
    for (PDEVICE_OBJECT device = Pdo->AttachedDevice; device != nullptr; device = device->AttachedDevice)
        if (device->DriverObject == Harness.Voxen) return true;
    return false;
}

void ReportStacks() {
    ReportString(L"BridgeFilter", Filtered(Harness.BridgePdo) ? "voxenpci" : "none");
    ReportString(L"Child0Filter", Filtered(Harness.EndpointPdo[0]) ? "voxenpci" : "none");
    ReportString(L"Child1Filter", Filtered(Harness.EndpointPdo[1]) ? "voxenpci" : "none");
}

void Snapshot(PCWSTR Name0, PCWSTR Name1, bool PowerOnValues) {
    PCWSTR names[2] = {Name0, Name1};
    auto* copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, ConfigSize, HarnessTag));
    if (copy == nullptr) return;
    for (ULONG i = 0; i < 2; ++i) {
        PciModel* model = Harness.Endpoint[i];
        KIRQL irql;
        KeAcquireSpinLock(&model->Lock, &irql);
        RtlCopyMemory(copy, PowerOnValues ? model->PowerOn : model->Config, ConfigSize);
        KeReleaseSpinLock(&model->Lock, irql);
        ReportBinary(names[i], copy, ConfigSize);
    }
    ExFreePoolWithTag(copy, HarnessTag);
}

void ReportCounters() {
    ReportDword(L"RelationsQueries", static_cast<ULONG>(Harness.RelationsQueries));
    ReportDword(L"OtherRelationsQueries", static_cast<ULONG>(Harness.OtherRelationsQueries));
    ReportDword(L"SilentReads0", Harness.Endpoint[0]->SilentReads);
    ReportDword(L"SilentReads1", Harness.Endpoint[1]->SilentReads);
    ReportDword(L"Powered", Harness.Endpoint[0]->Powered);
    FlushEvents();
}

// Orderly removal, children first, as the Plug and Play manager removes a subtree.
void RemoveAll(char* Reply, ULONG Size) {
    NTSTATUS child[2], bridge;
    for (ULONG i = 0; i < 2; ++i) {
        SendPnp(Harness.EndpointPdo[i], IRP_MN_QUERY_REMOVE_DEVICE, BusRelations, nullptr);
        child[i] = SendPnp(Harness.EndpointPdo[i], IRP_MN_REMOVE_DEVICE, BusRelations, nullptr);
    }
    SendPnp(Harness.BridgePdo, IRP_MN_QUERY_REMOVE_DEVICE, BusRelations, nullptr);
    bridge = SendPnp(Harness.BridgePdo, IRP_MN_REMOVE_DEVICE, BusRelations, nullptr);
    _snprintf(Reply, Size, "removed 0x%08lX 0x%08lX 0x%08lX; left above the PDOs: %s %s %s", static_cast<ULONG>(child[0]),
              static_cast<ULONG>(child[1]), static_cast<ULONG>(bridge),
              Harness.EndpointPdo[0]->AttachedDevice ? "something" : "nothing",
              Harness.EndpointPdo[1]->AttachedDevice ? "something" : "nothing",
              Harness.BridgePdo->AttachedDevice ? "something" : "nothing");
    Reply[Size - 1] = 0;
    Event("Plug and Play manager: %s", Reply);
}

void Serve() {
    char request[64], reply[256];
    for (;;) {
        LARGE_INTEGER interval;
        interval.QuadPart = -50 * 10000LL;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        if (!TakeRequest(request, sizeof(request))) continue;
        reply[0] = 0;
        if (strcmp(request, "relations") == 0) {
            _snprintf(reply, sizeof(reply), "0x%08lX", static_cast<ULONG>(QueryBusRelations()));
        } else if (strcmp(request, "snapshot") == 0) {
            Snapshot(L"ConfigAfter0", L"ConfigAfter1", false);
            Snapshot(L"ConfigAtPowerOn0", L"ConfigAtPowerOn1", true);
            strcpy(reply, "done");
        } else if (strcmp(request, "remove") == 0) {
            RemoveAll(reply, sizeof(reply));
        } else if (strcmp(request, "report") == 0) {
            strcpy(reply, "done");
        } else {
            _snprintf(reply, sizeof(reply), "unknown request '%s'", request);
        }
        reply[sizeof(reply) - 1] = 0;
        ReportStacks();
        ReportCounters();
        ReportString(L"Reply", reply);
        FinishRequest();
    }
}

VOID ImageLoaded(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo);

void SetUp() {
    NTSTATUS status = CreateBus();
    if (!NT_SUCCESS(status)) {
        Event("the bus could not be made: 0x%08lX", static_cast<ULONG>(status));
        return;
    }
    PDEVICE_OBJECT acpi = nullptr;
    status = IoCreateDevice(Harness.Driver, sizeof(HarnessExtension), nullptr, FILE_DEVICE_ACPI, 0, FALSE, &acpi);
    if (!NT_SUCCESS(status)) return;
    ExtensionOf(acpi)->Kind = Role::AcpiFilter;
    ExtensionOf(acpi)->Model = nullptr;
    ExtensionOf(acpi)->Lower = IoAttachDeviceToDeviceStack(acpi, Harness.BridgePdo);
    acpi->Flags |= ExtensionOf(acpi)->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    acpi->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    Harness.AcpiFilter = acpi;

    UNICODE_STRING service;
    RtlInitUnicodeString(&service, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\voxenpci");
    status = ZwLoadDriver(&service);
    PsRemoveLoadImageNotifyRoutine(ImageLoaded);
    Event("Plug and Play manager: ZwLoadDriver voxenpci: 0x%08lX", static_cast<ULONG>(status));
    if (!NT_SUCCESS(status)) return;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Driver\\voxenpci");
    PVOID object = nullptr;
    status = ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, nullptr, 0, *IoDriverObjectType, KernelMode, nullptr, &object);
    if (!NT_SUCCESS(status)) {
        Event("Plug and Play manager: no \\Driver\\voxenpci: 0x%08lX", static_cast<ULONG>(status));
        return;
    }
    Harness.Voxen = static_cast<PDRIVER_OBJECT>(object);
    if (!Harness.Patched) {
        Event("Plug and Play manager: voxenpci's imports were not replaced; its stacks are not built");
        return;
    }

    // The bridge: AddDevice with the bridge's PDO (the ACPI filter already on
    // it), then the stack started and asked for the devices behind the bridge.
    status = Harness.Voxen->DriverExtension->AddDevice(Harness.Voxen, Harness.BridgePdo);
    Event("Plug and Play manager: voxenpci AddDevice for the bridge: 0x%08lX, %s", static_cast<ULONG>(status),
          Filtered(Harness.BridgePdo) ? "a filter attached" : "no filter");
    Event("Plug and Play manager: start of the bridge: 0x%08lX",
          static_cast<ULONG>(SendPnp(Harness.BridgePdo, IRP_MN_START_DEVICE, BusRelations, nullptr)));
    QueryBusRelations();
    for (ULONG i = 0; i < 2; ++i)
        Event("Plug and Play manager: start of 01:00.%lu: 0x%08lX", i,
              static_cast<ULONG>(SendPnp(Harness.EndpointPdo[i], IRP_MN_START_DEVICE, BusRelations, nullptr)));
    Snapshot(L"ConfigBefore0", L"ConfigBefore1", false);
}

KSTART_ROUTINE PnpManagerThread;

VOID PnpManagerThread(PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    SetUp();
    ReportStacks();
    ReportCounters();
    // "Ready" takes the boot number the test left in "Boot": a value from an
    // earlier boot is never mistaken for this one's.
    ReportDword(L"Ready", ReadDword(L"Boot"));
    if (Harness.Voxen != nullptr && Harness.Patched) Serve();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Called by Wine's loader for every image mapped, before its entry point:
// voxenpci's imports are bound by then and not yet used.
VOID ImageLoaded(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo) {
    UNREFERENCED_PARAMETER(ProcessId);
    static const WCHAR tail[] = L"voxenpci.sys";
    constexpr USHORT tailLength = sizeof(tail) / sizeof(WCHAR) - 1;
    if (FullImageName == nullptr || FullImageName->Length / sizeof(WCHAR) < tailLength) return;
    PCWSTR end = FullImageName->Buffer + FullImageName->Length / sizeof(WCHAR) - tailLength;
    for (USHORT i = 0; i < tailLength; ++i) {
        WCHAR c = end[i] >= L'A' && end[i] <= L'Z' ? static_cast<WCHAR>(end[i] + 32) : end[i];
        if (c != tail[i]) return;
    }
    Event("load-image notification for voxenpci.sys at %p", ImageInfo->ImageBase);
    PatchImports(ImageInfo->ImageBase);
}

DRIVER_DISPATCH Dispatch;

NTSTATUS Dispatch(PDEVICE_OBJECT Device, PIRP Irp) {
    if (ExtensionOf(Device)->Kind == Role::AcpiFilter) return AcpiDispatch(Device, Irp);
    return BusDispatch(Device, Irp);
}

}  // namespace

NTSTATUS StartPnpManager() {
    NTSTATUS status = PsSetLoadImageNotifyRoutine(ImageLoaded);
    if (!NT_SUCCESS(status)) return status;
    HANDLE thread = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    status = PsCreateSystemThread(&thread, GENERIC_ALL, &attributes, nullptr, nullptr, PnpManagerThread, nullptr);
    if (!NT_SUCCESS(status)) {
        PsRemoveLoadImageNotifyRoutine(ImageLoaded);
        return status;
    }
    ZwClose(thread);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    Harness.Driver = DriverObject;
    KeInitializeSpinLock(&Harness.EventsLock);
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, RegistryPath->Length + sizeof(WCHAR), HarnessTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, RegistryPath->Buffer, RegistryPath->Length);
    Harness.ServiceKey.Buffer = buffer;
    Harness.ServiceKey.Length = RegistryPath->Length;
    Harness.ServiceKey.MaximumLength = RegistryPath->Length + sizeof(WCHAR);
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) DriverObject->MajorFunction[major] = Dispatch;
    return StartPnpManager();
}
