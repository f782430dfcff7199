// The USB HID switch board: found when its interface arrives, inspected and
// let go when it is another device, its ON and OFF commands written as whole
// reports, and released on every way a board can leave.
#include <gtest/gtest.h>

#include <cwctype>

#include "common/Roles.h"
#include "power/HidBoard.h"
#include "tests/support/DriverUnderTest.h"

namespace {

sim::HidBoardSpec Board(const std::string& name, uint16_t reportLength = 64, bool atBoot = true) {
    sim::HidBoardSpec board;
    board.name = name;
    board.outputReportLength = reportLength;
    board.powers = "01:00";
    board.presentAtBoot = atBoot;
    return board;
}

sim::HidBoardSpec Keyboard() {
    sim::HidBoardSpec board = Board("keyboard", 2);
    board.vendorId = 0x046D;
    board.productId = 0xC31C;
    board.powers.clear();
    return board;
}

sim::MachineSpec Spec(std::vector<sim::HidBoardSpec> boards) {
    sim::PciFunctionSpec display = sim::Endpoint("01:00.0", "display", 0x03);
    display.powerSwitch = "hid:switch";
    sim::MachineSpec spec{1, false, {sim::RootPort("00:1c.0", 1), display}};
    spec.boards = std::move(boards);
    return spec;
}

class HidBoard : public ::testing::Test {
protected:
    void Boot(std::vector<sim::HidBoardSpec> boards) { machine = test::Boot(Spec(std::move(boards))); }
    ~HidBoard() override {
        if (machine) {
            EXPECT_TRUE(machine->Shutdown().empty());
        }
    }
    HidSwitchBoard* Record() { return DriverGlobals.HidBoard; }
    sim::HidBoards::Board* Hardware(const std::string& name) { return machine->Hid().Find(name); }
    void Settle() { machine->Settle(); }
    std::unique_ptr<sim::Machine> machine;
};

TEST_F(HidBoard, ABoardAtBootIsTrackedAndItsCommandsAreWholeReports) {
    Boot({Board("switch")});
    ASSERT_TRUE(Record()->Present);
    EXPECT_EQ(Record()->OutputReportLength, 64);
    sim::HidBoards::Board* board = Hardware("switch");

    EXPECT_EQ(SendHidCommand(Record(), FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(machine->Function("01:00.0")->Powered());
    EXPECT_EQ(SendHidCommand(Record(), TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(machine->Function("01:00.0")->Powered());

    ASSERT_EQ(board->writes.size(), 2u);
    std::vector<uint8_t> on = {0x3F, 0x32, 0x4C, 0x45, 0x44, 0x20, 0x4F, 0x4E, 0x21, 0x00};
    on.resize(64, 0);
    EXPECT_EQ(board->writes[1], on) << "the ten command bytes and 54 zeros";
    std::vector<uint8_t> off = {0x3F, 0x32, 0x4C, 0x45, 0x44, 0x20, 0x4F, 0x46, 0x46, 0x21, 0x00};
    off.resize(64, 0);
    EXPECT_EQ(board->writes[0], off);
    EXPECT_EQ(board->lastCommand, "?2LED ON!");
}

TEST_F(HidBoard, AnotherHidDeviceIsOpenedInspectedAndLetGo) {
    Boot({Keyboard()});
    EXPECT_FALSE(Record()->Present);
    EXPECT_EQ(Record()->BoardFile, nullptr);
    // Nothing of the driver holds it open: it can be removed safely.
    machine->Hid().Eject("keyboard");
    Settle();
    EXPECT_EQ(machine->Hid().LastVeto(), "");
    EXPECT_FALSE(Hardware("keyboard")->present);
}

TEST_F(HidBoard, WithoutABoardNothingIsWritten) {
    Boot({Board("switch", 64, false)});
    EXPECT_EQ(SendHidCommand(Record(), TRUE), STATUS_NOT_FOUND);
    EXPECT_TRUE(Hardware("switch")->writes.empty());
}

TEST_F(HidBoard, APulledBoardIsReleasedAndTrackedAgainWhenItReturns) {
    Boot({Board("switch")});
    machine->Hid().Unplug("switch");
    Settle();
    EXPECT_FALSE(Record()->Present);
    EXPECT_EQ(Record()->BoardFile, nullptr);
    EXPECT_EQ(Record()->BoardLink.Buffer, nullptr) << "the name's copy went with the board";
    EXPECT_EQ(SendHidCommand(Record(), TRUE), STATUS_NOT_FOUND);

    machine->Hid().Plug("switch");
    Settle();
    ASSERT_TRUE(Record()->Present);
    EXPECT_EQ(SendHidCommand(Record(), FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Hardware("switch")->writes.size(), 1u);
}

// The interface's removal alone, as the notification thread tells it: by
// then the name resolves no more, so only the kept copy can match it.
TEST_F(HidBoard, AnInterfaceRemovalReleasesTheBoardWhoseNameItCarries) {
    Boot({Board("switch")});
    PFILE_OBJECT file = Record()->BoardFile;
    LONG_PTR references = machine->Os().Objects().References(file);
    auto removal = [this](const std::wstring& link) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, link.c_str());
        DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{};
        notification.Event = GUID_DEVICE_INTERFACE_REMOVAL;
        notification.SymbolicLinkName = &name;
        return HidInterfaceChange(&notification, Record());
    };
    EXPECT_EQ(removal(L"\\??\\HID#VID_046D&PID_C31C#7&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}"), STATUS_SUCCESS);
    EXPECT_TRUE(Record()->Present) << "another device's removal changes nothing";

    std::wstring link = Hardware("switch")->interfaceLink;
    for (wchar_t& c : link) c = static_cast<wchar_t>(std::towupper(c));  // names compare without case
    EXPECT_EQ(removal(link), STATUS_SUCCESS);
    EXPECT_FALSE(Record()->Present);
    EXPECT_EQ(Record()->BoardLink.Buffer, nullptr);
    EXPECT_EQ(machine->Os().Objects().References(file), references - 1) << "its file object was released";
}

TEST_F(HidBoard, ASafelyRemovedBoardIsNotHeldBackByTheDriver) {
    Boot({Board("switch")});
    machine->Hid().Eject("switch");
    Settle();
    EXPECT_EQ(machine->Hid().LastVeto(), "");
    EXPECT_FALSE(Hardware("switch")->present);
    EXPECT_FALSE(Record()->Present);

    machine->Hid().Plug("switch");
    Settle();
    EXPECT_TRUE(Record()->Present);
}

// Without its removal in view the board is not kept open: it would veto its
// own safe removal. It is tracked on its next arrival.
TEST_F(HidBoard, ABoardWhoseRemovalCannotBeWatchedIsNotKept) {
    Boot({Board("switch", 64, false)});
    machine->Os().FailService("IoRegisterPlugPlayNotification", STATUS_INSUFFICIENT_RESOURCES);
    machine->Hid().Plug("switch");
    Settle();
    machine->Os().FailService("IoRegisterPlugPlayNotification", STATUS_SUCCESS);
    EXPECT_FALSE(Record()->Present);
    EXPECT_EQ(Record()->BoardFile, nullptr);
    EXPECT_EQ(Record()->BoardLink.Buffer, nullptr);
    EXPECT_EQ(SendHidCommand(Record(), FALSE), STATUS_NOT_FOUND);

    machine->Hid().Eject("switch");
    Settle();
    EXPECT_EQ(machine->Hid().LastVeto(), "") << "held open by the driver";
    machine->Hid().Plug("switch");
    Settle();
    EXPECT_TRUE(Record()->Present);
}

TEST_F(HidBoard, ARemovalVetoedByAnotherOpenLeavesTheBoardOpenAgain) {
    Boot({Board("switch")});
    // Another client holds the board open through its interface.
    std::wstring link = Hardware("switch")->interfaceLink;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, link.c_str());
    PFILE_OBJECT other = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, GENERIC_READ, &other, &device), STATUS_SUCCESS);

    machine->Hid().Eject("switch");
    Settle();
    EXPECT_NE(machine->Hid().LastVeto().find("outstanding open"), std::string::npos) << machine->Hid().LastVeto();
    ASSERT_TRUE(Record()->Present);
    EXPECT_NE(Record()->BoardFile, nullptr) << "opened again when the removal was cancelled";
    EXPECT_EQ(SendHidCommand(Record(), TRUE), STATUS_SUCCESS);

    ObfDereferenceObject(other);
    machine->Hid().Eject("switch");
    Settle();
    EXPECT_EQ(machine->Hid().LastVeto(), "") << "the new registration lets the board go too";
    EXPECT_FALSE(Record()->Present);
}

TEST_F(HidBoard, TheRemovalOfAnotherHidDeviceChangesNothing) {
    Boot({Board("switch"), Keyboard()});
    machine->Hid().Unplug("keyboard");
    Settle();
    ASSERT_TRUE(Record()->Present);
    EXPECT_EQ(SendHidCommand(Record(), TRUE), STATUS_SUCCESS);
}

TEST_F(HidBoard, AReportShorterThanTheCommandGetsNothing) {
    sim::HidBoardSpec corrupt = Board("switch");
    corrupt.corruptDescriptor = true;  // the capability query fails: length 0
    for (const sim::HidBoardSpec& board : {Board("switch", 9), corrupt}) {
        Boot({board});
        ASSERT_TRUE(Record()->Present) << board.outputReportLength;
        EXPECT_EQ(SendHidCommand(Record(), TRUE), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(SendHidCommand(Record(), FALSE), STATUS_BUFFER_TOO_SMALL);
        EXPECT_TRUE(Hardware("switch")->writes.empty());
        EXPECT_TRUE(machine->Shutdown().empty());
        machine.reset();
    }
}

TEST_F(HidBoard, ABoardPluggedInBeforeTheDriverLoadsIsSeenWhenItArrivesAgain) {
    test::ResetDriverGlobals();
    machine = std::make_unique<sim::Machine>(Spec({Board("switch", 64, false)}));
    machine->Hid().Plug("switch");
    Settle();
    machine->Boot(DriverEntry);
    EXPECT_FALSE(Record()->Present);
    machine->Hid().Unplug("switch");
    Settle();
    machine->Hid().Plug("switch");
    Settle();
    EXPECT_TRUE(Record()->Present);
}

// The service switches while the board is pulled out and comes back, across
// interleavings: each command either reaches the board or finds none, and the
// board's objects are never used after their release.
TEST(HidBoardRace, CommandsRacingAPulledAndReturningBoard) {
    for (uint64_t seed = 1; seed <= 16; ++seed) {
        sim::MachineSpec spec = Spec({Board("switch")});
        spec.seed = seed;
        auto machine = test::Boot(spec);
        std::vector<NTSTATUS> results;
        machine->Os().Threads().StartThread("service", [&] {
            for (int i = 0; i < 6; ++i) {
                results.push_back(SendHidCommand(DriverGlobals.HidBoard, i % 2 == 0));
                LARGE_INTEGER pause;
                pause.QuadPart = -2 * sim::kMillisecond;
                KeDelayExecutionThread(KernelMode, FALSE, &pause);
            }
        });
        machine->Hid().Unplug("switch");
        machine->Os().Threads().Advance(5 * sim::kMillisecond);
        machine->Hid().Plug("switch");
        machine->Settle();
        machine->Os().Threads().Advance(20 * sim::kMillisecond);
        ASSERT_EQ(results.size(), 6u) << "seed " << seed;
        size_t reached = 0;
        for (NTSTATUS status : results) {
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_NOT_FOUND) << "seed " << seed << " 0x" << std::hex
                                                                                << status;
            reached += status == STATUS_SUCCESS;
        }
        EXPECT_EQ(machine->Hid().Find("switch")->writes.size(), reached) << "seed " << seed;
        EXPECT_TRUE(DriverGlobals.HidBoard->Present) << "tracked again, seed " << seed;
        EXPECT_TRUE(machine->Shutdown().empty()) << "seed " << seed;
    }
}

}  // namespace
