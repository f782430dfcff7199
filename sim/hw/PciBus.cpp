#include "sim/hw/PciBus.h"

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

namespace {
constexpr ULONG kRelationsTag = MakeTag("PciR");
constexpr ULONG kIdTag = MakeTag("PciI");

// An ID string, or a list of them ending in an empty one, in paged pool: the
// Plug and Play manager frees it.
PWCHAR IdBuffer(const std::vector<std::wstring>& strings, bool list) {
    size_t characters = list ? 1 : 0;
    for (const std::wstring& one : strings) characters += one.size() + 1;
    auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, characters * sizeof(WCHAR), kIdTag));
    if (!buffer) return nullptr;
    PWCHAR at = buffer;
    for (const std::wstring& one : strings) {
        one.copy(at, one.size());
        at += one.size();
        *at++ = 0;
    }
    if (list) *at = 0;
    return buffer;
}
}  // namespace

class PciBus::Pdo : public SimDevice {
public:
    Pdo(PciBus* bus, PciFunction* function) : bus_(bus), function_(function) {}

    NTSTATUS Dispatch(PIRP irp) override {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        switch (location->MajorFunction) {
        case IRP_MJ_PNP: return DispatchPnp(irp, location);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            if (location->MinorFunction == IRP_MN_SET_POWER && location->Parameters.Power.Type == DevicePowerState)
                function_->powerState = location->Parameters.Power.State.DeviceState;
            if (location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER)
                return Finish(irp, STATUS_SUCCESS);
            return FinishUnchanged(irp);
        default: return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
        }
    }

private:
    // Straight away, or from a DPC when the machine says this bus driver does so.
    NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
        return function_->Spec().busDriverCompletesFromDpc ? CompleteFromDpc(irp, status, information)
                                                           : Complete(irp, status, information);
    }
    NTSTATUS FinishUnchanged(PIRP irp) {
        return function_->Spec().busDriverCompletesFromDpc ? CompleteUnchangedFromDpc(irp) : CompleteUnchanged(irp);
    }

    NTSTATUS DispatchPnp(PIRP irp, PIO_STACK_LOCATION location) {
        switch (location->MinorFunction) {
        case IRP_MN_READ_CONFIG:
        case IRP_MN_WRITE_CONFIG: {
            auto& access = location->Parameters.ReadWriteConfig;
            if (function_->Spec().failConfigRequests) return Finish(irp, STATUS_UNSUCCESSFUL);
            if (access.WhichSpace != PCI_WHICHSPACE_CONFIG) return Finish(irp, STATUS_INVALID_PARAMETER);
            if (location->MinorFunction == IRP_MN_READ_CONFIG)
                function_->Read(access.Offset, access.Buffer, access.Length);
            else
                function_->Write(access.Offset, access.Buffer, access.Length);
            // The bus moves whole dwords: each one the request touches is an access.
            if (access.Length > 0) {
                int64_t dwords = (static_cast<int64_t>(access.Offset) + access.Length - 1) / 4 - access.Offset / 4 + 1;
                Kernel::Current().Threads().Spend(dwords * bus_->ConfigAccessTime());
            }
            return Finish(irp, STATUS_SUCCESS, access.Length);
        }
        case IRP_MN_QUERY_ID: return QueryId(irp, location->Parameters.QueryId.IdType);
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES capabilities = location->Parameters.DeviceCapabilities.Capabilities;
            capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state)
                capabilities->DeviceState[state] = PowerDeviceD3;
            capabilities->Address = static_cast<ULONG>(function_->Location().device) << 16 | function_->Location().function;
            capabilities->UINumber = function_->Location().device;
            capabilities->SurpriseRemovalOK = FALSE;
            capabilities->Removable = FALSE;
            return Finish(irp, STATUS_SUCCESS);
        }
        case IRP_MN_DEVICE_USAGE_NOTIFICATION: {
            // In the paging path the PDO takes its power IRPs at DISPATCH_LEVEL.
            auto& usage = location->Parameters.UsageNotification;
            if (usage.Type == DeviceUsageTypePaging) {
                pagingFiles_ += usage.InPath ? 1 : -1;
                if (pagingFiles_ > 0)
                    device->Flags &= ~static_cast<ULONG>(DO_POWER_PAGABLE);
                else if (function_->Spec().pageable)
                    device->Flags |= DO_POWER_PAGABLE;
            }
            return Finish(irp, STATUS_SUCCESS);
        }
        case IRP_MN_SURPRISE_REMOVAL:
            gone = true;  // a function plugged in again gets a new PDO
            return Finish(irp, STATUS_SUCCESS);
        case IRP_MN_START_DEVICE:
            // The resources the Plug and Play manager assigned go into the
            // device's registers as the bus driver starts it.
            function_->AssignResources();
            return Finish(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE: return Finish(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (location->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                PDEVICE_RELATIONS relations = TargetRelationOf(device, kRelationsTag);
                if (!relations) return Finish(irp, STATUS_INSUFFICIENT_RESOURCES);
                return Finish(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
            }
            return FinishUnchanged(irp);
        default: return FinishUnchanged(irp);
        }
    }

    NTSTATUS QueryId(PIRP irp, BUS_QUERY_ID_TYPE type) {
        const PciFunctionSpec& spec = function_->Spec();
        std::wstring device = ToWide(Format("PCI\\VEN_%04X&DEV_%04X", spec.vendorId, spec.deviceId));
        std::wstring withClass = ToWide(Format("PCI\\VEN_%04X&DEV_%04X&CC_%02X%02X", spec.vendorId, spec.deviceId,
                                               spec.baseClass, spec.subClass));
        PWCHAR buffer = nullptr;
        switch (type) {
        case BusQueryDeviceID: buffer = IdBuffer({device}, false); break;
        case BusQueryInstanceID:
            buffer = IdBuffer({ToWide(Format("%02X&%02X&%X", function_->Location().bus, function_->Location().device,
                                             function_->Location().function))},
                              false);
            break;
        case BusQueryHardwareIDs: buffer = IdBuffer({device, withClass}, true); break;
        case BusQueryCompatibleIDs:
            buffer = IdBuffer({ToWide(Format("PCI\\CC_%02X%02X", spec.baseClass, spec.subClass))}, true);
            break;
        default: return FinishUnchanged(irp);
        }
        if (!buffer) return Finish(irp, STATUS_INSUFFICIENT_RESOURCES);
        return Finish(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(buffer));
    }

    PciBus* bus_;
    PciFunction* function_;
    int pagingFiles_ = 0;

public:
    bool gone = false;  // surprise-removed: its function no longer has it
};

PciBus::PciBus() : driver_(CreateSimDriver(L"\\Driver\\pci")), acpi_(CreateSimDriver(L"\\Driver\\ACPI")) {}

PciBus::~PciBus() = default;

PciFunction* PciBus::AddFunction(const PciFunctionSpec& spec) {
    if (Find(spec.location.Text())) Violation("two PCI functions at %s", spec.location.Text().c_str());
    functions_.push_back(std::make_unique<PciFunction>(spec));
    return functions_.back().get();
}

PciFunction* PciBus::Find(const std::string& location) {
    for (auto& function : functions_)
        if (function->Location().Text() == location) return function.get();
    return nullptr;
}

PciFunction* PciBus::FindByPdo(PDEVICE_OBJECT pdo) {
    for (auto& function : functions_)
        if (function->pdo == pdo) return function.get();
    return nullptr;
}

PDEVICE_OBJECT PciBus::PdoFor(PciFunction* function) {
    if (function->pdo && !static_cast<Pdo*>(*static_cast<SimDevice**>(function->pdo->DeviceExtension))->gone) return function->pdo;
    auto* owner = new Pdo(this, function);
    PDEVICE_OBJECT pdo = CreateSimDevice(driver_, owner, FILE_DEVICE_CONTROLLER, FILE_AUTOGENERATED_DEVICE_NAME);
    // Like the PDOs of Windows's PCI bus driver, pageable unless the device's
    // stack must not be (it may be in the paging path).
    if (function->Spec().pageable) pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    function->pdo = pdo;
    // A bridge whose firmware object has the _DSM method gets the ACPI
    // driver's filter as the bus reports it, below any function driver.
    if (function->Spec().dsm.present) {
        uint8_t secondary = function->Spec().secondaryBus;
        new AcpiFilter(acpi_, pdo, function->Spec().dsm, [this, secondary](bool on) {
            for (auto& candidate : functions_)
                if (candidate->Spec().powerSwitch == "dsm" && candidate->Location().bus == secondary)
                    candidate->SwitchPower(on);
        });
    }
    Kernel::Current().Pnp().Announce(pdo, InfoFor(function, pdo));
    return pdo;
}

PnpManager::BusInfo PciBus::InfoFor(PciFunction* function, PDEVICE_OBJECT pdo) {
    PnpManager::BusInfo info;
    info.name = function->Location().Text() + " " + function->Spec().name;
    info.property = [function](DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer, PULONG result) {
        if (function->Spec().failProperties) return STATUS_UNSUCCESSFUL;
        ULONG value;
        switch (property) {
        case DevicePropertyBusNumber: value = function->Location().bus; break;
        case DevicePropertyAddress:
            value = static_cast<ULONG>(function->Location().device) << 16 | function->Location().function;
            break;
        default: return STATUS_INVALID_PARAMETER_2;
        }
        *result = sizeof(value);
        if (length < sizeof(value)) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(buffer, &value, sizeof(value));
        return STATUS_SUCCESS;
    };
    info.release = [function, pdo] {
        auto* owner = *static_cast<SimDevice**>(pdo->DeviceExtension);
        IoDeleteDevice(pdo);
        delete owner;
        if (function->pdo == pdo) function->pdo = nullptr;
    };
    return info;
}

void PciBus::EnumerateRoot() {
    for (auto& function : functions_) {
        if (function->Location().bus != 0 || !function->present) continue;
        if (function->pdo && !static_cast<Pdo*>(*static_cast<SimDevice**>(function->pdo->DeviceExtension))->gone) continue;
        PDEVICE_OBJECT pdo = PdoFor(function.get());
        Kernel::Current().Pnp().AddDevice(pdo, nullptr);
    }
}

PDEVICE_RELATIONS PciBus::Children(PciFunction* bridge) {
    std::vector<PciFunction*> children;
    for (auto& function : functions_)
        if (function->present && function->Location().bus == bridge->Spec().secondaryBus && function.get() != bridge)
            children.push_back(function.get());
    size_t bytes = sizeof(DEVICE_RELATIONS) + (children.empty() ? 0 : children.size() - 1) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, kRelationsTag));
    if (!relations) return nullptr;
    relations->Count = static_cast<ULONG>(children.size());
    for (size_t i = 0; i < children.size(); ++i) {
        relations->Objects[i] = PdoFor(children[i]);
        ObfReferenceObject(relations->Objects[i]);
    }
    return relations;
}

bool PciBus::SwitchSlot(const std::string& slot, bool on) {
    bool found = false;
    for (auto& function : functions_) {
        const PciLocation& at = function->Location();
        if (Format("%02x:%02x", at.bus, at.device) != slot) continue;
        function->SwitchPower(on);
        found = true;
    }
    return found;
}

AcpiFilter* PciBus::Acpi(PciFunction* function) {
    for (PDEVICE_OBJECT device = function->pdo ? function->pdo->AttachedDevice : nullptr; device;
         device = device->AttachedDevice)
        if (device->DriverObject == acpi_) return static_cast<AcpiFilter*>(*static_cast<SimDevice**>(device->DeviceExtension));
    return nullptr;
}

NTSTATUS PciBus::AddBridgeFunction(PDEVICE_OBJECT pdo) {
    PciFunction* bridge = FindByPdo(pdo);
    if (!bridge) Violation("the bridge function driver was given a PDO the PCI bus did not make");
    new FunctionDevice(driver_, pdo, FILE_DEVICE_BUS_EXTENDER, [this, bridge] { return Children(bridge); },
                       bridge->Spec().power, bridge->Spec().functionDriverCompletesFromDpc, bridge->Spec().pageable);
    return STATUS_SUCCESS;
}

}  // namespace sim
