#include "tests/support/DriverUnderTest.h"

#include "filter/BridgeList.h"
#include "common/Roles.h"

#include <cstdlib>
#include <string>

namespace test {

void ResetDriverGlobals() { DriverGlobals = DriverGlobalsAtLoad; }

void PrepareDriverGlobals() {
    ResetDriverGlobals();
    DriverGlobals.NonPagedPoolType = ChooseNonPagedPoolType();
}

PDRIVER_OBJECT LoadDriver() {
    ResetDriverGlobals();
    return sim::LoadDriver(DriverEntry, sim::kFilterService).object;
}

namespace {

// VOXEN_TEST_MACHINES=dpc: Windows 7, the bus driver and every display
// function's driver completing from DPCs at DISPATCH_LEVEL, audio functions in
// stacks that are not pageable. What the driver does must not change.
void ApplyMachineFlavour(sim::MachineSpec* spec) {
    const char* flavour = std::getenv("VOXEN_TEST_MACHINES");
    if (flavour == nullptr || std::string(flavour) != "dpc") return;
    spec->windowsVersion = sim::WindowsVersion{6, 1, 7601};
    for (sim::PciFunctionSpec& function : spec->functions) {
        function.busDriverCompletesFromDpc = true;
        if (function.baseClass == 0x03) function.functionDriverCompletesFromDpc = true;
        if (function.baseClass == 0x04 && function.subClass == 0x03) function.pageable = false;
    }
}

}  // namespace

std::unique_ptr<sim::Machine> Build(sim::MachineSpec spec) {
    ResetDriverGlobals();
    ApplyMachineFlavour(&spec);
    return std::make_unique<sim::Machine>(std::move(spec));
}

std::unique_ptr<sim::Machine> Boot(sim::MachineSpec spec) {
    auto machine = Build(std::move(spec));
    machine->Boot(DriverEntry);
    return machine;
}

FilterDevice* FilterOf(sim::Machine& machine, const std::string& location) {
    for (PDEVICE_OBJECT device : machine.Stack(machine.Function(location)))
        if (device->DriverObject == DriverGlobals.DriverObject) return FilterFromDevice(device);
    return nullptr;
}

std::vector<FilterDevice*> Bridges() {
    std::vector<FilterDevice*> bridges;
    for (ULONG index = 0; index < DriverGlobals.BridgeCount; ++index) bridges.push_back(BridgeAt(index));
    return bridges;
}

size_t DriverDeviceCount() {
    size_t count = 0;
    if (!DriverGlobals.DriverObject) return 0;
    for (PDEVICE_OBJECT device = DriverGlobals.DriverObject->DeviceObject; device; device = device->NextDevice) ++count;
    return count;
}

}  // namespace test
