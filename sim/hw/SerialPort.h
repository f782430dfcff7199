// The first serial port, \Device\Serial0, as Windows's serial driver presents
// it: one open at a time (a second is refused with STATUS_ACCESS_DENIED), and
// DTR and RTS lines set and cleared by line-control requests. The RTS line can
// be wired to the power of a device, with either polarity.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/ddk/devices.h"
#include "sim/pnp/SimDevice.h"

namespace sim {

// The first serial port and what its RTS line switches.
struct SerialSpec {
    bool present = false;
    std::string powers;        // "BUS:DEV" of the device it switches
    bool onWhenSet = false;    // power is on while RTS is set (else while it is clear)
};

constexpr const wchar_t* kSerialDeviceName = L"\\Device\\Serial0";

class SerialPort : public SimDevice {
public:
    using PowerSwitch = std::function<void(const std::string& slot, bool on)>;
    SerialPort(const SerialSpec& spec, PowerSwitch power);
    NTSTATUS Dispatch(PIRP irp) override;
    // The port's device object goes, at shutdown.
    void Delete();

    bool dtr = false;
    bool rts = false;
    int opens = 0;                 // file objects open on it (at most one)
    std::vector<ULONG> requests;   // every line-control code it was sent, in order

private:
    SerialSpec spec_;
    PowerSwitch power_;
    bool deleted_ = false;
};

}  // namespace sim
