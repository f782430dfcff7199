// IOCTL_SET_CHILD_POWER and the delayed rescan it schedules for a device the
// driver does not know.
#include <gtest/gtest.h>

#include "control/Protocol.h"
#include "common/Roles.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"

namespace {

// The first root port holds a two-function device; the second one a network
// device, found only after every child of the first was compared.
sim::MachineSpec TwoPorts() {
    sim::PciFunctionSpec audio = sim::Endpoint("01:00.1", "audio", 0x04);
    audio.deviceId = 0x10F1;
    return sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1), sim::Endpoint("01:00.0", "display", 0x03), audio,
                                       sim::RootPort("00:1d.0", 2), sim::Endpoint("02:00.0", "network", 0x02)}};
}

std::vector<UCHAR> Request(ULONG bus, ULONG device, ULONG function, ULONG state, ULONG mode, ULONG method = 0) {
    std::vector<UCHAR> bytes;
    for (ULONG value : {bus, device, function, state, mode, method})
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<UCHAR>(value >> (8 * i)));
    return bytes;
}

NTSTATUS Send(sim::Machine& machine, const std::vector<UCHAR>& input, ULONG_PTR* information = nullptr) {
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(machine.Os().Io().Open(L"\\\\.\\VoxenPCI", GENERIC_READ | GENERIC_WRITE, sim::Caller::Administrator, &file),
              STATUS_SUCCESS);
    ULONG_PTR returned = 0xDEAD;
    NTSTATUS status = machine.Os().Io().DeviceIoControl(file, IOCTL_SET_CHILD_POWER, input.data(),
                                                        static_cast<ULONG>(input.size()), nullptr, 0, &returned);
    machine.Os().Io().CloseHandle(file);
    if (information) *information = returned;
    return status;
}

// Counts the bus-relations queries each bridge's PDO receives, with the time of the last.
struct RelationsLog {
    std::map<PDEVICE_OBJECT, int> queries;
    int64_t last = -1;
    void Watch(sim::Machine& machine) {
        machine.Os().Io().SetObserver([this](const sim::IrpEvent& event) {
            if (event.kind == sim::IrpEvent::Kind::Dispatch && event.major == IRP_MJ_PNP &&
                event.minor == IRP_MN_QUERY_DEVICE_RELATIONS && event.location &&
                event.location->Parameters.QueryDeviceRelations.Type == BusRelations) {
                ++queries[event.device];
                last = static_cast<int64_t>(KeQueryInterruptTime());
            }
        });
    }
};

TEST(ChildPower, ByPowerIrpRecordsTheStateAndTheBridgeThenRefusesRelations) {
    auto machine = test::Boot(TwoPorts());
    ULONG_PTR information = 0;
    EXPECT_EQ(Send(*machine, Request(1, 0, 1, PowerDeviceD3, VOXEN_CHILD_POWER_BY_IRP), &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(test::FilterOf(*machine, "01:00.1")->DevicePowerState, static_cast<ULONG>(PowerDeviceD3))
        << "bus 1 device 0 function 1 is the second function, though function 0 is listed first";
    EXPECT_EQ(test::FilterOf(*machine, "01:00.0")->DevicePowerState, 0u);
    ULONG_PTR relations = 0;
    sim::PnpManager& pnp = machine->Os().Pnp();
    EXPECT_EQ(pnp.Send(pnp.FindByPdo(machine->Function("00:1c.0")->pdo), IRP_MN_QUERY_DEVICE_RELATIONS, &relations,
                       [](PIO_STACK_LOCATION location) { location->Parameters.QueryDeviceRelations.Type = BusRelations; }),
              STATUS_RETRY);
    EXPECT_EQ(Send(*machine, Request(1, 0, 1, PowerDeviceD0, VOXEN_CHILD_POWER_BY_IRP)), STATUS_SUCCESS);
    EXPECT_EQ(test::FilterOf(*machine, "01:00.1")->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_FALSE(DriverGlobals.RescanPending);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(ChildPower, ADeviceUnderTheSecondBridgeIsFound) {
    auto machine = test::Boot(TwoPorts());
    EXPECT_EQ(Send(*machine, Request(2, 0, 0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_IRP)), STATUS_SUCCESS);
    EXPECT_EQ(test::FilterOf(*machine, "02:00.0")->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(Send(*machine, Request(2, 0, 0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_IRP)), STATUS_SUCCESS);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(ChildPower, AnotherModeSucceedsAndDoesNothing) {
    auto machine = test::Boot(TwoPorts());
    int power = 0;
    machine->Os().Io().SetObserver([&](const sim::IrpEvent& event) {
        if (event.kind == sim::IrpEvent::Kind::Dispatch && event.major == IRP_MJ_POWER) ++power;
    });
    EXPECT_EQ(Send(*machine, Request(1, 0, 0, PowerDeviceD3, 2)), STATUS_SUCCESS);
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_EQ(power, 0);
    EXPECT_EQ(test::FilterOf(*machine, "01:00.0")->DevicePowerState, 0u);
    EXPECT_FALSE(DriverGlobals.RescanPending);
    EXPECT_TRUE(machine->Shutdown().empty());
}

struct UnknownCase {
    const char* name;
    std::vector<UCHAR> input;
    NTSTATUS status;
};

class ChildPowerForNoKnownChild : public ::testing::TestWithParam<UnknownCase> {};

// Refused, and 69 seconds later every bridge is asked for its bus relations again.
TEST_P(ChildPowerForNoKnownChild, SchedulesOneRescan69SecondsLater) {
    auto machine = test::Boot(TwoPorts());
    RelationsLog log;
    log.Watch(*machine);
    int64_t sent = static_cast<int64_t>(KeQueryInterruptTime());
    EXPECT_EQ(Send(*machine, GetParam().input), GetParam().status);
    EXPECT_TRUE(DriverGlobals.RescanPending);
    machine->Os().Threads().Advance(68 * sim::kSecond);
    EXPECT_TRUE(log.queries.empty()) << "not before 69 s";
    machine->Os().Threads().Advance(2 * sim::kSecond);
    EXPECT_EQ(log.queries[machine->Function("00:1c.0")->pdo], 1);
    EXPECT_EQ(log.queries[machine->Function("00:1d.0")->pdo], 1);
    EXPECT_GE(log.last - sent, 69 * sim::kSecond);
    EXPECT_FALSE(DriverGlobals.RescanPending);
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_TRUE(machine->Shutdown().empty()) << "the thread ended and its handle was closed";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChildPowerForNoKnownChild,
    ::testing::Values(UnknownCase{"NoSuchDevice", Request(1, 5, 0, PowerDeviceD3, 0), STATUS_INVALID_PARAMETER},
                      UnknownCase{"NoSuchFunction", Request(2, 0, 1, PowerDeviceD3, 0), STATUS_INVALID_PARAMETER},
                      UnknownCase{"NoSuchBus", Request(0x11, 0, 0, PowerDeviceD0, 1), STATUS_INVALID_PARAMETER},
                      UnknownCase{"TwentyBytes", std::vector<UCHAR>(20, 0), STATUS_INVALID_DEVICE_REQUEST},
                      UnknownCase{"TwentyEightBytes", std::vector<UCHAR>(28, 0), STATUS_INVALID_DEVICE_REQUEST}),
    test::CaseName());

TEST(Rescan, AtMostOnePendingAndANewOneAfterItFinished) {
    auto machine = test::Boot(TwoPorts());
    RelationsLog log;
    log.Watch(*machine);
    PDEVICE_OBJECT port = machine->Function("00:1c.0")->pdo;
    EXPECT_EQ(Send(*machine, Request(9, 0, 0, 1, 0)), STATUS_INVALID_PARAMETER);
    machine->Os().Threads().Advance(30 * sim::kSecond);
    EXPECT_EQ(Send(*machine, Request(9, 0, 0, 1, 0)), STATUS_INVALID_PARAMETER);
    machine->Os().Threads().Advance(60 * sim::kSecond);
    EXPECT_EQ(log.queries[port], 1) << "two requests within 69 s, one rescan";
    EXPECT_EQ(Send(*machine, Request(9, 0, 0, 1, 0)), STATUS_INVALID_PARAMETER);
    machine->Os().Threads().Advance(70 * sim::kSecond);
    EXPECT_EQ(log.queries[port], 2) << "a request after the rescan finished schedules another";
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(Rescan, WithNoBridgesInvalidatesNothingAndEnds) {
    auto machine = test::Boot(sim::MachineSpec{1, false, {sim::Endpoint("00:02.0", "display", 0x03)}});
    RelationsLog log;
    log.Watch(*machine);
    EXPECT_EQ(Send(*machine, Request(0, 2, 0, 4, 0)), STATUS_INVALID_PARAMETER) << "not behind a filtered bridge";
    machine->Os().Threads().Advance(70 * sim::kSecond);
    EXPECT_TRUE(log.queries.empty());
    EXPECT_FALSE(DriverGlobals.RescanPending);
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_TRUE(machine->Shutdown().empty());
}

// Without a thread nothing would clear the pending flag: a later request tries again.
TEST(Rescan, AThreadThatCannotBeCreatedLeavesNothingPending) {
    auto machine = test::Boot(TwoPorts());
    RelationsLog log;
    log.Watch(*machine);
    machine->Os().FailThreadCreation(true);
    EXPECT_EQ(Send(*machine, Request(9, 0, 0, 1, 0)), STATUS_INVALID_PARAMETER);
    machine->Os().FailThreadCreation(false);
    EXPECT_FALSE(DriverGlobals.RescanPending);
    machine->Os().Threads().Advance(70 * sim::kSecond);
    EXPECT_TRUE(log.queries.empty());
    EXPECT_EQ(Send(*machine, Request(9, 0, 0, 1, 0)), STATUS_INVALID_PARAMETER);
    machine->Os().Threads().Advance(70 * sim::kSecond);
    EXPECT_EQ(log.queries[machine->Function("00:1c.0")->pdo], 1);
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_TRUE(machine->Shutdown().empty());
}

}  // namespace
