// One PCI function: its 4096-byte configuration space, which bytes software
// may write, its location on the bus, and the PDO the PCI bus driver made for it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/ddk/wdm.h"

namespace sim {

struct PciLocation {
    uint8_t bus = 0;
    uint16_t device = 0;
    uint16_t function = 0;
    std::string Text() const;  // "01:00.1", as lspci writes it
};

// Reads "BUS:DEV.FN" in hexadecimal, as lspci writes it; false when it is not one.
bool ParseLocation(const std::string& text, PciLocation* location);

// How the function driver above a device's PDO treats power IRPs.
struct PowerBehavior {
    enum class Completion {
        PassDown,  // to the bus driver, which completes them with success
        AtOnce,    // completed by the function driver with success
        Later,     // pended, completed with success from another thread after `delay`
        Fail,      // completed with `failStatus`
    };
    Completion completion = Completion::PassDown;
    NTSTATUS failStatus = STATUS_UNSUCCESSFUL;
    bool refuseQuery = false;  // a query-power IRP fails with STATUS_UNSUCCESSFUL
    int64_t delay = 10'000;    // 1 ms, in 100 ns units
};

// A bridge's ACPI _DSM power method, as its firmware describes it.
struct DsmSpec {
    bool present = false;
    std::string uuid = "906E5706-ABA3-42F6-B454-B662DF563FEF";
    uint32_t functions = 0x0F;             // the support bitmap function 0 answers
    std::string resultType = "integer";    // integer, buffer or string
    uint32_t resultLength = 4;             // bytes of a buffer or string result
    uint32_t count = 1;                    // results the evaluation reports
    NTSTATUS status = STATUS_SUCCESS;      // what the ACPI driver answers every evaluation with
};

// What a function is made of; the defaults are a PCI Express endpoint.
struct PciFunctionSpec {
    std::string name;  // for people: "display", "root port"
    PciLocation location;
    uint16_t vendorId = 0x10DE;
    uint16_t deviceId = 0x1C8D;
    uint8_t baseClass = 0x03;
    uint8_t subClass = 0x00;
    uint8_t progIf = 0x00;
    bool pciExpress = true;                // carries the PCI Express capability (ID 0x10)
    std::vector<uint8_t> capabilities;     // other standard capabilities, listed before it
    uint16_t extendedCapability = 0x0001;  // first extended capability at 0x100 (0: none)
    uint8_t secondaryBus = 0;              // bridges: the bus behind them
    bool failConfigRequests = false;       // the bus driver fails configuration IRPs
    bool failProperties = false;           // the bus driver fails the location properties
    PowerBehavior power;                   // of its function driver
    DsmSpec dsm;                           // bridges: the ACPI power method of their firmware object
    std::string powerSwitch;               // what cuts its power: "dsm", "hid:NAME", "serial" or "" (nothing)
    int64_t answersAfter = 0;              // after power-on, in 100 ns units; -1: never
    int64_t retryFor = 0;                  // then answers with retry status this long (vendor ID 0x0001)
    bool pageable = true;                  // its PDO and function driver set DO_POWER_PAGABLE, as most do
    bool busDriverCompletesFromDpc = false;       // the bus driver completes this PDO's IRPs from a DPC
    bool functionDriverCompletesFromDpc = false;  // so does its function driver, on their way back up
    bool storage = false;  // its function driver is a disk's: it can hold paging files

    bool IsBridge() const { return baseClass == 0x06 && subClass == 0x04; }
};

class PciFunction {
public:
    explicit PciFunction(const PciFunctionSpec& spec);

    const PciFunctionSpec& Spec() const { return spec_; }
    const PciLocation& Location() const { return spec_.location; }

    // What the bus driver does for configuration IRPs: all ones where the
    // access runs past the space, or everywhere while the device is silent.
    void Read(ULONG offset, void* buffer, ULONG length) const;
    void Write(ULONG offset, const void* buffer, ULONG length);

    // Direct changes to the model, for tests of odd hardware.
    void Poke8(ULONG offset, uint8_t value);
    uint8_t Peek8(ULONG offset) const { return config_[offset]; }
    uint32_t Peek32(ULONG offset) const;
    // What starting an endpoint leaves: its base address registers at
    // addresses of its own, its interrupt line, memory decode and bus mastering.
    void AssignResources();
    // Configuration registers that differ from their power-on values.
    std::vector<ULONG> ChangedDwords() const;

    // The device reads all ones until this virtual time (INT64_MAX: for good).
    void SilentUntil(int64_t time) { silentUntil_ = time; }
    bool Answers() const;
    // Still initialising until this virtual time: with Configuration Request
    // Retry Status visible to software, as root ports may enable it, a read of
    // the vendor ID gives 0x0001 (dword 0 reads 0xFFFF0001), every other read
    // all ones, and writes are dropped.
    void RetryUntil(int64_t time) { retryUntil_ = time; }
    bool Retrying() const;

    // The power gate: off, every register reads all ones; on again, the
    // registers take their power-on values and the device answers after
    // `answersAfter` (or never). Switching to the state it is in changes nothing.
    void SwitchPower(bool on);
    bool Powered() const { return powered_; }

    PDEVICE_OBJECT pdo = nullptr;
    bool present = true;  // plugged in: the bus reports it
    DEVICE_POWER_STATE powerState = PowerDeviceD0;  // as set by power IRPs (D3 keeps the space: D3hot)

private:
    void Set16(ULONG offset, uint16_t value);
    void Set32(ULONG offset, uint32_t value);

    PciFunctionSpec spec_;
    std::array<uint8_t, 4096> config_{};
    std::array<uint8_t, 4096> writable_{};  // per byte: bits software may change
    std::array<uint8_t, 4096> powerOn_{};
    int64_t silentUntil_ = 0;
    int64_t retryUntil_ = 0;
    bool powered_ = true;
};

}  // namespace sim
