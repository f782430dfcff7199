// A simulated machine: the kernel, the PCI hardware and its bus driver, the
// simulated function drivers, and the driver under test installed as an upper
// filter on every PCI-to-PCI bridge, as its installation does on Windows.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/hw/HidBoards.h"
#include "sim/hw/PciBus.h"
#include "sim/hw/SerialPort.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/Loader.h"

namespace sim {

// A value in the driver's service key, as an installer or administrator left it.
struct RegistryValueSpec {
    std::wstring name;
    ULONG type = REG_DWORD;  // REG_DWORD or REG_SZ
    ULONG dword = 0;
    std::wstring text;
};


struct MachineSpec {
    MachineSpec() = default;
    MachineSpec(uint64_t seedValue, bool safe, std::vector<PciFunctionSpec> pci)
        : seed(seedValue), safeMode(safe ? 1 : 0), functions(std::move(pci)) {}

    uint64_t seed = 1;
    ULONG safeMode = 0;  // InitSafeBootMode: 0 normal, 1 minimal, 2 with networking, 3 directory repair
    std::vector<PciFunctionSpec> functions;
    WindowsVersion windowsVersion;
    std::string name;
    std::vector<RegistryValueSpec> registry;
    SerialSpec serial;
    std::vector<HidBoardSpec> boards;
    // Virtual time one configuration access (a dword) takes on the PCI bus.
    int64_t configAccessTime = 10;  // 1 us
    // One simulated thread at a time, or all at once; VOXEN_SCHEDULER by default.
    SchedulerMode scheduler = SchedulerModeFromEnvironment();
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
    const MachineSpec& Spec() const { return spec_; }

    // The HID boards; plugging, pulling and safely removing them.
    HidBoards& Hid() { return *hid_; }
    bool BoardPresent(const std::string& name);
    // \Device\Serial0, or null on a machine without a serial port.
    SerialPort* Serial() { return serial_; }

    // Loads the filter driver, then lets the Plug and Play manager find the
    // devices and build their stacks (the PCI bus, then the HID boards plugged
    // in at boot): LoadFilter, then EnumerateDevices.
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
    // Resources rebalanced: the function's stack is asked to stop and started again.
    void Rebalance(const std::string& location);
    // A paging file placed on the function's device (a storage device) or taken off it.
    void Paging(const std::string& location, bool inPath);
    void Settle() { kernel_.Threads().RunUntilIdle(); }
    // What the last Eject or Rebalance came to, once settled: empty when it
    // went through, else why a driver or an open file vetoed it.
    const std::string& LastVeto() const { return lastVeto_; }
    // The status of the last paging notification, once settled.
    NTSTATUS LastPagingStatus() const { return lastPaging_; }

    // The device objects of a function's stack, from its PDO up.
    std::vector<PDEVICE_OBJECT> Stack(PciFunction* function) const;

    // Removes every device stack, then returns the kernel's leak report.
    std::vector<std::string> Shutdown();

private:
    PciFunction* Require(const std::string& location);
    PDEVICE_OBJECT ParentBridgePdo(PciFunction* function);
    void SetPresent(PciFunction* function, bool present);

    MachineSpec spec_;
    Kernel kernel_;
    PciBus pci_;
    std::unique_ptr<HidBoards> hid_;
    SerialPort* serial_ = nullptr;  // a device object of the machine's own, deleted at shutdown
    LoadedDriver filter_;
    bool shutDown_ = false;
    std::string lastVeto_;
    NTSTATUS lastPaging_ = STATUS_SUCCESS;
};

// Builders for the specs machines are made of.
PciFunctionSpec RootPort(const std::string& location, uint8_t secondaryBus);
PciFunctionSpec Endpoint(const std::string& location, const std::string& name, uint8_t baseClass);

}  // namespace sim
