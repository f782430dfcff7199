// USB HID boards as the HID class driver presents them: one collection PDO per
// board, raw (no function driver loads for a vendor-defined collection), with
// a device interface of GUID_DEVINTERFACE_HID enabled while it is started. It
// answers the collection information and descriptor requests (its preparsed
// data is what the simulated HidP_GetCaps reads) and output-report writes,
// which it records and which switch the power of the device a switch board is
// wired to on its ON and OFF commands.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/ddk/devices.h"

namespace sim {

// A USB HID power-switch board.
struct HidBoardSpec {
    std::string name;
    uint16_t vendorId = 0x2047;
    uint16_t productId = 0x0317;
    uint16_t outputReportLength = 64;
    std::string powers;              // "BUS:DEV" of the device it switches
    bool presentAtBoot = true;       // else it arrives when a script says so
    bool corruptDescriptor = false;  // its preparsed data is not what HidP_GetCaps understands
};

// GUID_DEVINTERFACE_HID, from hidclass.h.
constexpr GUID kHidInterfaceClass = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

class HidBoards {
public:
    struct Board {
        HidBoardSpec spec;
        bool present = false;
        PDEVICE_OBJECT pdo = nullptr;               // while plugged in
        std::vector<std::vector<uint8_t>> writes;   // every output report written, whole
        std::string lastCommand;                    // the text of the last report ("?2LED ON!"), or its bytes
        std::wstring interfaceLink;                 // its GUID_DEVINTERFACE_HID symbolic link, once registered
    };
    using PowerSwitch = std::function<void(const std::string& slot, bool on)>;

    HidBoards(const std::vector<HidBoardSpec>& specs, PowerSwitch power);
    ~HidBoards();
    HidBoards(const HidBoards&) = delete;
    HidBoards& operator=(const HidBoards&) = delete;

    Board* Find(const std::string& name);
    const std::vector<std::unique_ptr<Board>>& All() const { return boards_; }

    // Each carried out by the Plug and Play manager's thread: the board is
    // plugged in, pulled out (surprise removal), or safely removed (the
    // removal can be vetoed; LastVeto tells why once settled).
    void Plug(const std::string& name);
    void Unplug(const std::string& name);
    void Eject(const std::string& name);
    const std::string& LastVeto() const { return lastVeto_; }

private:
    class Collection;

    PDRIVER_OBJECT driver_;
    PowerSwitch power_;
    std::vector<std::unique_ptr<Board>> boards_;
    std::string lastVeto_;
};

}  // namespace sim
