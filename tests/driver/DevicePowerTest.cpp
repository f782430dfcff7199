// Device power states requested through the device's own stack.
#include <gtest/gtest.h>

#include "common/DriverGlobals.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"

namespace {

using sim::IrpEvent;
using sim::kMillisecond;
using sim::kSecond;

// What reached the display's PDO, with the virtual time it arrived at.
struct Event {
    std::string what;  // "query D0", "set D3", "read"
    int64_t at;
};

class DevicePower : public ::testing::Test {
protected:
    void Boot(sim::PowerBehavior power = {}) {
        sim::PciFunctionSpec display = sim::Endpoint("01:00.0", "display", 0x03);
        display.power = power;
        sim::MachineSpec spec{1, false, {sim::RootPort("00:1c.0", 1), display}};
        // These tests time the poll's own steps: here the bus answers in no time.
        spec.configAccessTime = 0;
        machine = test::Boot(spec);
        function = machine->Function("01:00.0");
        filter = test::FilterOf(*machine, "01:00.0");
        PDEVICE_OBJECT pdo = function->pdo;
        PDEVICE_OBJECT top = machine->Stack(function).back();
        machine->Os().Io().SetObserver([this, pdo, top](const IrpEvent& event) {
            if (event.kind != IrpEvent::Kind::Dispatch) return;
            int64_t now = machine->Os().Threads().Now();
            if (event.major == IRP_MJ_POWER && event.device == top) {
                ULONG state = event.location->Parameters.Power.State.DeviceState;
                events.push_back({std::string(event.minor == IRP_MN_SET_POWER ? "set" : "query") + " D" +
                                      std::to_string(state - 1),
                                  now});
            }
            if (event.device == pdo && event.minor == IRP_MN_READ_CONFIG) events.push_back({"read", now});
        });
    }
    ~DevicePower() override {
        machine->Os().Io().SetObserver(nullptr);
        EXPECT_TRUE(machine->Shutdown().empty());
    }
    std::vector<std::string> Whats() const {
        std::vector<std::string> whats;
        for (const Event& event : events) whats.push_back(event.what);
        return whats;
    }

    std::unique_ptr<sim::Machine> machine;
    sim::PciFunction* function = nullptr;
    FilterDevice* filter = nullptr;
    std::vector<Event> events;
};

TEST_F(DevicePower, D0PollsInFiveMillisecondStepsBetweenQueryAndSet) {
    Boot();
    function->SilentUntil(42 * kMillisecond);
    ULONG state = PowerDeviceD0;
    EXPECT_EQ(filter->SetDevicePower(&state), STATUS_SUCCESS);

    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front().what, "query D0");
    EXPECT_EQ(events.back().what, "set D0");
    EXPECT_EQ(events.back().at, 45 * kMillisecond) << "the first look at or after 42 ms";
    std::vector<Event> reads(events.begin() + 1, events.end() - 1);
    ASSERT_EQ(reads.size(), 10u) << "at 0, 5, ... 45 ms";
    for (size_t i = 0; i < reads.size(); ++i) {
        EXPECT_EQ(reads[i].what, "read");
        EXPECT_EQ(reads[i].at, static_cast<int64_t>(5 * i) * kMillisecond);
    }
    EXPECT_EQ(filter->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_EQ(filter->LowerDevice->Sim->powerState, PowerDeviceD0) << "the power manager was told";
}

// A device still initialising answers the vendor ID with 0x0001 (Configuration
// Request Retry Status): not ready, so D0 waits until it answers properly.
TEST_F(DevicePower, D0WaitsOutRetryStatusAnswers) {
    Boot();
    function->SilentUntil(10 * kMillisecond);
    function->RetryUntil(33 * kMillisecond);
    ULONG state = PowerDeviceD0;
    EXPECT_EQ(filter->SetDevicePower(&state), STATUS_SUCCESS);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.back().what, "set D0");
    EXPECT_EQ(events.back().at, 35 * kMillisecond) << "the first look at or after 33 ms, not the first at 10 ms";
}

TEST_F(DevicePower, D3DoesNotPoll) {
    Boot();
    function->SilentUntil(INT64_MAX);
    ULONG state = PowerDeviceD3;
    EXPECT_EQ(filter->SetDevicePower(&state), STATUS_SUCCESS);
    EXPECT_EQ(Whats(), (std::vector<std::string>{"query D3", "set D3"}));
    EXPECT_EQ(machine->Os().Threads().Now(), 0);
    EXPECT_EQ(filter->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(function->powerState, PowerDeviceD3) << "the set request reached the bus driver";
    EXPECT_EQ(filter->LowerDevice->Sim->powerState, PowerDeviceD3);
}

TEST_F(DevicePower, WithPollingOffD0IsSentAtOnceToASilentDevice) {
    Boot();
    DriverGlobals.EnablePolling = 0;
    function->SilentUntil(INT64_MAX);
    ULONG state = PowerDeviceD0;
    EXPECT_EQ(filter->SetDevicePower(&state), STATUS_SUCCESS);
    EXPECT_EQ(Whats(), (std::vector<std::string>{"query D0", "set D0"}));
}

TEST_F(DevicePower, ARefusedQueryStillSendsTheSetRequest) {
    sim::PowerBehavior refusing;
    refusing.refuseQuery = true;
    Boot(refusing);
    ULONG state = PowerDeviceD3;
    EXPECT_EQ(filter->QueryDevicePower(&state), STATUS_UNSUCCESSFUL);
    events.clear();
    EXPECT_EQ(filter->SetDevicePower(&state), STATUS_SUCCESS);
    EXPECT_EQ(Whats(), (std::vector<std::string>{"query D3", "set D3"}));
}

TEST_F(DevicePower, AFailedSetRequestIsReportedAndTheStateRecordedAnyway) {
    sim::PowerBehavior failing;
    failing.completion = sim::PowerBehavior::Completion::Fail;
    failing.failStatus = STATUS_INVALID_DEVICE_REQUEST;
    Boot(failing);
    ULONG state = PowerDeviceD3;
    EXPECT_EQ(filter->SetDevicePower(&state), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(filter->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
}

TEST_F(DevicePower, WaitsForAStackThatCompletesLater) {
    sim::PowerBehavior later;
    later.completion = sim::PowerBehavior::Completion::Later;
    later.delay = 7 * kMillisecond;
    Boot(later);
    ULONG state = PowerDeviceD3;
    EXPECT_EQ(filter->SetDevicePower(&state), STATUS_SUCCESS);
    EXPECT_EQ(machine->Os().Threads().Now(), 14 * kMillisecond) << "the query, then the set";
    EXPECT_EQ(filter->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
}

TEST_F(DevicePower, ADeviceThatNeverAnswersIsGivenUpAfterSixtySeconds) {
    Boot();
    ULONG d3 = PowerDeviceD3;
    filter->SetDevicePower(&d3);
    events.clear();
    machine->Os().Debug().Clear();
    function->SilentUntil(INT64_MAX);
    ULONG state = PowerDeviceD0;
    EXPECT_EQ(filter->SetDevicePower(&state), STATUS_IO_TIMEOUT);
    EXPECT_EQ(machine->Os().Threads().Now(), 60 * kSecond);
    EXPECT_EQ(events.front().what, "query D0");
    for (size_t i = 1; i < events.size(); ++i) EXPECT_EQ(events[i].what, "read") << "no set request";
    EXPECT_EQ(events.size(), 1u + 12001u) << "a look every 5 ms from 0 to 60 s";
    EXPECT_EQ(filter->DevicePowerState, static_cast<ULONG>(PowerDeviceD3)) << "unchanged";
    ASSERT_EQ(machine->Os().Debug().Lines().size(), 1u);
    EXPECT_EQ(machine->Os().Debug().Lines()[0],
              "VoxenPCI: device 01:00.0 did not answer within 60 s; D0 was not requested");
}

struct BadStateCase {
    const char* name;
    ULONG state;
};

class DevicePowerBadState : public DevicePower, public ::testing::WithParamInterface<BadStateCase> {};

TEST_P(DevicePowerBadState, IsRefusedWithoutARequestOrAChange) {
    Boot();
    ULONG state = GetParam().state;
    EXPECT_EQ(filter->SetDevicePower(&state), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(filter->QueryDevicePower(&state), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(filter->DevicePowerState, 0u);
    EXPECT_EQ(state, GetParam().state) << "the caller's value is not changed";
}

INSTANTIATE_TEST_SUITE_P(Table, DevicePowerBadState,
                         ::testing::Values(BadStateCase{"Unspecified", 0}, BadStateCase{"PowerDeviceMaximum", 5},
                                           BadStateCase{"Huge", 0xFFFFFFFF}),
                         test::CaseName());

}  // namespace
