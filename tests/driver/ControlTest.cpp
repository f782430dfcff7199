// The control device: who may open it, and every request of its protocol
// against a small machine.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "config/BootGuard.h"
#include "control/Protocol.h"
#include "common/Roles.h"
#include "sim/kernel/IoManager.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"

namespace {

// Two root ports: the first with a two-function device, the second empty.
sim::MachineSpec TwoPorts() {
    sim::PciFunctionSpec audio = sim::Endpoint("01:00.1", "audio", 0x04);
    audio.deviceId = 0x10F1;
    sim::PciFunctionSpec second = sim::RootPort("00:1d.0", 2);
    second.deviceId = 0xA111;
    return sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1), sim::Endpoint("01:00.0", "display", 0x03), audio,
                                       second}};
}

std::vector<UCHAR> Dwords(std::initializer_list<ULONG> values) {
    std::vector<UCHAR> bytes;
    for (ULONG value : values)
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<UCHAR>(value >> (8 * i)));
    return bytes;
}

struct Reply {
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<UCHAR> bytes;  // the first `information` bytes of the output buffer
};

// A request from an administrator's process, as DeviceIoControl sends it.
Reply Send(sim::Machine& machine, ULONG code, const std::vector<UCHAR>& input, ULONG outputLength) {
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(machine.Os().Io().Open(L"\\\\.\\VoxenPCI", GENERIC_READ | GENERIC_WRITE, sim::Caller::Administrator, &file),
              STATUS_SUCCESS);
    std::vector<UCHAR> output(outputLength + 16, 0x5A);  // past the length: must stay untouched
    Reply reply{};
    reply.status = machine.Os().Io().DeviceIoControl(file, code, input.data(), static_cast<ULONG>(input.size()),
                                                     output.data(), outputLength, &reply.information);
    machine.Os().Io().CloseHandle(file);
    EXPECT_LE(reply.information, outputLength);
    for (size_t i = outputLength; i < output.size(); ++i) EXPECT_EQ(output[i], 0x5A) << "written past the buffer";
    reply.bytes.assign(output.begin(), output.begin() + static_cast<long>(std::min<ULONG_PTR>(reply.information, outputLength)));
    for (UCHAR byte : reply.bytes) EXPECT_NE(byte, sim::kSystemBufferPoison) << "a byte the driver never wrote";
    return reply;
}

struct RequestCase {
    const char* name;
    ULONG code;
    std::vector<UCHAR> input;
    ULONG outputLength;
    NTSTATUS status;
    std::vector<UCHAR> reply;
};

class ControlRequests : public ::testing::TestWithParam<RequestCase> {};

TEST_P(ControlRequests, AnswerWithTheirStatusInformationAndBytes) {
    const RequestCase& c = GetParam();
    auto machine = test::Boot(TwoPorts());
    Reply reply = Send(*machine, c.code, c.input, c.outputLength);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.information, c.reply.size());
    EXPECT_EQ(reply.bytes, c.reply);
    EXPECT_TRUE(machine->Shutdown().empty());
}

const std::vector<UCHAR> kNone;
const NTSTATUS kRefused = STATUS_INVALID_DEVICE_REQUEST;

INSTANTIATE_TEST_SUITE_P(
    Table, ControlRequests,
    ::testing::Values(
        RequestCase{"BridgeCount", IOCTL_GET_BRIDGE_COUNT, kNone, 4, STATUS_SUCCESS, Dwords({2})},
        RequestCase{"BridgeCountAnyInput", IOCTL_GET_BRIDGE_COUNT, Dwords({7, 7}), 4, STATUS_SUCCESS, Dwords({2})},
        RequestCase{"BridgeCountLongOutput", IOCTL_GET_BRIDGE_COUNT, kNone, 8, kRefused, kNone},
        RequestCase{"BridgeCountShortOutput", IOCTL_GET_BRIDGE_COUNT, kNone, 3, kRefused, kNone},
        RequestCase{"BridgeInfoFirst", IOCTL_GET_BRIDGE_INFO, Dwords({0}), 20, STATUS_SUCCESS,
                    {0x86, 0x80, 0x10, 0xA1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0}},
        RequestCase{"BridgeInfoSecond", IOCTL_GET_BRIDGE_INFO, Dwords({1}), 20, STATUS_SUCCESS,
                    {0x86, 0x80, 0x11, 0xA1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        RequestCase{"BridgeInfoPastTheEnd", IOCTL_GET_BRIDGE_INFO, Dwords({2}), 20, kRefused, kNone},
        RequestCase{"BridgeInfoShortInput", IOCTL_GET_BRIDGE_INFO, {0, 0, 0}, 20, kRefused, kNone},
        RequestCase{"BridgeInfoLongOutput", IOCTL_GET_BRIDGE_INFO, Dwords({0}), 24, kRefused, kNone},
        RequestCase{"ChildInfoAudio", IOCTL_GET_CHILD_INFO, Dwords({0, 1}), 6, STATUS_SUCCESS,
                    {0xDE, 0x10, 0xF1, 0x10, 0x01, 0x00}},
        RequestCase{"ChildInfoNoSuchChild", IOCTL_GET_CHILD_INFO, Dwords({0, 2}), 6, kRefused, kNone},
        RequestCase{"ChildInfoEmptyBridge", IOCTL_GET_CHILD_INFO, Dwords({1, 0}), 6, kRefused, kNone},
        RequestCase{"ChildInfoNoSuchBridge", IOCTL_GET_CHILD_INFO, Dwords({5, 0}), 6, kRefused, kNone},
        RequestCase{"ChildInfoShortOutput", IOCTL_GET_CHILD_INFO, Dwords({0, 0}), 4, kRefused, kNone},
        RequestCase{"SetBridgePowerShortInput", IOCTL_SET_BRIDGE_POWER, Dwords({0}), 0, kRefused, kNone},
        RequestCase{"SetBridgePowerNoSuchBridge", IOCTL_SET_BRIDGE_POWER, Dwords({9, 1}), 0, kRefused, kNone},
        RequestCase{"SetBridgePowerStateZero", IOCTL_SET_BRIDGE_POWER, Dwords({0, 0}), 0, STATUS_INVALID_PARAMETER, kNone},
        RequestCase{"SetBridgePowerStateFive", IOCTL_SET_BRIDGE_POWER, Dwords({0, 5}), 0, STATUS_INVALID_PARAMETER, kNone},
        RequestCase{"QueryBridgePowerEchoes", IOCTL_QUERY_BRIDGE_POWER, Dwords({1}), 4, STATUS_SUCCESS, Dwords({1})},
        RequestCase{"QueryBridgePowerShortOutput", IOCTL_QUERY_BRIDGE_POWER, Dwords({0}), 2, kRefused, kNone},
        RequestCase{"QueryBridgePowerNoSuchBridge", IOCTL_QUERY_BRIDGE_POWER, Dwords({2}), 4, kRefused, kNone},
        RequestCase{"Reserved6", IOCTL_RESERVED_6, kNone, 0, STATUS_REQUEST_NOT_ACCEPTED, kNone},
        RequestCase{"Reserved6WithBuffers", IOCTL_RESERVED_6, Dwords({1, 2}), 16, STATUS_REQUEST_NOT_ACCEPTED, kNone},
        RequestCase{"Reserved7", IOCTL_RESERVED_7, Dwords({0}), 4, STATUS_REQUEST_NOT_ACCEPTED, kNone},
        RequestCase{"ChildPowerAnotherMode", IOCTL_SET_CHILD_POWER, Dwords({1, 0, 0, 4, 2, 0}), 0, STATUS_SUCCESS, kNone},
        RequestCase{"UnknownCode", 0x80000024, Dwords({0}), 4, kRefused, kNone},
        RequestCase{"NeighbourOfArm", 0x80000204, kNone, 0, kRefused, kNone}),
    test::CaseName());

TEST(ControlRequests, TheBridgeCountIsZeroWithFilteringDisabled) {
    auto machine = test::Boot(sim::MachineSpec{1, true, TwoPorts().functions});
    Reply reply = Send(*machine, IOCTL_GET_BRIDGE_COUNT, kNone, 4);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.bytes, Dwords({0}));
    EXPECT_TRUE(machine->Shutdown().empty());
}

// D3 saves the bridge's configuration space and then asks for D3; D0 writes
// the saved image back and then asks for D0.
TEST(ControlRequests, BridgePowerSavesBeforeD3AndRestoresBeforeD0) {
    auto machine = test::Boot(TwoPorts());
    FilterDevice* bridge = test::Bridges()[0];
    PDEVICE_OBJECT pdo = machine->Function("00:1c.0")->pdo;
    std::vector<std::string> order;
    machine->Os().Io().SetObserver([&](const sim::IrpEvent& event) {
        if (event.kind != sim::IrpEvent::Kind::Dispatch || event.device != pdo) return;
        if (event.major == IRP_MJ_PNP && event.minor == IRP_MN_READ_CONFIG && (order.empty() || order.back() != "read"))
            order.push_back("read");
        if (event.major == IRP_MJ_PNP && event.minor == IRP_MN_WRITE_CONFIG && (order.empty() || order.back() != "write"))
            order.push_back("write");
        if (event.major == IRP_MJ_POWER && event.minor == IRP_MN_SET_POWER) order.push_back("set-power");
    });
    EXPECT_EQ(Send(*machine, IOCTL_SET_BRIDGE_POWER, Dwords({0, 4}), 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(bridge->ConfigSaved);
    EXPECT_EQ(bridge->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(Send(*machine, IOCTL_SET_BRIDGE_POWER, Dwords({0, 1}), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(bridge->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
    machine->Os().Io().SetObserver(nullptr);
    // read (the save), set-power D3, write (the restore), read (the poll for the device), set-power D0
    EXPECT_EQ(order, (std::vector<std::string>{"read", "set-power", "write", "read", "set-power"}));
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(ControlRequests, ARefusedStateSavesAndRequestsNothing) {
    auto machine = test::Boot(TwoPorts());
    FilterDevice* bridge = test::Bridges()[0];
    int power = 0;
    machine->Os().Io().SetObserver([&](const sim::IrpEvent& event) {
        if (event.kind == sim::IrpEvent::Kind::Dispatch && event.major == IRP_MJ_POWER) ++power;
    });
    EXPECT_EQ(Send(*machine, IOCTL_SET_BRIDGE_POWER, Dwords({0, 7}), 0).status, STATUS_INVALID_PARAMETER);
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_EQ(power, 0);
    EXPECT_FALSE(bridge->ConfigSaved);
    EXPECT_TRUE(machine->Shutdown().empty());
}

// The dword of a query names the bridge; only when it is also a device state
// is that the state asked about.
TEST(ControlRequests, AQueryAsksForAStateTheDeviceCanHave) {
    for (ULONG index : {0u, 1u}) {
        auto machine = test::Boot(TwoPorts());
        std::vector<ULONG> asked;
        machine->Os().Io().SetObserver([&](const sim::IrpEvent& event) {
            if (event.kind == sim::IrpEvent::Kind::Dispatch && event.major == IRP_MJ_POWER &&
                event.minor == IRP_MN_QUERY_POWER && event.location)
                asked.push_back(event.location->Parameters.Power.State.DeviceState);
        });
        Reply reply = Send(*machine, IOCTL_QUERY_BRIDGE_POWER, Dwords({index}), 4);
        machine->Os().Io().SetObserver(nullptr);
        EXPECT_EQ(reply.bytes, Dwords({index}));
        ASSERT_FALSE(asked.empty());
        EXPECT_EQ(asked.front(), static_cast<ULONG>(PowerDeviceD0)) << "index " << index;
        EXPECT_TRUE(machine->Shutdown().empty());
    }
}

// The bridge's stack refuses the query: the status tells, the reply keeps its
// length, and no byte reaches the caller's buffer.
TEST(ControlRequests, AFailedQueryReturnsNoBytes) {
    sim::MachineSpec spec = TwoPorts();
    spec.functions[0].power.refuseQuery = true;
    auto machine = test::Boot(spec);
    Reply reply = Send(*machine, IOCTL_QUERY_BRIDGE_POWER, Dwords({0}), 4);
    EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reply.information, 4u);
    EXPECT_EQ(reply.bytes, std::vector<UCHAR>(4, 0x5A));
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(ControlRequests, ArmingTheGuardWritesBothValues) {
    auto machine = test::Boot(TwoPorts());
    EXPECT_EQ(Send(*machine, IOCTL_ARM_BOOT_GUARD, kNone, 0).status, STATUS_SUCCESS);
    const std::wstring key = sim::ServiceKeyPath(sim::kFilterService);
    EXPECT_EQ(machine->Os().Registry().GetDword(key, L"EnableDC"), 0x07AADE22u);
    EXPECT_EQ(machine->Os().Registry().GetDword(key, L"DCState"), 0x00080EA2u);
    EXPECT_TRUE(machine->Shutdown().empty());
}

struct OpenCase {
    const char* name;
    sim::Caller caller;
    const wchar_t* path;
    NTSTATUS status;
};

class ControlDeviceAccess : public ::testing::TestWithParam<OpenCase> {};

TEST_P(ControlDeviceAccess, IsForTheSystemAndAdministratorsOnly) {
    auto machine = test::Boot(TwoPorts());
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(machine->Os().Io().Open(GetParam().path, GENERIC_READ | GENERIC_WRITE, GetParam().caller, &file),
              GetParam().status);
    if (file) machine->Os().Io().CloseHandle(file);
    PDEVICE_OBJECT control = DriverGlobals.ControlDevice;
    EXPECT_TRUE(control->Characteristics & FILE_DEVICE_SECURE_OPEN);
    EXPECT_TRUE(control->Sim->daclProtected);
    EXPECT_TRUE(machine->Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControlDeviceAccess,
    ::testing::Values(OpenCase{"Administrator", sim::Caller::Administrator, L"\\\\.\\VoxenPCI", STATUS_SUCCESS},
                      OpenCase{"System", sim::Caller::System, L"\\Device\\VoxenPCI", STATUS_SUCCESS},
                      OpenCase{"User", sim::Caller::User, L"\\\\.\\VoxenPCI", STATUS_ACCESS_DENIED},
                      OpenCase{"UserBelowTheName", sim::Caller::User, L"\\\\.\\VoxenPCI\\anything", STATUS_ACCESS_DENIED},
                      OpenCase{"AdministratorBelowTheName", sim::Caller::Administrator, L"\\Device\\VoxenPCI\\anything",
                               STATUS_OBJECT_NAME_NOT_FOUND}),
    test::CaseName());

// Better no control device than one anybody may open.
TEST(ControlDevice, ThatCannotBeProtectedIsNotLeftBehind) {
    for (const char* service : {"ObOpenObjectByPointer", "ZwSetSecurityObject"}) {
        test::ResetDriverGlobals();
        sim::Kernel kernel;
        kernel.FailService(service, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(sim::LoadDriver(DriverEntry, sim::kFilterService).status, STATUS_INSUFFICIENT_RESOURCES) << service;
        EXPECT_EQ(kernel.Objects().Resolve(L"\\Device\\VoxenPCI", nullptr), nullptr);
        EXPECT_EQ(kernel.Objects().Resolve(L"\\DosDevices\\VoxenPCI", nullptr), nullptr);
        EXPECT_TRUE(kernel.Shutdown().empty()) << service;
    }
}

// A request holds its bridge by the remove lock: the bridge's removal waits,
// and the request never reads a bridge that is gone, whatever the interleaving.
TEST(ControlRequests, RacingABridgesRemovalNeverReadsItAfterward) {
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        sim::MachineSpec spec = TwoPorts();
        spec.seed = seed;
        auto machine = test::Boot(spec);
        std::vector<NTSTATUS> statuses;
        std::vector<std::vector<UCHAR>> replies;
        machine->Os().Threads().StartThread("service", [&] {
            for (int i = 0; i < 3; ++i) {
                Reply reply = Send(*machine, IOCTL_GET_BRIDGE_INFO, Dwords({1}), 20);
                statuses.push_back(reply.status);
                replies.push_back(reply.bytes);
            }
        });
        machine->Unplug("00:1d.0");
        machine->Settle();
        ASSERT_EQ(statuses.size(), 3u) << "seed " << seed;
        for (size_t i = 0; i < statuses.size(); ++i) {
            if (statuses[i] == STATUS_SUCCESS) {
                ASSERT_EQ(replies[i].size(), 20u);
                EXPECT_EQ(replies[i][2], 0x11) << "the second bridge's own device ID, seed " << seed;
            } else {
                EXPECT_EQ(statuses[i], STATUS_INVALID_DEVICE_REQUEST) << "seed " << seed;
            }
        }
        EXPECT_TRUE(machine->Shutdown().empty()) << "seed " << seed;
    }
}

// Two services switch the same bridge at once, on a bus whose driver answers
// configuration requests from a DPC (each access a point where another thread
// may run): a save of the bridge's registers never overlaps a restore of them,
// which would write back an image half of which is new.
TEST(ControlRequests, BridgePowerRequestsAtOnceNeverMixASaveWithARestore) {
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        sim::MachineSpec spec = TwoPorts();
        spec.seed = seed;
        spec.functions[0].busDriverCompletesFromDpc = true;
        auto machine = test::Boot(spec);
        PDEVICE_OBJECT bridge = machine->Function("00:1c.0")->pdo;
        ASSERT_EQ(Send(*machine, IOCTL_SET_BRIDGE_POWER, Dwords({0, VOXEN_STATE_D3}), 0).status, STATUS_SUCCESS);
        // A save reads every dword from the second to the last in order; a
        // restore writes from the first and the command register last.
        int saving = 0, restoring = 0, mixed = 0;
        machine->Os().Io().SetObserver([&](const sim::IrpEvent& event) {
            if (event.kind != sim::IrpEvent::Kind::Dispatch || event.device != bridge || event.major != IRP_MJ_PNP ||
                !event.location)
                return;
            ULONG offset = event.location->Parameters.ReadWriteConfig.Offset;
            if (event.minor == IRP_MN_READ_CONFIG) {
                if (restoring && offset >= 0x08) ++mixed;
                if (offset == 0x04) ++saving;
                if (offset == 0xFFC) --saving;
            } else if (event.minor == IRP_MN_WRITE_CONFIG) {
                if (saving) ++mixed;
                if (offset == 0) ++restoring;
                if (offset == 0x04) --restoring;
            }
        });
        std::vector<NTSTATUS> statuses;
        for (ULONG first : {VOXEN_STATE_D0, VOXEN_STATE_D3}) {
            machine->Os().Threads().StartThread("service", [&, first] {
                ULONG state = first;
                for (int i = 0; i < 2; ++i) {
                    statuses.push_back(Send(*machine, IOCTL_SET_BRIDGE_POWER, Dwords({0, state}), 0).status);
                    state = state == VOXEN_STATE_D0 ? VOXEN_STATE_D3 : VOXEN_STATE_D0;
                }
            });
        }
        machine->Settle();
        machine->Os().Io().SetObserver(nullptr);
        EXPECT_EQ(mixed, 0) << "seed " << seed;
        EXPECT_EQ(statuses, std::vector<NTSTATUS>(4, STATUS_SUCCESS)) << "seed " << seed;
        EXPECT_TRUE(machine->Shutdown().empty()) << "seed " << seed;
    }
}

}  // namespace
