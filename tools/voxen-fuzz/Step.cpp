#include "tools/voxen-fuzz/Step.h"

#include "control/Protocol.h"
#include "sim/kernel/Violation.h"

namespace fuzz {

namespace {

constexpr uint32_t kProtocolCodes[] = {IOCTL_GET_BRIDGE_COUNT, IOCTL_GET_BRIDGE_INFO,  IOCTL_SET_BRIDGE_POWER,
                                       IOCTL_QUERY_BRIDGE_POWER, IOCTL_GET_CHILD_INFO, IOCTL_RESERVED_6,
                                       IOCTL_RESERVED_7,       IOCTL_SET_CHILD_POWER,  IOCTL_ARM_BOOT_GUARD};
constexpr uint32_t kCodeCount = sizeof(kProtocolCodes) / sizeof(kProtocolCodes[0]);

// Device types other than ours: none, FILE_DEVICE_UNKNOWN, the last of
// Microsoft's, our neighbour in the customer range, the largest.
constexpr uint32_t kOtherDeviceTypes[] = {0x0000, 0x0022, 0x7FFF, 0x8001, 0xFFFF};

constexpr uint32_t Function(uint32_t code) { return (code >> 2) & 0xFFF; }

// CTL_CODE's fields: device type, required access, function, method.
uint32_t Code(uint32_t type, uint32_t access, uint32_t function, uint32_t method) {
    return (type << 16) | ((access & 3) << 14) | ((function & 0xFFF) << 2) | (method & 3);
}

uint32_t Neighbour(Source& source, uint32_t code) {
    uint32_t type = code >> 16, access = (code >> 14) & 3, function = Function(code), method = code & 3;
    for (uint32_t changes = 1 + source.Below(2); changes > 0; --changes) {
        switch (source.Below(5)) {
        case 0: function += source.Percent(50) ? 1 + source.Below(4) : 0u - (1 + source.Below(4)); break;
        case 1: method = source.Below(4); break;
        case 2: access = source.Below(4); break;
        case 3: type = kOtherDeviceTypes[source.Below(5)]; break;
        default: function ^= 0x800; break;  // Microsoft's half of the function numbers
        }
    }
    return Code(type, access, function, method);
}

uint32_t NextCode(Source& source) {
    uint32_t pick = source.Below(100);
    if (pick < 60) return kProtocolCodes[source.Below(kCodeCount)];
    if (pick < 85) return Neighbour(source, kProtocolCodes[source.Below(kCodeCount)]);
    if (pick < 93) return Code(0x8000, 0, source.Below(0x1000), 0);
    return source.Bits32();
}

// What the protocol expects of each request's buffers.
void Expected(uint32_t code, uint32_t* input, uint32_t* output) {
    *input = 0;
    *output = 0;
    switch (Function(code)) {
    case Function(IOCTL_GET_BRIDGE_COUNT): *output = 4; break;
    case Function(IOCTL_GET_BRIDGE_INFO): *input = 4; *output = sizeof(VoxenBridgeInfo); break;
    case Function(IOCTL_SET_BRIDGE_POWER): *input = sizeof(VoxenBridgePowerRequest); break;
    case Function(IOCTL_QUERY_BRIDGE_POWER): *input = 4; *output = 4; break;
    case Function(IOCTL_GET_CHILD_INFO): *input = sizeof(VoxenChildInfoRequest); *output = sizeof(VoxenChildInfo); break;
    case Function(IOCTL_SET_CHILD_POWER): *input = sizeof(VoxenChildPowerRequest); break;
    default: break;
    }
}

uint32_t Length(Source& source, uint32_t expected) {
    static const uint32_t kPageEdges[] = {4095, 4096, 4097, 4100, kMaxLength};
    uint32_t pick = source.Below(100);
    if (pick < 45) return expected;
    if (pick < 60) {
        uint32_t delta = 1 + source.Below(4);
        return source.Percent(50) || expected < delta ? expected + delta : expected - delta;
    }
    if (pick < 75) return source.Below(33);
    if (pick < 85) return 0;
    if (pick < 92) return kPageEdges[source.Below(5)];
    return source.Below(kMaxLength + 1);
}

uint32_t Extreme(Source& source) {
    static const uint32_t kValues[] = {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 0x100u, 0x10000u};
    return kValues[source.Below(5)];
}

uint32_t BridgeIndex(Source& source, const MachineView& machine) {
    uint32_t pick = source.Below(100);
    uint32_t bridges = static_cast<uint32_t>(machine.bridges.size());
    if (pick < 50) return source.Below(bridges > 0 ? bridges : 1);
    if (pick < 70) return source.Below(bridges + 2);
    if (pick < 85) return Extreme(source);
    return source.Bits32();
}

uint32_t ChildIndex(Source& source) {
    uint32_t pick = source.Below(100);
    if (pick < 70) return source.Below(5);
    if (pick < 85) return Extreme(source);
    return source.Bits32();
}

uint32_t State(Source& source) {
    uint32_t pick = source.Below(100);
    if (pick < 55) return source.Percent(50) ? VOXEN_STATE_D0 : VOXEN_STATE_D3;
    if (pick < 85) return source.Below(7);
    return source.Percent(50) ? Extreme(source) : source.Bits32();
}

uint32_t Small(Source& source, uint32_t plausible, uint32_t bound) {
    uint32_t pick = source.Below(100);
    if (pick < 75) return source.Below(plausible);
    if (pick < 90) return source.Below(bound);
    return source.Bits32();
}

void PutDword(std::vector<uint8_t>* bytes, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4 && offset + i < bytes->size(); ++i) (*bytes)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The fields of the request the code's function number names, where the
// buffer has room for them; random bytes everywhere else.
void Fields(Source& source, const MachineView& machine, uint32_t code, std::vector<uint8_t>* input) {
    switch (Function(code)) {
    case Function(IOCTL_GET_BRIDGE_INFO):
        PutDword(input, 0, BridgeIndex(source, machine));
        break;
    case Function(IOCTL_QUERY_BRIDGE_POWER):
        // The one dword is an index, and a state when it is one.
        PutDword(input, 0, source.Percent(30) ? State(source) : BridgeIndex(source, machine));
        break;
    case Function(IOCTL_SET_BRIDGE_POWER):
        PutDword(input, offsetof(VoxenBridgePowerRequest, BridgeIndex), BridgeIndex(source, machine));
        PutDword(input, offsetof(VoxenBridgePowerRequest, State), State(source));
        break;
    case Function(IOCTL_GET_CHILD_INFO):
        PutDword(input, offsetof(VoxenChildInfoRequest, BridgeIndex), BridgeIndex(source, machine));
        PutDword(input, offsetof(VoxenChildInfoRequest, ChildIndex), ChildIndex(source));
        break;
    case Function(IOCTL_SET_CHILD_POWER): {
        MachineView::Address at{0, 0, 0};
        if (!machine.addresses.empty() && source.Percent(70)) {
            at = machine.addresses[source.Below(static_cast<uint32_t>(machine.addresses.size()))];
            // Next door to a real function.
            if (source.Percent(15)) (source.Percent(50) ? at.device : at.function) += 1;
        } else {
            at = {Small(source, 8, 256), Small(source, 2, 32), Small(source, 2, 8)};
        }
        PutDword(input, offsetof(VoxenChildPowerRequest, Bus), at.bus);
        PutDword(input, offsetof(VoxenChildPowerRequest, Device), at.device);
        PutDword(input, offsetof(VoxenChildPowerRequest, Function), at.function);
        PutDword(input, offsetof(VoxenChildPowerRequest, State), State(source));
        PutDword(input, offsetof(VoxenChildPowerRequest, Mode), Small(source, 2, 4));
        PutDword(input, offsetof(VoxenChildPowerRequest, Method), Small(source, 3, 5));
        break;
    }
    default: break;
    }
}

int64_t Duration(Source& source) {
    uint32_t pick = source.Below(100);
    if (pick < 40) return (1 + source.Below(20)) * sim::kMillisecond;
    if (pick < 70) return (1 + source.Below(2000)) * sim::kMillisecond;
    if (pick < 90) return (60 + source.Below(20)) * sim::kSecond;  // around the rescan's 69 seconds
    return (1 + source.Below(300)) * sim::kSecond;
}

template <typename T>
const T& Pick(Source& source, const std::vector<T>& from) {
    return from[source.Below(static_cast<uint32_t>(from.size()))];
}

}  // namespace

MachineView MachineView::Of(const sim::MachineSpec& spec) {
    MachineView view;
    for (const sim::PciFunctionSpec& function : spec.functions) {
        view.functions.push_back(function.location.Text());
        if (function.IsBridge()) view.bridges.push_back(function.location.Text());
        view.addresses.push_back({function.location.bus, function.location.device, function.location.function});
    }
    for (const sim::HidBoardSpec& board : spec.boards) view.boards.push_back(board.name);
    return view;
}

Request NextRequest(Source& source, const MachineView& machine) {
    Request request;
    request.code = NextCode(source);
    uint32_t expectedInput, expectedOutput;
    Expected(request.code, &expectedInput, &expectedOutput);
    // Well-formed often enough that the requests get past their length checks.
    bool wellFormed = source.Percent(40);
    request.input.resize(wellFormed ? expectedInput : Length(source, expectedInput));
    request.outputLength = wellFormed ? expectedOutput : Length(source, expectedOutput);
    // Random bytes first; the fields over them unless the whole buffer is noise.
    size_t noise = source.Percent(15) ? request.input.size() : std::min<size_t>(request.input.size(), 64);
    for (size_t i = 0; i < noise; ++i) request.input[i] = source.Byte();
    if (noise < request.input.size() && source.Percent(50))
        for (size_t i = noise; i < request.input.size(); ++i) request.input[i] = source.Byte();
    if (noise != request.input.size() || source.Percent(30)) Fields(source, machine, request.code, &request.input);
    if (!request.input.empty() && source.Percent(10))
        request.input[source.Below(static_cast<uint32_t>(request.input.size()))] ^= static_cast<uint8_t>(1u << source.Below(8));
    return request;
}

Step NextStep(Source& source, const MachineView& machine) {
    Step step;
    if (source.Below(100) < 85) {
        step.request = NextRequest(source, machine);
        step.settle = source.Percent(95);
        return step;
    }
    uint32_t pick = source.Below(100);
    step.settle = source.Percent(85);
    if (pick < 25 && !machine.functions.empty()) {
        step.kind = Step::Kind::HotPlug;
        step.target = Pick(source, machine.functions);
    } else if (pick < 40 && !machine.functions.empty()) {
        step.kind = Step::Kind::Remove;
        step.target = Pick(source, machine.functions);
    } else if (pick < 55 && !machine.bridges.empty()) {
        step.kind = Step::Kind::Rescan;
        step.target = Pick(source, machine.bridges);
    } else if (pick < 65 && !machine.boards.empty()) {
        step.kind = Step::Kind::Board;
        step.target = Pick(source, machine.boards);
    } else if (pick < 70 && !machine.boards.empty()) {
        step.kind = Step::Kind::BoardEject;
        step.target = Pick(source, machine.boards);
    } else if (pick < 95) {
        step.kind = Step::Kind::Advance;
        step.duration = Duration(source);
    } else {
        step.kind = Step::Kind::Reopen;
    }
    return step;
}

std::string Describe(const Step& step) {
    std::string text;
    switch (step.kind) {
    case Step::Kind::Control: {
        const Request& r = step.request;
        text = sim::Format("ctl 0x%08X in[%zu]=", r.code, r.input.size());
        for (size_t i = 0; i < r.input.size() && i < 32; ++i) text += sim::Format("%02x", r.input[i]);
        if (r.input.size() > 32) text += "...";
        text += sim::Format(" out=%u", r.outputLength);
        break;
    }
    case Step::Kind::HotPlug: text = "hot-plug " + step.target; break;
    case Step::Kind::Remove: text = "remove " + step.target; break;
    case Step::Kind::Rescan: text = "rescan " + step.target; break;
    case Step::Kind::Board: text = "board " + step.target; break;
    case Step::Kind::BoardEject: text = "board-eject " + step.target; break;
    case Step::Kind::Advance: text = sim::Format("advance %lldms", static_cast<long long>(step.duration / sim::kMillisecond)); break;
    case Step::Kind::Reopen: text = "reopen"; break;
    }
    if (!step.settle) text += " (unsettled)";
    return text;
}

}  // namespace fuzz
