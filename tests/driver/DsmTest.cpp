// The ACPI _DSM power method: the evaluation buffer byte by byte, the probe
// at attach against every answer the firmware can give, and function 3
// switching the power of the device behind the bridge.
#include <gtest/gtest.h>

#include "power/Dsm.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"
#include "tests/support/TestDriver.h"

namespace {

const char* const kFirstUuid = "906E5706-ABA3-42F6-B454-B662DF563FEF";
const char* const kSecondUuid = "5B27E2E7-93C2-4EB6-8C07-159B7A4DA5BE";

std::unique_ptr<sim::Machine> BootWith(const sim::DsmSpec& dsm) {
    sim::PciFunctionSpec port = sim::RootPort("00:1c.0", 1);
    port.dsm = dsm;
    sim::PciFunctionSpec display = sim::Endpoint("01:00.0", "display", 0x03);
    display.powerSwitch = "dsm";
    display.answersAfter = 20 * sim::kMillisecond;
    return test::Boot(sim::MachineSpec{1, false, {port, display}});
}

sim::DsmSpec Method(const char* uuid = kFirstUuid, uint32_t functions = 0x0F) {
    sim::DsmSpec dsm;
    dsm.present = true;
    dsm.uuid = uuid;
    dsm.functions = functions;
    return dsm;
}

const std::vector<std::vector<uint8_t>>& Evaluations(sim::Machine& machine) {
    return machine.Pci().Acpi(machine.Function("00:1c.0"))->Evaluations();
}

TEST(Dsm, TheInputBufferIsTheSeventyTwoBytesOfItsTable) {
    auto machine = BootWith(Method());
    ASSERT_EQ(Evaluations(*machine).size(), 1u);
    const std::vector<uint8_t> expected = {
        0x41, 0x65, 0x69, 0x43,  // signature "AeiC"
        '_',  'D',  'S',  'M',   // method name
        48,   0,    0,    0,     // size field, 48
        4,    0,    0,    0,     // four arguments
        2,    0,    16,   0,     // argument 0: a buffer of 16 bytes, the UUID in memory order
        0x06, 0x57, 0x6E, 0x90, 0xA3, 0xAB, 0xF6, 0x42, 0xB4, 0x54, 0xB6, 0x62, 0xDF, 0x56, 0x3F, 0xEF,
        0,    0,    4,    0,     // argument 1: integer, revision 0
        0,    0,    0,    0,
        0,    0,    4,    0,     // argument 2: integer, function index 0
        0,    0,    0,    0,
        3,    0,    4,    0,     // argument 3: type 3, the argument value 0
        0,    0,    0,    0,
        0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0,  // twelve zero bytes
    };
    ASSERT_EQ(expected.size(), 72u);
    EXPECT_EQ(Evaluations(*machine)[0], expected);
    EXPECT_TRUE(machine->Shutdown().empty());
}

struct ProbeCase {
    std::string name;
    sim::DsmSpec dsm;
    bool hasDsm;
    int uuidLeft;         // index into DsmPowerUuids
    size_t evaluations;   // sent at attach
    NTSTATUS evaluation;  // of function 0 with the UUID the firmware knows, into 4 bytes
};

sim::DsmSpec With(sim::DsmSpec dsm, const std::string& type, uint32_t length, uint32_t count = 1,
                  NTSTATUS status = STATUS_SUCCESS) {
    dsm.resultType = type;
    dsm.resultLength = length;
    dsm.count = count;
    dsm.status = status;
    return dsm;
}

class DsmProbe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(DsmProbe, DecidesAtAttach) {
    const ProbeCase& c = GetParam();
    auto machine = BootWith(c.dsm);
    FilterDevice* bridge = test::FilterOf(*machine, "00:1c.0");
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(bridge->HasDsm, c.hasDsm ? TRUE : FALSE);
    EXPECT_TRUE(IsEqualGUID(bridge->DsmUuid, DsmPowerUuids[c.uuidLeft]));
    if (c.dsm.present) {
        EXPECT_EQ(Evaluations(*machine).size(), c.evaluations);
    }

    GUID known;
    ASSERT_TRUE(sim::ParseGuid(c.dsm.uuid, &known));
    bridge->DsmUuid = known;
    ULONG out = 0;
    ULONG length = sizeof(out);
    EXPECT_EQ(EvaluateDsm(bridge, bridge->LowerDevice, 0, 0, &out, &length), c.evaluation);
    EXPECT_TRUE(machine->Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, DsmProbe,
    ::testing::Values(
        ProbeCase{"FirstUuidAnswersFifteen", Method(), true, 0, 1, STATUS_SUCCESS},
        ProbeCase{"SecondUuidAnswersFifteen", Method(kSecondUuid), true, 1, 2, STATUS_SUCCESS},
        ProbeCase{"MoreFunctionsThanPower", Method(kFirstUuid, 0x1F), false, 1, 2, STATUS_SUCCESS},
        ProbeCase{"OneByteBuffer", With(Method(), "buffer", 1), true, 0, 1, STATUS_SUCCESS},
        ProbeCase{"LongerBuffer", With(Method(), "buffer", 8), false, 1, 2, STATUS_BUFFER_TOO_SMALL},
        ProbeCase{"LongerString", With(Method(), "string", 5), false, 1, 2, STATUS_BUFFER_TOO_SMALL},
        ProbeCase{"TwoResults", With(Method(), "integer", 4, 2), false, 1, 2, STATUS_UNSUCCESSFUL},
        ProbeCase{"EvaluationFails", With(Method(), "integer", 4, 1, STATUS_OBJECT_NAME_NOT_FOUND), false, 1, 2,
                  STATUS_OBJECT_NAME_NOT_FOUND},
        ProbeCase{"NoAcpiInTheStack", sim::DsmSpec{}, false, 1, 0, STATUS_INVALID_DEVICE_REQUEST}),
    test::CaseName());

TEST(Dsm, FunctionThreeCutsAndRestoresThePowerBehindTheBridge) {
    auto machine = BootWith(Method());
    FilterDevice* bridge = test::FilterOf(*machine, "00:1c.0");
    sim::PciFunction* display = machine->Function("01:00.0");

    EXPECT_EQ(DsmSetPower(bridge, 2), STATUS_SUCCESS);
    std::vector<uint8_t> off = Evaluations(*machine).back();
    EXPECT_EQ(off[48], 3) << "function index 3";
    EXPECT_EQ((std::vector<uint8_t>(off.begin() + 52, off.begin() + 60)), (std::vector<uint8_t>{3, 0, 4, 0, 0, 0, 0, 0}))
        << "power off is argument 0";
    EXPECT_FALSE(display->Powered());

    EXPECT_EQ(DsmSetPower(bridge, 1), STATUS_SUCCESS);
    std::vector<uint8_t> on = Evaluations(*machine).back();
    EXPECT_EQ((std::vector<uint8_t>(on.begin() + 52, on.begin() + 60)), (std::vector<uint8_t>{3, 0, 4, 0, 1, 0, 0, 0}))
        << "power on is argument 1";
    EXPECT_TRUE(display->Powered());

    size_t sent = Evaluations(*machine).size();
    EXPECT_EQ(DsmSetPower(bridge, 3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Evaluations(*machine).size(), sent) << "nothing is evaluated for another kind";
    EXPECT_TRUE(machine->Shutdown().empty());
}

// An ACPI driver that claims more result data than its 30-byte answer holds.
TEST(Dsm, NoMoreIsCopiedThanTheOutputBufferHolds) {
    sim::Kernel kernel;
    test::PrepareDriverGlobals();
    test::TestDriver acpi;
    PDEVICE_OBJECT target = acpi.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
        auto* output = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        const uint8_t answer[16] = {0x41, 0x65, 0x6F, 0x42, 30, 0, 0, 0, 1, 0, 0, 0, 2, 0, 200, 0};
        std::memcpy(output, answer, sizeof(answer));
        std::memset(output + 16, 0x0F, 14);
        return sim::Complete(irp, STATUS_SUCCESS, 30);
    });
    FilterDevice* filter = NewFilterDevice();
    filter->DsmUuid = DsmPowerUuids[0];
    uint8_t out[256];
    std::memset(out, 0xEE, sizeof(out));
    ULONG length = sizeof(out);
    EXPECT_EQ(EvaluateDsm(filter, target, 0, 0, out, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, sizeof(out));
    for (uint8_t byte : out) ASSERT_EQ(byte, 0xEE) << "nothing was copied";
    DestroyFilterDevice(filter);
    acpi.Remove(target);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

}  // namespace
