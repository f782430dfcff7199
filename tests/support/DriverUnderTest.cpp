#include "tests/support/DriverUnderTest.h"

#include "driver/Bridges.h"
#include "driver/Roles.h"

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

std::unique_ptr<sim::Machine> Boot(sim::MachineSpec spec) {
    ResetDriverGlobals();
    auto machine = std::make_unique<sim::Machine>(std::move(spec));
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
