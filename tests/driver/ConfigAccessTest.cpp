// Configuration-space reads and writes through the device's whole stack.
#include <gtest/gtest.h>

#include "pci/Config.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"

namespace {

sim::MachineSpec PortWithDisplay(bool displayFails = false) {
    sim::PciFunctionSpec display = sim::Endpoint("01:00.0", "display", 0x03);
    display.failConfigRequests = displayFails;
    return sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1), display}};
}

TEST(ConfigAccess, ReadsEachWidthFromTheBusDriver) {
    auto machine = test::Boot(PortWithDisplay());
    PDEVICE_OBJECT pdo = machine->Function("01:00.0")->pdo;
    EXPECT_EQ(ReadConfig16(pdo, 0x00), 0x10DE);
    EXPECT_EQ(ReadConfig16(pdo, 0x02), 0x1C8D);
    EXPECT_EQ(ReadConfig32(pdo, 0x00), 0x1C8D10DEu);
    EXPECT_EQ(ReadConfig8(pdo, 0x0B), 0x03);
    EXPECT_EQ(ReadConfig32(pdo, 0xFFC), machine->Function("01:00.0")->Peek32(0xFFC));
    EXPECT_TRUE(machine->Shutdown().empty());
}

// The bus moves whole dwords: a request costs the machine's access time for
// every dword it touches, reading or writing.
struct CostCase {
    const char* name;
    ULONG offset;
    ULONG length;
    int64_t dwords;
};

class ConfigAccessCost : public ::testing::TestWithParam<CostCase> {};

TEST_P(ConfigAccessCost, IsTheAccessTimeOfEveryDwordTouched) {
    constexpr int64_t kAccess = 30;  // 3 us
    sim::MachineSpec spec = PortWithDisplay();
    spec.configAccessTime = kAccess;
    auto machine = test::Boot(spec);
    PDEVICE_OBJECT pdo = machine->Function("01:00.0")->pdo;
    sim::Scheduler& threads = machine->Os().Threads();
    std::vector<unsigned char> buffer(4096);
    int64_t before = threads.Now();
    EXPECT_EQ(PciConfigRead(pdo, GetParam().offset, buffer.data(), GetParam().length), STATUS_SUCCESS);
    EXPECT_EQ(threads.Now() - before, GetParam().dwords * kAccess);
    before = threads.Now();
    EXPECT_EQ(PciConfigWrite(pdo, GetParam().offset, buffer.data(), GetParam().length), STATUS_SUCCESS);
    EXPECT_EQ(threads.Now() - before, GetParam().dwords * kAccess);
    EXPECT_TRUE(machine->Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigAccessCost,
                         ::testing::Values(CostCase{"OneDword", 0x00, 4, 1}, CostCase{"OneByte", 0x0B, 1, 1},
                                           CostCase{"WordAcrossDwords", 0x03, 2, 2},
                                           CostCase{"UnalignedDword", 0x02, 4, 2}, CostCase{"TwoDwords", 0x10, 8, 2},
                                           CostCase{"TwoDwordsOffByOne", 0x11, 8, 3},
                                           CostCase{"WholeSpace", 0x00, 4096, 1024}),
                         test::CaseName());

TEST(ConfigAccess, TheMachineCostsOneMicrosecondAnAccessUnlessItSaysOtherwise) {
    EXPECT_EQ(sim::MachineSpec{}.configAccessTime, sim::kMillisecond / 1000);
    for (int64_t access : {int64_t{0}, sim::kMillisecond / 1000, 2 * sim::kMillisecond}) {
        sim::MachineSpec spec = PortWithDisplay();
        spec.configAccessTime = access;
        auto machine = test::Boot(spec);
        PDEVICE_OBJECT pdo = machine->Function("01:00.0")->pdo;
        int64_t before = machine->Os().Threads().Now();
        ReadConfig32(pdo, 0x00);
        EXPECT_EQ(machine->Os().Threads().Now() - before, access);
        EXPECT_TRUE(machine->Shutdown().empty());
    }
}

TEST(ConfigAccess, WritesReachTheDeviceWhereItsRegistersAreWritable) {
    auto machine = test::Boot(PortWithDisplay());
    PDEVICE_OBJECT pdo = machine->Function("01:00.0")->pdo;
    EXPECT_EQ(WriteConfig32(pdo, 0x10, 0xF6000000), STATUS_SUCCESS);  // a base address register
    EXPECT_EQ(WriteConfig32(pdo, 0x00, 0x12345678), STATUS_SUCCESS);  // identity: read-only
    EXPECT_EQ(ReadConfig32(pdo, 0x10), 0xF6000000u);
    EXPECT_EQ(ReadConfig32(pdo, 0x00), 0x1C8D10DEu);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(ConfigAccess, ADeviceThatFailsTheRequestReadsAllOnes) {
    auto machine = test::Boot(PortWithDisplay(true));
    PDEVICE_OBJECT pdo = machine->Function("01:00.0")->pdo;
    UCHAR byte = 0;
    EXPECT_EQ(PciConfigRead(pdo, 0x0B, &byte, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ReadConfig8(pdo, 0x0B), 0xFF);
    EXPECT_EQ(ReadConfig16(pdo, 0x00), 0xFFFF);
    EXPECT_EQ(ReadConfig32(pdo, 0x00), 0xFFFFFFFFu);
    EXPECT_EQ(WriteConfig32(pdo, 0x04, 0x6), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(ConfigAccess, ARequestThatCannotBeBuiltReportsShortResourcesAndReleasesTheStack) {
    auto machine = test::Boot(PortWithDisplay());
    PDEVICE_OBJECT pdo = machine->Function("00:1c.0")->pdo;
    machine->Os().Memory().FailTag(sim::MakeTag("Irp "), true);
    ULONG value = 0xAAAAAAAA;
    EXPECT_EQ(PciConfigRead(pdo, 0, &value, 4), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(value, 0xAAAAAAAAu);
    EXPECT_EQ(ReadConfig32(pdo, 0), 0xFFFFFFFFu);
    machine->Os().Memory().FailTag(sim::MakeTag("Irp "), false);
    EXPECT_TRUE(machine->Shutdown().empty()) << "the reference on the top of the stack was released";
}

TEST(ConfigAccess, TravelsDownTheWholeStackThroughOurFilter) {
    auto machine = test::Boot(PortWithDisplay());
    PDEVICE_OBJECT filter = test::FilterOf(*machine, "00:1c.0")->DeviceObject;
    std::vector<PDEVICE_OBJECT> path;
    machine->Os().Io().SetObserver([&](const sim::IrpEvent& event) {
        if (event.kind == sim::IrpEvent::Kind::Dispatch && event.minor == IRP_MN_READ_CONFIG) path.push_back(event.device);
    });
    EXPECT_EQ(ReadConfig16(machine->Function("00:1c.0")->pdo, 0), 0x8086);
    std::vector<PDEVICE_OBJECT> stack = machine->Stack(machine->Function("00:1c.0"));
    EXPECT_EQ(path, (std::vector<PDEVICE_OBJECT>{filter, stack[1], stack[0]}));
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_TRUE(machine->Shutdown().empty());
}

}  // namespace
