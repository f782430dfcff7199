#include "sim/hw/PciBus.h"

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

namespace {
constexpr ULONG kRelationsTag = MakeTag("PciR");
}

class PciBus::Pdo : public SimDevice {
public:
    explicit Pdo(PciFunction* function) : function_(function) {}

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
            return Finish(irp, STATUS_SUCCESS, access.Length);
        }
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE: return Finish(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (location->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                auto* relations = static_cast<PDEVICE_RELATIONS>(
                    ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kRelationsTag));
                if (!relations) return Finish(irp, STATUS_INSUFFICIENT_RESOURCES);
                relations->Count = 1;
                relations->Objects[0] = device;
                ObfReferenceObject(device);
                return Finish(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
            }
            return FinishUnchanged(irp);
        default: return FinishUnchanged(irp);
        }
    }

    PciFunction* function_;
};

PciBus::PciBus() : driver_(CreateSimDriver(L"\\Driver\\pci")) {}

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
    if (function->pdo) return function->pdo;
    auto* owner = new Pdo(function);
    PDEVICE_OBJECT pdo = CreateSimDevice(driver_, owner, FILE_DEVICE_CONTROLLER);
    // Like the PDOs of Windows's PCI bus driver, pageable unless the device's
    // stack must not be (it may be in the paging path).
    if (function->Spec().pageable) pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    function->pdo = pdo;
    Kernel::Current().Pnp().Announce(pdo, InfoFor(function));
    return pdo;
}

PnpManager::BusInfo PciBus::InfoFor(PciFunction* function) {
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
    info.release = [function] {
        PDEVICE_OBJECT pdo = function->pdo;
        auto* owner = *static_cast<SimDevice**>(pdo->DeviceExtension);
        IoDeleteDevice(pdo);
        delete owner;
        function->pdo = nullptr;
    };
    return info;
}

void PciBus::EnumerateRoot() {
    for (auto& function : functions_) {
        if (function->Location().bus != 0 || function->pdo || !function->present) continue;
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

NTSTATUS PciBus::AddBridgeFunction(PDEVICE_OBJECT pdo) {
    PciFunction* bridge = FindByPdo(pdo);
    if (!bridge) Violation("the bridge function driver was given a PDO the PCI bus did not make");
    new FunctionDevice(driver_, pdo, FILE_DEVICE_BUS_EXTENDER, [this, bridge] { return Children(bridge); },
                       bridge->Spec().power, bridge->Spec().functionDriverCompletesFromDpc, bridge->Spec().pageable);
    return STATUS_SUCCESS;
}

}  // namespace sim
