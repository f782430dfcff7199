#include "sim/machine/Machine.h"

#include <cstdio>
#include <unistd.h>

#include "sim/kernel/Violation.h"

namespace sim {

namespace {
const char* const kBridgeFunctionDriver = "pci";
const char* const kEndpointFunctionDriver = "function";
}  // namespace

Machine::Machine(MachineSpec spec) : spec_(std::move(spec)), kernel_(KernelConfig{spec_.seed, spec_.safeMode, spec_.windowsVersion, spec_.scheduler}) {
    for (const PciFunctionSpec& function : spec_.functions) pci_.AddFunction(function);
    pci_.SetConfigAccessTime(spec_.configAccessTime);
    std::wstring key = ServiceKeyPath(kFilterService);
    kernel_.Registry().CreateKey(key);
    for (const RegistryValueSpec& value : spec_.registry) {
        if (value.type == REG_DWORD)
            kernel_.Registry().SetDword(key, value.name, value.dword);
        else
            kernel_.Registry().SetString(key, value.name, value.text);
    }
    auto power = [this](const std::string& slot, bool on) { pci_.SwitchSlot(slot, on); };
    hid_ = std::make_unique<HidBoards>(spec_.boards, power);
    if (spec_.serial.present) serial_ = new SerialPort(spec_.serial, power);
    PnpManager& pnp = kernel_.Pnp();
    pnp.RegisterDriver(kBridgeFunctionDriver, [this](PDEVICE_OBJECT pdo) { return pci_.AddBridgeFunction(pdo); });
    PDRIVER_OBJECT functions = CreateSimDriver(L"\\Driver\\function");
    pnp.RegisterDriver(kEndpointFunctionDriver, [this, functions](PDEVICE_OBJECT pdo) {
        PciFunction* function = pci_.FindByPdo(pdo);
        if (!function) Violation("the function driver was given a PDO the PCI bus did not make");
        const PciFunctionSpec& behaviour = function->Spec();
        new FunctionDevice(functions, pdo, behaviour.storage ? FILE_DEVICE_DISK : FILE_DEVICE_UNKNOWN, {},
                           behaviour.power, behaviour.functionDriverCompletesFromDpc, behaviour.pageable,
                           behaviour.storage);
        return STATUS_SUCCESS;
    });
    pnp.SetAssignment([this](PDEVICE_OBJECT pdo, std::string* functionDriver, std::vector<std::string>* filters) {
        PciFunction* function = pci_.FindByPdo(pdo);
        // A HID board's collection runs raw: no driver is loaded above its PDO.
        if (!function) return;
        bool bridge = function->Spec().IsBridge();
        *functionDriver = bridge ? kBridgeFunctionDriver : kEndpointFunctionDriver;
        if (bridge && filter_.object) filters->push_back(ToNarrow(kFilterService));
    });
}

Machine::~Machine() {
    if (shutDown_) return;
    std::vector<std::string> leaks = Shutdown();
    if (leaks.empty()) return;
    fflush(stdout);
    fprintf(stderr, "*** leak report at shutdown:\n");
    for (auto& line : leaks) fprintf(stderr, "  %s\n", line.c_str());
    fflush(stderr);
    _exit(kViolationExitCode);
}

NTSTATUS Machine::Boot(PDRIVER_INITIALIZE filterEntry) {
    NTSTATUS status = LoadFilter(filterEntry);
    EnumerateDevices();
    return status;
}

NTSTATUS Machine::LoadFilter(PDRIVER_INITIALIZE filterEntry) {
    filter_ = LoadDriver(filterEntry, kFilterService);
    if (NT_SUCCESS(filter_.status))
        kernel_.Pnp().RegisterDriver(ToNarrow(kFilterService), filter_.object);
    else
        filter_.object = nullptr;  // a driver whose entry failed is unloaded
    return filter_.status;
}

void Machine::EnumerateDevices() {
    pci_.EnumerateRoot();
    for (const HidBoardSpec& board : spec_.boards)
        if (board.presentAtBoot) hid_->Plug(board.name);
    kernel_.Threads().RunUntilIdle();
}

bool Machine::BoardPresent(const std::string& name) {
    HidBoards::Board* board = hid_->Find(name);
    return board && board->present;
}

PciFunction* Machine::Require(const std::string& location) {
    PciFunction* function = pci_.Find(location);
    if (!function) Violation("the machine has no PCI function at %s", location.c_str());
    return function;
}

PDEVICE_OBJECT Machine::ParentBridgePdo(PciFunction* function) {
    for (auto& candidate : pci_.Functions())
        if (candidate->Spec().IsBridge() && candidate->Spec().secondaryBus == function->Location().bus) return candidate->pdo;
    return nullptr;  // on the root bus
}

void Machine::SetPresent(PciFunction* function, bool present) {
    function->present = present;
    // Behind a bridge, its bus rescan finds the change; on the root bus the
    // manager learns of it directly.
    if (PDEVICE_OBJECT bridge = ParentBridgePdo(function)) {
        IoInvalidateDeviceRelations(bridge, BusRelations);
    } else if (present) {
        kernel_.Pnp().Queue([this] { pci_.EnumerateRoot(); });
    } else {
        kernel_.Pnp().Queue([this, function] {
            if (auto* node = kernel_.Pnp().FindByPdo(function->pdo)) kernel_.Pnp().SurpriseRemove(node);
        });
    }
}

void Machine::Unplug(const std::string& location) { SetPresent(Require(location), false); }

void Machine::Eject(const std::string& location) {
    PciFunction* function = Require(location);
    lastVeto_.clear();
    kernel_.Pnp().Queue([this, function] {
        auto* node = kernel_.Pnp().FindByPdo(function->pdo);
        if (!node) return;
        PnpManager::Outcome outcome = kernel_.Pnp().Remove(node);
        // A vetoed removal leaves the device where it was.
        if (outcome.done)
            function->present = false;
        else
            lastVeto_ = outcome.veto;
    });
}

void Machine::Rebalance(const std::string& location) {
    PciFunction* function = Require(location);
    lastVeto_.clear();
    kernel_.Pnp().Queue([this, function] {
        if (auto* node = kernel_.Pnp().FindByPdo(function->pdo)) lastVeto_ = kernel_.Pnp().Rebalance(node).veto;
    });
}

void Machine::Paging(const std::string& location, bool inPath) {
    PciFunction* function = Require(location);
    lastPaging_ = STATUS_NO_SUCH_DEVICE;
    kernel_.Pnp().Queue([this, function, inPath] {
        if (auto* node = kernel_.Pnp().FindByPdo(function->pdo)) lastPaging_ = kernel_.Pnp().Paging(node, inPath);
    });
}

void Machine::Plug(const std::string& location) { SetPresent(Require(location), true); }

void Machine::Rescan(const std::string& bridgeLocation) {
    PciFunction* bridge = Require(bridgeLocation);
    if (bridge->pdo) IoInvalidateDeviceRelations(bridge->pdo, BusRelations);
}

std::vector<PDEVICE_OBJECT> Machine::Stack(PciFunction* function) const {
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT device = function ? function->pdo : nullptr; device; device = device->AttachedDevice)
        stack.push_back(device);
    return stack;
}

std::vector<std::string> Machine::Shutdown() {
    if (!shutDown_) {
        shutDown_ = true;
        kernel_.Pnp().RemoveAll();
        kernel_.Threads().RunUntilIdle();  // notifications of the removals are delivered
        if (serial_) {
            serial_->Delete();
            delete serial_;
            serial_ = nullptr;
        }
    }
    return kernel_.Shutdown();
}

namespace {
PciLocation RequireLocation(const std::string& text) {
    PciLocation location;
    if (!ParseLocation(text, &location))
        Violation("'%s' is not a PCI location (BUS:DEV.FN in hexadecimal)", text.c_str());
    return location;
}
}  // namespace

PciFunctionSpec RootPort(const std::string& location, uint8_t secondaryBus) {
    PciFunctionSpec spec;
    spec.name = "PCI Express root port";
    spec.location = RequireLocation(location);
    spec.vendorId = 0x8086;
    spec.deviceId = 0xA110;
    spec.baseClass = 0x06;
    spec.subClass = 0x04;
    spec.secondaryBus = secondaryBus;
    spec.capabilities = {0x05, 0x01};  // MSI and power management before the PCI Express capability
    return spec;
}

PciFunctionSpec Endpoint(const std::string& location, const std::string& name, uint8_t baseClass) {
    PciFunctionSpec spec;
    spec.name = name;
    spec.location = RequireLocation(location);
    spec.baseClass = baseClass;
    spec.capabilities = {0x01, 0x05};
    return spec;
}

}  // namespace sim
