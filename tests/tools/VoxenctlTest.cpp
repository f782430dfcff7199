// voxenctl's commands against the simulated machine: what they print and the
// exit codes a service or a script relies on.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"
#include "tools/voxen-sim/CtlChannel.h"

namespace {

sim::MachineSpec Laptop() {
    sim::PciFunctionSpec audio = sim::Endpoint("01:00.1", "audio", 0x04);
    audio.deviceId = 0x10F1;
    return sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1), sim::Endpoint("01:00.0", "display", 0x03), audio}};
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

struct CtlCase {
    const char* name;
    const char* line;
    sim::Caller caller;
    int exitCode;
    const char* out;  // exact standard output
    const char* err;  // found in the messages; "" for none at all
};

class Voxenctl : public ::testing::TestWithParam<CtlCase> {};

TEST_P(Voxenctl, PrintsAndExitsAsDocumented) {
    const CtlCase& c = GetParam();
    auto machine = test::Boot(Laptop());
    SimChannel channel(machine->Os(), c.caller);
    std::string out, err;
    EXPECT_EQ(voxenctl::Run(Words(c.line), channel, &out, &err), c.exitCode) << out << err;
    EXPECT_EQ(out, c.out);
    if (*c.err == '\0') EXPECT_EQ(err, "");
    else EXPECT_NE(err.find(c.err), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.empty() ? std::string::npos : err.size() - 1) << "one line";
    EXPECT_TRUE(machine->Shutdown().empty()) << "the handle was closed";
}

const auto kAdmin = sim::Caller::Administrator;

INSTANTIATE_TEST_SUITE_P(
    Table, Voxenctl,
    ::testing::Values(
        CtlCase{"List", "list", kAdmin, 0,
                "bridges: 1\nbridge 0: 8086:a110 bus 00, 2 child(ren)\n  child 0: 10de:1c8d bus 01\n"
                "  child 1: 10de:10f1 bus 01\nSTATUS_SUCCESS (0x00000000)\n",
                ""},
        CtlCase{"ListJson", "list --json", kAdmin, 0,
                "{\"bridges\":[{\"index\":0,\"vendorId\":\"8086\",\"deviceId\":\"a110\",\"bus\":0,\"children\":["
                "{\"index\":0,\"vendorId\":\"10de\",\"deviceId\":\"1c8d\",\"bus\":1},"
                "{\"index\":1,\"vendorId\":\"10de\",\"deviceId\":\"10f1\",\"bus\":1}]}],"
                "\"status\":\"STATUS_SUCCESS\",\"statusCode\":\"0x00000000\"}\n",
                ""},
        CtlCase{"Status", "status", kAdmin, 0, "VoxenPCI control device is open\n", ""},
        CtlCase{"ArmGuard", "arm-guard", kAdmin, 0, "STATUS_SUCCESS (0x00000000)\n", ""},
        CtlCase{"BridgePower", "bridge-power 0 D0", kAdmin, 0, "STATUS_SUCCESS (0x00000000)\n", ""},
        CtlCase{"BridgePowerNoSuchBridge", "bridge-power 3 D3", kAdmin, 1, "STATUS_INVALID_DEVICE_REQUEST (0xC0000010)\n", ""},
        CtlCase{"BridgePowerBadNumber", "bridge-power 0 9", kAdmin, 1, "STATUS_INVALID_PARAMETER (0xC000000D)\n", ""},
        CtlCase{"BridgeQueryNamesTheState", "bridge-query 0 D3", kAdmin, 0, "STATUS_SUCCESS (0x00000000)\n",
                "the driver asks about state 1, not 4"},
        CtlCase{"ChildPowerByIrp", "child-power 01:00.1 D0 --irp", kAdmin, 0, "STATUS_SUCCESS (0x00000000)\n", ""},
        CtlCase{"ChildPowerNoSuchChild", "child-power 05:00.0 D3 --irp", kAdmin, 1,
                "STATUS_INVALID_PARAMETER (0xC000000D)\n", ""},
        CtlCase{"RawReserved", "raw 0x80000018", kAdmin, 1, "returned 0 byte(s)\nSTATUS_REQUEST_NOT_ACCEPTED (0xC00000D0)\n", ""},
        CtlCase{"RawBridgeInfo", "raw 0x80000008 --in 00000000 --out-len 20", kAdmin, 0,
                "returned 20 byte(s): 86 80 10 a1 00 00 00 00 00 00 00 00 00 00 00 00 02 00 00 00\n"
                "STATUS_SUCCESS (0x00000000)\n",
                ""},
        CtlCase{"RawJson", "raw 0x80000004 --out-len 4 --json", kAdmin, 0,
                "{\"code\":\"0x80000004\",\"returned\":4,\"bytes\":\"01 00 00 00\",\"status\":\"STATUS_SUCCESS\","
                "\"statusCode\":\"0x00000000\"}\n",
                ""},
        CtlCase{"RawUnnamedStatus", "raw 0x80000008 --in 00000000 --out-len 3", kAdmin, 1,
                "returned 0 byte(s)\nSTATUS_INVALID_DEVICE_REQUEST (0xC0000010)\n", ""},
        CtlCase{"AsUser", "list", sim::Caller::User, 2, "", "run as an administrator"},
        CtlCase{"UnknownCommand", "frobnicate", kAdmin, 2, "", "unknown command 'frobnicate'"},
        CtlCase{"NoCommand", "", kAdmin, 2, "", "no command given"},
        CtlCase{"BadState", "bridge-power 0 D7", kAdmin, 2, "", "'D7' is not a state"},
        CtlCase{"BadLocation", "child-power 1:0 D3 --irp", kAdmin, 2, "", "is not a PCI location"},
        CtlCase{"BothModes", "child-power 01:00.0 D3 --irp --platform", kAdmin, 2, "", "exactly one of --irp and --platform"},
        CtlCase{"MethodWithoutPlatform", "child-power 01:00.0 D3 --irp --method 1", kAdmin, 2, "",
                "--method goes with --platform"},
        CtlCase{"BadMethod", "child-power 01:00.0 D0 --platform --method sideways", kAdmin, 2, "", "is not a method"},
        CtlCase{"BadHex", "raw 0x80000004 --in 0g", kAdmin, 2, "", "is not hexadecimal bytes"},
        CtlCase{"JsonOnlyForListAndRaw", "status --json", kAdmin, 2, "", "--json is for list and raw"},
        CtlCase{"ExtraArgument", "list now", kAdmin, 2, "", "list takes no arguments"}),
    test::CaseName());

TEST(Voxenctl, WithoutTheDriverSaysToCheckTheService) {
    sim::Kernel kernel;
    SimChannel channel(kernel, sim::Caller::Administrator);
    std::string out, err;
    EXPECT_EQ(voxenctl::Run({"list"}, channel, &out, &err), 2);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("is voxenpci loaded? see sc query voxenpci"), std::string::npos) << err;
    EXPECT_TRUE(kernel.Shutdown().empty());
}

// The child-power request on the wire: six dwords, the method only with --platform.
TEST(Voxenctl, ChildPowerSendsTheTwentyFourByteRequest) {
    struct Recorder : voxenctl::Channel {
        std::vector<uint8_t> sent;
        uint32_t code = 0;
        OpenResult Open(std::string*) override { return OpenResult::Opened; }
        Reply Control(uint32_t requestCode, const std::vector<uint8_t>& input, uint32_t) override {
            code = requestCode;
            sent = input;
            return Reply{};
        }
        void Close() override {}
    };
    struct Case {
        const char* line;
        std::vector<uint32_t> fields;
    } cases[] = {{"child-power 1a:1f.7 D3 --irp", {0x1a, 0x1f, 7, 4, 0, 0}},
                 {"child-power 01:00.1 D0 --platform", {1, 0, 1, 1, 1, 0}},
                 {"child-power 01:00.0 D0 --platform --method rts-high-on", {1, 0, 0, 1, 1, 2}},
                 {"child-power 01:00.0 4 --platform --method 7", {1, 0, 0, 4, 1, 7}}};
    for (const Case& c : cases) {
        Recorder recorder;
        std::string out, err;
        EXPECT_EQ(voxenctl::Run(Words(c.line), recorder, &out, &err), 0) << c.line << err;
        EXPECT_EQ(recorder.code, 0x80000020u);
        ASSERT_EQ(recorder.sent.size(), 24u) << c.line;
        for (size_t i = 0; i < 6; ++i) {
            uint32_t field = recorder.sent[4 * i] | recorder.sent[4 * i + 1] << 8 | recorder.sent[4 * i + 2] << 16 |
                             static_cast<uint32_t>(recorder.sent[4 * i + 3]) << 24;
            EXPECT_EQ(field, c.fields[i]) << c.line << " field " << i;
        }
    }
}

}  // namespace
