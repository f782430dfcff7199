// Saving a device's whole configuration space and writing it back.
#include <gtest/gtest.h>

#include "pci/Config.h"
#include "tests/support/DriverUnderTest.h"

namespace {

using sim::IrpEvent;

struct Access {
    UCHAR minor;
    ULONG offset;
    ULONG value;  // writes only
};

// Records every configuration access that reaches a PDO.
void Record(sim::Machine& machine, PDEVICE_OBJECT pdo, std::vector<Access>* log) {
    machine.Os().Io().SetObserver([log, pdo](const IrpEvent& event) {
        if (event.kind != IrpEvent::Kind::Dispatch || event.device != pdo || event.major != IRP_MJ_PNP) return;
        if (event.minor != IRP_MN_READ_CONFIG && event.minor != IRP_MN_WRITE_CONFIG) return;
        const auto& config = event.location->Parameters.ReadWriteConfig;
        ULONG value = 0;
        if (event.minor == IRP_MN_WRITE_CONFIG) std::memcpy(&value, config.Buffer, sizeof value);
        log->push_back(Access{event.minor, config.Offset, value});
    });
}

class ConfigImage : public ::testing::Test {
protected:
    ConfigImage()
        : machine(test::Boot(sim::MachineSpec{
              1, false, {sim::RootPort("00:1c.0", 1), sim::Endpoint("01:00.0", "display", 0x03)}})),
          display(machine->Function("01:00.0")),
          filter(test::FilterOf(*machine, "01:00.0")) {}
    ~ConfigImage() override {
        machine->Os().Io().SetObserver(nullptr);
        EXPECT_TRUE(machine->Shutdown().empty());
    }

    void Watch() { Record(*machine, display->pdo, &accesses); }

    std::unique_ptr<sim::Machine> machine;
    sim::PciFunction* display;
    FilterDevice* filter;
    std::vector<Access> accesses;
};

TEST_F(ConfigImage, SaveReadsEveryDwordOnceInAscendingOrder) {
    Watch();
    int64_t before = machine->Os().Threads().Now();
    filter->SaveConfigSpace();
    EXPECT_EQ(machine->Os().Threads().Now() - before, 1024 * machine->Spec().configAccessTime)
        << "a dword at a time on the bus";
    ASSERT_EQ(accesses.size(), 1024u);
    for (ULONG i = 0; i < 1024; ++i) {
        EXPECT_EQ(accesses[i].minor, IRP_MN_READ_CONFIG);
        EXPECT_EQ(accesses[i].offset, 4 * i);
    }
    EXPECT_TRUE(filter->ConfigSaved);
    auto* image = reinterpret_cast<PULONG>(filter->ConfigBuffer);
    for (ULONG offset : {0x00u, 0x08u, 0x40u, 0x100u, 0xFFCu}) EXPECT_EQ(image[offset / 4], display->Peek32(offset));
}

// Ascending, but the command register last: the device must not decode or
// master while its base address registers still hold what the power loss left.
TEST_F(ConfigImage, RestoreWritesEveryDwordOnceTheCommandRegisterLastAndBringsTheRegistersBack) {
    WriteConfig32(display->pdo, 0x04, 0x0006);
    WriteConfig32(display->pdo, 0x10, 0xF6000000);
    filter->SaveConfigSpace();
    WriteConfig32(display->pdo, 0x04, 0x0000);  // what a power cut leaves
    WriteConfig32(display->pdo, 0x10, 0x00000000);
    Watch();
    filter->RestoreConfigSpace();
    ASSERT_EQ(accesses.size(), 1024u);
    std::vector<ULONG> expected;
    for (ULONG offset = 0; offset < 4096; offset += 4)
        if (offset != 0x04) expected.push_back(offset);
    expected.push_back(0x04);
    for (ULONG i = 0; i < 1024; ++i) {
        EXPECT_EQ(accesses[i].minor, IRP_MN_WRITE_CONFIG);
        EXPECT_EQ(accesses[i].offset, expected[i]) << "write " << i;
    }
    EXPECT_EQ(accesses.back().value & 0xFFFF, 0x0006u);
    EXPECT_EQ(display->Peek32(0x04) & 0xFFFF, 0x0006u);
    EXPECT_EQ(display->Peek32(0x10), 0xF6000000u);
}

TEST_F(ConfigImage, RestoreBeforeAnySaveWritesNothing) {
    Watch();
    filter->RestoreConfigSpace();
    EXPECT_TRUE(accesses.empty());
    EXPECT_NE(filter->ConfigBuffer, nullptr) << "the image's buffer exists from now on";
    EXPECT_FALSE(filter->ConfigSaved);
}

TEST_F(ConfigImage, TwoRestoresWriteTheSameImage) {
    WriteConfig32(display->pdo, 0x14, 0xF7000000);
    filter->SaveConfigSpace();
    Watch();
    filter->RestoreConfigSpace();
    WriteConfig32(display->pdo, 0x14, 0);
    filter->RestoreConfigSpace();
    ASSERT_EQ(accesses.size(), 2 * 1024u + 1);
    for (ULONG i = 0; i < 1024; ++i) EXPECT_EQ(accesses[i].value, accesses[1024 + 1 + i].value) << "dword " << i;
    EXPECT_EQ(display->Peek32(0x14), 0xF7000000u);
}

TEST_F(ConfigImage, ASaveWhileTheDeviceIsSilentKeepsTheImageItHad) {
    WriteConfig32(display->pdo, 0x10, 0xF6000000);
    filter->SaveConfigSpace();
    std::vector<UCHAR> before(filter->ConfigBuffer, filter->ConfigBuffer + 4096);
    display->SilentUntil(INT64_MAX);
    Watch();
    filter->SaveConfigSpace();
    EXPECT_EQ(accesses.size(), 1u) << "one look at the first dword";
    EXPECT_TRUE(filter->ConfigSaved);
    EXPECT_EQ(std::vector<UCHAR>(filter->ConfigBuffer, filter->ConfigBuffer + 4096), before);
    display->SilentUntil(0);
    WriteConfig32(display->pdo, 0x10, 0);
    filter->RestoreConfigSpace();
    EXPECT_EQ(display->Peek32(0x10), 0xF6000000u) << "the good image went back";
}

TEST_F(ConfigImage, AFirstSaveWhileSilentSavesNothingToRestore) {
    display->SilentUntil(INT64_MAX);
    filter->SaveConfigSpace();
    EXPECT_FALSE(filter->ConfigSaved);
    display->SilentUntil(0);
    Watch();
    filter->RestoreConfigSpace();
    EXPECT_TRUE(accesses.empty());
}

TEST_F(ConfigImage, RestoreNeverWritesAllOnesIntoCommandOrAddressRegisters) {
    filter->SaveConfigSpace();
    auto* image = reinterpret_cast<PULONG>(filter->ConfigBuffer);
    image[0x04 / 4] = 0xFFFFFFFF;  // the device vanished halfway through the save
    image[0x10 / 4] = 0xFFFFFFFF;
    image[0x24 / 4] = 0xFFFFFFFF;
    image[0x40 / 4] = 0xFFFFFFFF;
    Watch();
    filter->RestoreConfigSpace();
    EXPECT_EQ(accesses.size(), 1024u - 3);
    for (const Access& access : accesses) {
        bool programming = access.offset == 0x04 || (access.offset >= 0x10 && access.offset <= 0x24);
        if (programming) {
            EXPECT_NE(access.value, 0xFFFFFFFFu) << "offset " << access.offset;
        }
    }
}

}  // namespace
