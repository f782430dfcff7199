// Several services at once while devices come and go: in the parallel mode
// the driver's code truly runs on several threads at a time (under the tsan
// preset, ThreadSanitizer watches it). Every answer keeps to the protocol,
// the kernel stops nothing, and at shutdown nothing is left.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "control/Protocol.h"
#include "sim/kernel/IoManager.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"

namespace {

// The first root port holds a two-function device whose display is switched
// by a HID board; the second a network device.
sim::MachineSpec Rig(sim::SchedulerMode mode) {
    sim::PciFunctionSpec display = sim::Endpoint("01:00.0", "display", 0x03);
    display.powerSwitch = "hid:switch";
    sim::PciFunctionSpec audio = sim::Endpoint("01:00.1", "audio", 0x04);
    audio.deviceId = 0x10F1;
    sim::MachineSpec spec{1, false, {sim::RootPort("00:1c.0", 1), display, audio, sim::RootPort("00:1d.0", 2),
                                     sim::Endpoint("02:00.0", "network", 0x02)}};
    sim::HidBoardSpec board;
    board.name = "switch";
    board.powers = "01:00";
    spec.boards = {board};
    spec.scheduler = mode;
    return spec;
}

std::vector<UCHAR> Dwords(std::initializer_list<ULONG> values) {
    std::vector<UCHAR> bytes;
    for (ULONG value : values)
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<UCHAR>(value >> (8 * i)));
    return bytes;
}

struct Request {
    ULONG code;
    std::vector<UCHAR> input;
    ULONG outputLength;
};

// What voxenctl's commands send: list (count, bridge and child info),
// bridge-query, bridge-power, child-power --irp and --platform.
Request Pick(int caller, int round) {
    ULONG state = (caller + round) % 4 < 2 ? VOXEN_STATE_D3 : VOXEN_STATE_D0;
    ULONG bridge = static_cast<ULONG>(round % 3);  // the third is past the end
    switch ((caller * 3 + round) % 7) {
    case 0: return {IOCTL_GET_BRIDGE_COUNT, {}, 4};
    case 1: return {IOCTL_GET_BRIDGE_INFO, Dwords({bridge}), sizeof(VoxenBridgeInfo)};
    case 2: return {IOCTL_GET_CHILD_INFO, Dwords({bridge, static_cast<ULONG>(round % 2)}), sizeof(VoxenChildInfo)};
    case 3: return {IOCTL_QUERY_BRIDGE_POWER, Dwords({bridge}), 4};
    case 4: return {IOCTL_SET_BRIDGE_POWER, Dwords({1, state}), 0};
    case 5: return {IOCTL_SET_CHILD_POWER, Dwords({1, 0, 1, state, VOXEN_CHILD_POWER_BY_IRP, 0}), 0};
    default: return {IOCTL_SET_CHILD_POWER, Dwords({1, 0, 0, state, VOXEN_CHILD_POWER_BY_PLATFORM, 0}), 0};
    }
}

struct Outcome {
    ULONG code;
    NTSTATUS status;
    std::string fault;  // empty when the answer kept to the protocol
};

Outcome Send(sim::Machine& machine, const Request& request) {
    Outcome outcome{request.code, STATUS_SUCCESS, ""};
    PFILE_OBJECT file = nullptr;
    NTSTATUS opened = machine.Os().Io().Open(VOXEN_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                             sim::Caller::Administrator, &file);
    if (!NT_SUCCESS(opened)) {
        outcome.fault = "the control device could not be opened";
        return outcome;
    }
    std::vector<UCHAR> output(request.outputLength + 16, 0x5A);
    ULONG_PTR information = 0;
    outcome.status = machine.Os().Io().DeviceIoControl(file, request.code, request.input.data(),
                                                       static_cast<ULONG>(request.input.size()), output.data(),
                                                       request.outputLength, &information);
    machine.Os().Io().CloseHandle(file);
    if (outcome.status == STATUS_PENDING) outcome.fault = "answered STATUS_PENDING";
    if (information > request.outputLength) outcome.fault = "Information past the output buffer";
    for (size_t i = request.outputLength; i < output.size(); ++i)
        if (output[i] != 0x5A) outcome.fault = "written past the output buffer";
    for (size_t i = 0; i < std::min<size_t>(information, request.outputLength); ++i)
        if (output[i] == sim::kSystemBufferPoison) outcome.fault = "a byte the driver never wrote";
    return outcome;
}

void Pause(int64_t duration) {
    LARGE_INTEGER interval;
    interval.QuadPart = -duration;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

struct StressCase {
    const char* name;
    sim::SchedulerMode mode;
};

class Stress : public ::testing::TestWithParam<StressCase> {};

constexpr int kCallers = 4;
constexpr int kRequestsPerCaller = 48;
constexpr int kDisturbances = 12;

TEST_P(Stress, ServicesRacingRemovalsHotPlugsBoardsAndPowerCycles) {
    auto machine = test::Boot(Rig(GetParam().mode));
    std::vector<Outcome> outcomes;
    for (int caller = 0; caller < kCallers; ++caller) {
        machine->Os().Threads().StartThread("service " + std::to_string(caller), [&, caller] {
            for (int round = 0; round < kRequestsPerCaller; ++round) {
                outcomes.push_back(Send(*machine, Pick(caller, round)));
                Pause((caller + 1) * sim::kMillisecond / 2);
            }
        });
    }
    // The machine's own disturbances, meanwhile, from another thread.
    int disturbances = 0;
    machine->Os().Threads().StartThread("hardware", [&] {
        for (int round = 0; round < kDisturbances; ++round) {
            switch (round % 4) {
            case 0: machine->Unplug("01:00.1"); break;   // the audio function is pulled out
            case 1: machine->Plug("01:00.1"); break;     // and comes back
            case 2: machine->Hid().Unplug("switch"); break;
            default: machine->Hid().Plug("switch"); break;
            }
            Pause(sim::kMillisecond);
            machine->Rescan(round % 2 ? "00:1d.0" : "00:1c.0");
            Pause(2 * sim::kMillisecond);
            ++disturbances;
        }
    });
    machine->Settle();
    // Let every delayed rescan and power-on run out.
    machine->Os().Threads().Advance(120 * sim::kSecond);
    machine->Settle();

    EXPECT_EQ(disturbances, kDisturbances);
    ASSERT_EQ(outcomes.size(), static_cast<size_t>(kCallers * kRequestsPerCaller));
    int succeeded = 0;
    for (const Outcome& outcome : outcomes) {
        EXPECT_EQ(outcome.fault, "") << "request 0x" << std::hex << outcome.code << " answered 0x" << outcome.status;
        succeeded += NT_SUCCESS(outcome.status);
    }
    EXPECT_GT(succeeded, 0) << "some requests must have found their device";
    EXPECT_TRUE(machine->BoardPresent("switch"));
    EXPECT_TRUE(machine->Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, Stress,
                         ::testing::Values(StressCase{"Cooperative", sim::SchedulerMode::Cooperative},
                                           StressCase{"Parallel", sim::SchedulerMode::Parallel}),
                         test::CaseName());

}  // namespace
