// The PCI bus driver: a bridge at 00:1c.0 and behind it a two-function
// endpoint, 01:00.0 (display) and 01:00.1 (audio). Each function has a
// 4096-byte configuration space; the endpoint's power is switched by the
// bridge's _DSM. Cut, the space reads all ones; back, its registers hold their
// power-on values and the function answers only after a delay, first nothing
// and then Configuration Request Retry Status, as a device still initialising.
#include "tests/wine/harness/Harness.h"

namespace {

// After power returns: all ones for 150 ms, then retry status for 100 ms.
constexpr ULONGLONG SilentAfterPowerOn = 150 * 10000ULL;
constexpr ULONGLONG RetryAfterSilence = 100 * 10000ULL;

void Set16(PciModel* Model, ULONG Offset, USHORT Value) { RtlCopyMemory(Model->Config + Offset, &Value, 2); }
void Set32(PciModel* Model, ULONG Offset, ULONG Value) { RtlCopyMemory(Model->Config + Offset, &Value, 4); }

struct FunctionSpec {
    UCHAR Bus, Device, Function;
    USHORT Vendor, DeviceId;
    UCHAR BaseClass, SubClass, HeaderType;
};

PciModel* NewModel(const FunctionSpec& Spec) {
    auto* model = static_cast<PciModel*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PciModel), HarnessTag));
    if (model == nullptr) return nullptr;
    RtlZeroMemory(model, sizeof(*model));
    KeInitializeSpinLock(&model->Lock);
    model->Bus = Spec.Bus;
    model->Device = Spec.Device;
    model->Function = Spec.Function;
    model->Powered = TRUE;
    model->PowerState = PowerDeviceD0;
    bool bridge = Spec.BaseClass == 0x06;
    Set16(model, 0x00, Spec.Vendor);
    Set16(model, 0x02, Spec.DeviceId);
    Set16(model, 0x06, 0x0010);  // status: capabilities list
    model->Config[0x08] = 0xA1;  // revision
    model->Config[0x0A] = Spec.SubClass;
    model->Config[0x0B] = Spec.BaseClass;
    model->Config[0x0E] = Spec.HeaderType;
    model->Writable[0x04] = 0xFF;
    model->Writable[0x05] = 0x07;
    for (ULONG offset = 0x10; offset < (bridge ? 0x18u : 0x28u); ++offset) model->Writable[offset] = 0xFF;
    model->Writable[0x3C] = 0xFF;
    if (bridge) {
        model->Config[0x18] = Spec.Bus;
        model->Config[0x19] = 1;
        model->Config[0x1A] = 1;
        for (ULONG offset = 0x18; offset < 0x30; ++offset) model->Writable[offset] = 0xFF;
    }
    // Capabilities: power management at 0x40, MSI at 0x50, PCI Express at 0x60;
    // an extended capability (advanced error reporting) at 0x100.
    model->Config[0x34] = 0x40;
    model->Config[0x40] = 0x01;
    model->Config[0x41] = 0x50;
    model->Config[0x50] = 0x05;
    model->Config[0x51] = 0x60;
    model->Config[0x60] = 0x10;
    model->Config[0x61] = 0x00;
    Set16(model, 0x62, bridge ? 0x0042 : 0x0002);  // root port or endpoint
    Set32(model, 0x100, 0x00010001);
    // Device-specific registers the function driver programs: a pattern in
    // the space above the capabilities, writable as a whole.
    for (ULONG offset = 0x200; offset < 0x300; ++offset) model->Writable[offset] = 0xFF;
    RtlCopyMemory(model->PowerOn, model->Config, ConfigSize);
    return model;
}

// The time in 100 ns units. Not KeQueryInterruptTime: Wine emulates each of
// its reads of the kernel's shared page through an access violation, too slow
// for every configuration access.
ULONGLONG Now() {
    LARGE_INTEGER frequency;
    ULONGLONG counter = static_cast<ULONGLONG>(KeQueryPerformanceCounter(&frequency).QuadPart);
    ULONGLONG perSecond = static_cast<ULONGLONG>(frequency.QuadPart);
    return counter / perSecond * 10000000ULL + counter % perSecond * 10000000ULL / perSecond;
}

bool Answers(PciModel* Model, ULONGLONG Now) { return Model->Powered && Now >= Model->SilentUntil; }
bool Retrying(PciModel* Model, ULONGLONG Now) { return Answers(Model, Now) && Now < Model->RetryUntil; }

void ReadModel(PciModel* Model, ULONG Offset, PUCHAR Out, ULONG Length) {
    ULONGLONG now = Now();
    KIRQL irql;
    KeAcquireSpinLock(&Model->Lock, &irql);
    if (Retrying(Model, now)) {
        for (ULONG i = 0; i < Length; ++i) Out[i] = Offset + i == 0 ? 0x01 : (Offset + i == 1 ? 0x00 : 0xFF);
        ++Model->SilentReads;
    } else {
        bool answers = Answers(Model, now);
        if (!answers && Model->Powered) ++Model->SilentReads;
        for (ULONG i = 0; i < Length; ++i)
            Out[i] = answers && Offset + i < ConfigSize ? Model->Config[Offset + i] : 0xFF;
    }
    KeReleaseSpinLock(&Model->Lock, irql);
}

void WriteModel(PciModel* Model, ULONG Offset, const UCHAR* In, ULONG Length) {
    ULONGLONG now = Now();
    KIRQL irql;
    KeAcquireSpinLock(&Model->Lock, &irql);
    if (Answers(Model, now) && !Retrying(Model, now)) {
        for (ULONG i = 0; i < Length && Offset + i < ConfigSize; ++i) {
            UCHAR mask = Model->Writable[Offset + i];
            Model->Config[Offset + i] = static_cast<UCHAR>((Model->Config[Offset + i] & ~mask) | (In[i] & mask));
        }
    }
    KeReleaseSpinLock(&Model->Lock, irql);
}

// What the endpoint's function driver leaves when it starts: base address
// registers, interrupt line, decode and bus mastering, and its own registers.
void ProgramEndpoint(PciModel* Model) {
    ULONG bars[2] = {0xC0000000u | static_cast<ULONG>(Model->Function) << 24, 0xC0800000u | static_cast<ULONG>(Model->Function) << 24};
    WriteModel(Model, 0x10, reinterpret_cast<UCHAR*>(&bars[0]), 4);
    WriteModel(Model, 0x14, reinterpret_cast<UCHAR*>(&bars[1]), 4);
    UCHAR line = static_cast<UCHAR>(0x10 + Model->Function);
    WriteModel(Model, 0x3C, &line, 1);
    for (ULONG offset = 0x200; offset < 0x300; offset += 4) {
        ULONG value = 0x5A000000u | offset << 8 | Model->Function;
        WriteModel(Model, offset, reinterpret_cast<UCHAR*>(&value), 4);
    }
    USHORT command = 0x0006;
    WriteModel(Model, 0x04, reinterpret_cast<UCHAR*>(&command), 2);
}

NTSTATUS CreatePdo(PciModel* Model, Role Kind, PDEVICE_OBJECT* Pdo) {
    NTSTATUS status = IoCreateDevice(Harness.Driver, sizeof(HarnessExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, Pdo);
    if (!NT_SUCCESS(status)) return status;
    HarnessExtension* extension = ExtensionOf(*Pdo);
    extension->Kind = Kind;
    extension->Model = Model;
    extension->Lower = nullptr;
    (*Pdo)->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    (*Pdo)->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The bridge's bus relations: both functions, each referenced for the caller.
NTSTATUS AnswerBusRelations(PIRP Irp) {
    InterlockedIncrement(&Harness.RelationsQueries);
    if (Harness.OwnRelationsQueries == 0) InterlockedIncrement(&Harness.OtherRelationsQueries);
    ULONG size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + 2 * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, HarnessTag));
    if (relations == nullptr) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = 2;
    for (ULONG i = 0; i < 2; ++i) {
        relations->Objects[i] = Harness.EndpointPdo[i];
        ObReferenceObject(Harness.EndpointPdo[i]);
    }
    Event("bus driver: bus relations of the bridge answered with 01:00.0 and 01:00.1 (%s)",
          Harness.OwnRelationsQueries ? "asked by the harness" : "asked by someone else");
    return Complete(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
}

const char* StateName(DEVICE_POWER_STATE State) {
    switch (State) {
    case PowerDeviceD0: return "D0";
    case PowerDeviceD1: return "D1";
    case PowerDeviceD2: return "D2";
    case PowerDeviceD3: return "D3";
    default: return "D?";
    }
}

NTSTATUS Power(PDEVICE_OBJECT Device, PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    HarnessExtension* extension = ExtensionOf(Device);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    if (location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
        if (location->Parameters.Power.Type == DevicePowerState) {
            DEVICE_POWER_STATE state = location->Parameters.Power.State.DeviceState;
            Event("bus driver: %s power %s for %02x:%02x.%x",
                  location->MinorFunction == IRP_MN_SET_POWER ? "set" : "query", StateName(state),
                  extension->Model->Bus, extension->Model->Device, extension->Model->Function);
            if (location->MinorFunction == IRP_MN_SET_POWER) {
                extension->Model->PowerState = state;
                PoSetPowerState(Device, DevicePowerState, location->Parameters.Power.State);
            }
        }
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Pnp(PDEVICE_OBJECT Device, PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    HarnessExtension* extension = ExtensionOf(Device);
    PciModel* model = extension->Model;
    switch (location->MinorFunction) {
    case IRP_MN_READ_CONFIG:
    case IRP_MN_WRITE_CONFIG: {
        auto& access = location->Parameters.ReadWriteConfig;
        if (access.WhichSpace != PCI_WHICHSPACE_CONFIG || access.Offset >= ConfigSize ||
            access.Length > ConfigSize - access.Offset)
            return Complete(Irp, STATUS_INVALID_PARAMETER);
        if (location->MinorFunction == IRP_MN_READ_CONFIG)
            ReadModel(model, access.Offset, static_cast<PUCHAR>(access.Buffer), access.Length);
        else
            WriteModel(model, access.Offset, static_cast<const UCHAR*>(access.Buffer), access.Length);
        return Complete(Irp, STATUS_SUCCESS, access.Length);
    }
    case IRP_MN_START_DEVICE:
        if (extension->Kind == Role::EndpointPdo) ProgramEndpoint(model);
        Event("bus driver: %02x:%02x.%x started", model->Bus, model->Device, model->Function);
        return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (location->Parameters.QueryDeviceRelations.Type == BusRelations && extension->Kind == Role::BridgePdo)
            return AnswerBusRelations(Irp);
        if (location->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), HarnessTag));
            if (relations == nullptr) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
            relations->Count = 1;
            relations->Objects[0] = Device;
            ObReferenceObject(Device);
            return Complete(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
        }
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        // The device stays present: its PDO lives until the bus no longer reports it.
        return Complete(Irp, STATUS_SUCCESS);
    default:
        break;
    }
    // What a bus driver does not handle keeps the status it came with.
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

bool IsHarnessPdo(PDEVICE_OBJECT Device) {
    if (Device == nullptr || Device->DriverObject != Harness.Driver) return false;
    Role kind = ExtensionOf(Device)->Kind;
    return kind == Role::BridgePdo || kind == Role::EndpointPdo;
}

NTSTATUS CreateBus() {
    Harness.Bridge = NewModel({0x00, 0x1C, 0x0, 0x8086, 0xA110, 0x06, 0x04, 0x01});
    Harness.Endpoint[0] = NewModel({0x01, 0x00, 0x0, 0x10DE, 0x1C8D, 0x03, 0x00, 0x80});
    Harness.Endpoint[1] = NewModel({0x01, 0x00, 0x1, 0x10DE, 0x0FB9, 0x04, 0x03, 0x80});
    if (Harness.Bridge == nullptr || Harness.Endpoint[0] == nullptr || Harness.Endpoint[1] == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = CreatePdo(Harness.Bridge, Role::BridgePdo, &Harness.BridgePdo);
    for (ULONG i = 0; i < 2 && NT_SUCCESS(status); ++i)
        status = CreatePdo(Harness.Endpoint[i], Role::EndpointPdo, &Harness.EndpointPdo[i]);
    return status;
}

void SwitchEndpointPower(bool On) {
    ULONGLONG now = Now();
    for (PciModel* model : Harness.Endpoint) {
        KIRQL irql;
        KeAcquireSpinLock(&model->Lock, &irql);
        if (model->Powered != On) {
            model->Powered = On;
            if (On) {
                RtlCopyMemory(model->Config, model->PowerOn, ConfigSize);
                model->SilentUntil = now + SilentAfterPowerOn;
                model->RetryUntil = model->SilentUntil + RetryAfterSilence;
                model->SilentReads = 0;
            } else {
                RtlFillMemory(model->Config, ConfigSize, 0xFF);
            }
        }
        KeReleaseSpinLock(&model->Lock, irql);
        Event("bus driver: %02x:%02x.%x power %s", model->Bus, model->Device, model->Function,
              On ? "restored: registers at their power-on values, silent for 150 ms, then retry status for 100 ms" : "cut: every register reads all ones");
    }
}

NTSTATUS BusDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    switch (location->MajorFunction) {
    case IRP_MJ_PNP: return Pnp(Device, Irp);
    case IRP_MJ_POWER: return Power(Device, Irp);
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    default: return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
