// The serial-line switch: the port opened and DTR raised on a child's first
// request, RTS set or cleared by the method's polarity, and the port given
// up with the child.
#include <gtest/gtest.h>

#include "power/SerialSwitch.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"

namespace {

std::unique_ptr<sim::Machine> BootWithSerial(bool present, bool onWhenSet = false) {
    sim::PciFunctionSpec display = sim::Endpoint("01:00.0", "display", 0x03);
    display.powerSwitch = "serial";
    sim::PciFunctionSpec audio = sim::Endpoint("01:00.1", "audio", 0x04);
    audio.subClass = 0x03;
    sim::MachineSpec spec{1, false, {sim::RootPort("00:1c.0", 1), display, audio}};
    spec.serial.present = present;
    spec.serial.powers = "01:00";
    spec.serial.onWhenSet = onWhenSet;
    return test::Boot(spec);
}

TEST(SerialSwitch, TheFirstRequestRaisesDtrThenSetsRtsAndLaterOnesOnlyRts) {
    auto machine = BootWithSerial(true);
    FilterDevice* child = test::FilterOf(*machine, "01:00.0");
    EXPECT_EQ(SerialSwitch(child, FALSE, 1), STATUS_SUCCESS);
    EXPECT_EQ(machine->Serial()->requests, (std::vector<ULONG>{IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS}));
    EXPECT_TRUE(child->SerialOpened);
    EXPECT_EQ(SerialSwitch(child, TRUE, 1), STATUS_SUCCESS);
    EXPECT_EQ(machine->Serial()->requests,
              (std::vector<ULONG>{IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS}));
    EXPECT_TRUE(machine->Serial()->dtr);
    EXPECT_EQ(machine->Serial()->opens, 1);
    EXPECT_TRUE(machine->Shutdown().empty());
}

struct PolarityCase {
    std::string name;
    ULONG method;
    BOOLEAN on;
    ULONG code;
    bool rts;
};

class SerialPolarity : public ::testing::TestWithParam<PolarityCase> {};

TEST_P(SerialPolarity, SwitchesThePowerWiredToRts) {
    const PolarityCase& c = GetParam();
    // Each method on a port wired the way it expects.
    auto machine = BootWithSerial(true, c.method == 2);
    FilterDevice* child = test::FilterOf(*machine, "01:00.0");
    if (c.on) SerialSwitch(child, FALSE, c.method);
    EXPECT_EQ(SerialSwitch(child, c.on, c.method), STATUS_SUCCESS);
    EXPECT_EQ(machine->Serial()->requests.back(), c.code);
    EXPECT_EQ(machine->Serial()->rts, c.rts);
    EXPECT_EQ(machine->Function("01:00.0")->Powered(), c.on != FALSE);
    EXPECT_EQ(machine->Function("01:00.1")->Powered(), c.on != FALSE) << "every function of the device";
    EXPECT_TRUE(machine->Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, SerialPolarity,
                         ::testing::Values(PolarityCase{"Method1On", 1, TRUE, IOCTL_SERIAL_CLR_RTS, false},
                                           PolarityCase{"Method1Off", 1, FALSE, IOCTL_SERIAL_SET_RTS, true},
                                           PolarityCase{"Method2On", 2, TRUE, IOCTL_SERIAL_SET_RTS, true},
                                           PolarityCase{"Method2Off", 2, FALSE, IOCTL_SERIAL_CLR_RTS, false}),
                         test::CaseName());

TEST(SerialSwitch, WithoutASerialPortEveryRequestFailsWithTheOpenStatus) {
    auto machine = BootWithSerial(false);
    FilterDevice* child = test::FilterOf(*machine, "01:00.0");
    EXPECT_EQ(SerialSwitch(child, FALSE, 1), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(SerialSwitch(child, TRUE, 2), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(child->SerialOpened);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(SerialSwitch, TheChildHoldsThePortUntilItIsRemoved) {
    auto machine = BootWithSerial(true);
    EXPECT_EQ(SerialSwitch(test::FilterOf(*machine, "01:00.0"), FALSE, 1), STATUS_SUCCESS);
    // The serial driver takes one open: the other function's child cannot have it.
    FilterDevice* audio = test::FilterOf(*machine, "01:00.1");
    EXPECT_EQ(SerialSwitch(audio, FALSE, 1), STATUS_ACCESS_DENIED);

    machine->Unplug("01:00.0");
    machine->Settle();
    EXPECT_EQ(machine->Serial()->opens, 0) << "the removed child's filter gave the port up";
    EXPECT_EQ(SerialSwitch(audio, FALSE, 1), STATUS_SUCCESS);
    EXPECT_TRUE(machine->Shutdown().empty());
}

}  // namespace
