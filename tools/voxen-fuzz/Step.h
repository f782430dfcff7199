// One step of a fuzzing run, and the decoder that makes steps from a source:
// control requests as a user-mode process can send them, weighted towards the
// protocol's own codes, their neighbours and plausible fields, interleaved
// with what happens to the machine meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/machine/Machine.h"
#include "tools/voxen-fuzz/Source.h"

namespace fuzz {

// What of a machine the decoder draws plausible values from; fixed for a run.
struct MachineView {
    std::vector<std::string> functions;  // every PCI location, bridges too
    std::vector<std::string> bridges;    // the PCI-to-PCI bridges
    std::vector<std::string> boards;     // HID boards by name
    struct Address {
        uint32_t bus, device, function;
    };
    std::vector<Address> addresses;      // bus/device/function of every function

    static MachineView Of(const sim::MachineSpec& spec);
};

// A request as DeviceIoControl sends it on an open handle.
struct Request {
    uint32_t code = 0;
    std::vector<uint8_t> input;
    uint32_t outputLength = 0;
};

struct Step {
    enum class Kind {
        Control,       // a request
        HotPlug,       // `target` pulled out when present, plugged in when not
        Remove,        // `target` safely removed when present, plugged in when not
        Rescan,        // bus relations of the bridge `target` invalidated
        Board,         // HID board `target` arrives when absent, is pulled out when present
        BoardEject,    // HID board `target` safely removed when present, arrives when not
        Advance,       // `duration` of virtual time passes
        Reopen,        // the handle is closed and the control device opened again
    };
    Kind kind = Kind::Control;
    Request request;
    std::string target;
    int64_t duration = 0;  // 100-ns units
    // The machine settles before the next step; otherwise what this step set
    // off (a removal, a rescan) is still under way when the next request comes.
    bool settle = true;
};

// Largest buffer a request carries: past a page.
constexpr uint32_t kMaxLength = 4096 + 256;

Step NextStep(Source& source, const MachineView& machine);
Request NextRequest(Source& source, const MachineView& machine);

// One line for people: "ctl 0x8000000C in[8]=00000000 04000000 out=0".
std::string Describe(const Step& step);

}  // namespace fuzz
