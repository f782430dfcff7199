// A simulated machine: the kernel, the PCI hardware and its bus driver, the
// simulated function drivers, and the driver under test installed as an upper
// filter on every PCI-to-PCI bridge, as its installation does on Windows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/hw/PciBus.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/Loader.h"

namespace sim {

struct MachineSpec {
    uint64_t seed = 1;
    bool safeMode = false;
    std::vector<PciFunctionSpec> functions;
};

// The service name the filter is installed under.
constexpr const wchar_t* kFilterService = L"VoxenPCI";

class Machine {
public:
    explicit Machine(MachineSpec spec);
    // Shuts down if Shutdown() was not called; leaks then stop the program.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    Kernel& Os() { return kernel_; }
    PciBus& Pci() { return pci_; }
    PciFunction* Function(const std::string& location) { return pci_.Find(location); }

    // Loads the filter driver, then lets the Plug and Play manager find the
    // devices and build their stacks: LoadFilter, then EnumerateDevices.
    NTSTATUS Boot(PDRIVER_INITIALIZE filterEntry);
    NTSTATUS LoadFilter(PDRIVER_INITIALIZE filterEntry);
    void EnumerateDevices();
    PDRIVER_OBJECT Filter() const { return filter_.object; }

    // Hot-plug, each carried out by the Plug and Play manager's thread; Settle
    // lets it finish. Unplug pulls the function out (surprise removal); Eject
    // removes it in order first, as a user's safe removal does; Plug puts it
    // back; Rescan asks its bridge for bus relations again.
    void Unplug(const std::string& location);
    void Eject(const std::string& location);
    void Plug(const std::string& location);
    void Rescan(const std::string& bridgeLocation);
    void Settle() { kernel_.Threads().RunUntilIdle(); }

    // The device objects of a function's stack, from its PDO up.
    std::vector<PDEVICE_OBJECT> Stack(PciFunction* function) const;

    // Removes every device stack, then returns the kernel's leak report.
    std::vector<std::string> Shutdown();

private:
    PciFunction* Require(const std::string& location);
    PDEVICE_OBJECT ParentBridgePdo(PciFunction* function);

    Kernel kernel_;
    PciBus pci_;
    LoadedDriver filter_;
    bool shutDown_ = false;
};

// Builders for the specs machines are made of.
PciFunctionSpec RootPort(const std::string& location, uint8_t secondaryBus);
PciFunctionSpec Endpoint(const std::string& location, const std::string& name, uint8_t baseClass);
PciLocation ParseLocation(const std::string& text);

}  // namespace sim
