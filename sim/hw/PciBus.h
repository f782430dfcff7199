// The PCI bus driver: a PDO for every function it finds, answering
// configuration IRPs and the location properties; and the function driver of
// PCI-to-PCI bridges, which reports the functions on a bridge's secondary bus.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/hw/Acpi.h"
#include "sim/hw/PciFunction.h"
#include "sim/pnp/PnpManager.h"
#include "sim/pnp/SimDevice.h"

namespace sim {

class PciBus {
public:
    PciBus();
    ~PciBus();
    PciBus(const PciBus&) = delete;
    PciBus& operator=(const PciBus&) = delete;

    PciFunction* AddFunction(const PciFunctionSpec& spec);
    PciFunction* Find(const std::string& location);  // "01:00.1"
    PciFunction* FindByPdo(PDEVICE_OBJECT pdo);
    const std::vector<std::unique_ptr<PciFunction>>& Functions() const { return functions_; }
    PDRIVER_OBJECT Driver() const { return driver_; }

    // Reports the functions of bus 0 to the Plug and Play manager.
    void EnumerateRoot();
    // The bridge function driver's AddDevice ("pci").
    NTSTATUS AddBridgeFunction(PDEVICE_OBJECT pdo);

    // The power gate of every function of a device ("BUS:DEV").
    bool SwitchSlot(const std::string& slot, bool on);
    // The ACPI filter in a function's stack, or null.
    AcpiFilter* Acpi(PciFunction* function);

    // Virtual time each configuration access (one dword on the bus) takes.
    void SetConfigAccessTime(int64_t duration) { configAccessTime_ = duration; }
    int64_t ConfigAccessTime() const { return configAccessTime_; }

private:
    class Pdo;

    PDEVICE_OBJECT PdoFor(PciFunction* function);
    PnpManager::BusInfo InfoFor(PciFunction* function, PDEVICE_OBJECT pdo);
    PDEVICE_RELATIONS Children(PciFunction* bridge);

    PDRIVER_OBJECT driver_;
    PDRIVER_OBJECT acpi_;
    std::vector<std::unique_ptr<PciFunction>> functions_;
    int64_t configAccessTime_ = 0;
};

}  // namespace sim
