// The whole power cycle through the control protocol: D3 by power IRP, D3 by
// the platform (every function saved, power cut), D0 by the platform (power
// back, the device waited for, every function restored), D0 by power IRP.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "control/Protocol.h"
#include "common/Roles.h"
#include "pci/Config.h"
#include "tests/support/CaseName.h"
#include "tests/reliability/Scenarios.h"
#include "tests/support/DriverUnderTest.h"

namespace {

using test::reliability::Laptop;
using test::reliability::Switch;

struct CycleCase {
    const char* name;
    Switch by;
    ULONG method;
};

NTSTATUS ChildPower(sim::Machine& machine, ULONG function, ULONG state, ULONG mode, ULONG method) {
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(machine.Os().Io().Open(L"\\\\.\\VoxenPCI", GENERIC_READ | GENERIC_WRITE, sim::Caller::Administrator, &file),
              STATUS_SUCCESS);
    VoxenChildPowerRequest request{1, 0, function, state, mode, method};
    ULONG_PTR information = 0;
    NTSTATUS status =
        machine.Os().Io().DeviceIoControl(file, IOCTL_SET_CHILD_POWER, &request, sizeof(request), nullptr, 0, &information);
    machine.Os().Io().CloseHandle(file);
    machine.Settle();
    return status;
}

NTSTATUS QueryRelations(sim::Machine& machine) {
    sim::PnpManager& pnp = machine.Os().Pnp();
    ULONG_PTR information = 0;
    NTSTATUS status = pnp.Send(pnp.FindByPdo(machine.Function("00:1c.0")->pdo), IRP_MN_QUERY_DEVICE_RELATIONS,
                               &information, [](PIO_STACK_LOCATION location) {
                                   location->Parameters.QueryDeviceRelations.Type = RemovalRelations;
                               });
    if (NT_SUCCESS(status) && information) {
        auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
        for (ULONG i = 0; i < relations->Count; ++i) ObfDereferenceObject(relations->Objects[i]);
        ExFreePool(relations);
    }
    return status;
}

// What a function driver programmed: command, base address registers, interrupt line.
void Program(sim::PciFunction* function, ULONG seed) {
    WriteConfig32(function->pdo, 0x10, 0xF6000000 + seed * 0x100000);
    WriteConfig32(function->pdo, 0x14, 0xE0000000 + seed * 0x10000);
    WriteConfig32(function->pdo, 0x3C, 0x10 + seed);
    WriteConfig32(function->pdo, 0x04, 0x0006);
}

std::map<ULONG, ULONG> Registers(sim::PciFunction* function) {
    std::map<ULONG, ULONG> values;
    for (ULONG offset = 0; offset < 0x100; offset += 4) values[offset] = function->Peek32(offset);
    return values;
}

class PowerCycle : public ::testing::TestWithParam<CycleCase> {};

TEST_P(PowerCycle, KeepsEveryFunctionUsableAndThePnpManagerNeverRemovesIt) {
    auto machine = test::Boot(Laptop(GetParam().by));
    sim::PciFunction* display = machine->Function("01:00.0");
    sim::PciFunction* audio = machine->Function("01:00.1");
    Program(display, 1);
    Program(audio, 2);
    std::map<ULONG, ULONG> displayBefore = Registers(display), audioBefore = Registers(audio);
    int removals = 0;
    machine->Os().Io().SetObserver([&](const sim::IrpEvent& event) {
        if (event.kind == sim::IrpEvent::Kind::Dispatch && event.major == IRP_MJ_PNP &&
            (event.minor == IRP_MN_REMOVE_DEVICE || event.minor == IRP_MN_SURPRISE_REMOVAL ||
             event.minor == IRP_MN_QUERY_REMOVE_DEVICE))
            ++removals;
    });

    // D3 by power IRPs: the bridge now refuses to let its children go.
    EXPECT_EQ(ChildPower(*machine, 0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_IRP, 0), STATUS_SUCCESS);
    EXPECT_EQ(ChildPower(*machine, 1, PowerDeviceD3, VOXEN_CHILD_POWER_BY_IRP, 0), STATUS_SUCCESS);
    EXPECT_EQ(QueryRelations(*machine), STATUS_RETRY);

    // D3 by the platform: both functions saved, the power cut.
    EXPECT_EQ(ChildPower(*machine, 0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_PLATFORM, GetParam().method), STATUS_SUCCESS);
    EXPECT_FALSE(display->Powered());
    EXPECT_FALSE(audio->Powered());
    EXPECT_TRUE(test::FilterOf(*machine, "01:00.0")->ConfigSaved);
    EXPECT_TRUE(test::FilterOf(*machine, "01:00.1")->ConfigSaved) << "the other function of the device too";
    EXPECT_FALSE(test::FilterOf(*machine, "01:00.0")->PoweredOn);

    // D0 by the platform: power back, the device waited for, both restored.
    EXPECT_EQ(ChildPower(*machine, 0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_PLATFORM, GetParam().method), STATUS_SUCCESS);
    EXPECT_TRUE(display->Powered());
    EXPECT_EQ(Registers(display), displayBefore) << "the simulated device lost them all";
    EXPECT_EQ(Registers(audio), audioBefore);

    // D0 by power IRPs: the bridge lets relations through again.
    EXPECT_EQ(ChildPower(*machine, 0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_IRP, 0), STATUS_SUCCESS);
    EXPECT_EQ(ChildPower(*machine, 1, PowerDeviceD0, VOXEN_CHILD_POWER_BY_IRP, 0), STATUS_SUCCESS);
    EXPECT_EQ(QueryRelations(*machine), STATUS_NOT_SUPPORTED) << "passed down again";
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_EQ(removals, 0);
    EXPECT_TRUE(machine->Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, PowerCycle,
                         ::testing::Values(CycleCase{"Dsm", Switch::Dsm, 0}, CycleCase{"HidBoard", Switch::HidBoard, 0},
                                           CycleCase{"SerialRtsLowIsOn", Switch::SerialRtsClear, 1},
                                           CycleCase{"SerialRtsHighIsOn", Switch::SerialRtsSet, 2}),
                         test::CaseName());

TEST(PlatformPower, D3TwiceAndD0OnANewChildDoNothing) {
    auto machine = test::Boot(Laptop(Switch::Dsm));
    int writes = 0;
    machine->Os().Io().SetObserver([&](const sim::IrpEvent& event) {
        if (event.kind == sim::IrpEvent::Kind::Dispatch && event.major == IRP_MJ_PNP &&
            (event.minor == IRP_MN_READ_CONFIG || event.minor == IRP_MN_WRITE_CONFIG))
            ++writes;
    });
    EXPECT_EQ(ChildPower(*machine, 0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_PLATFORM, 0), STATUS_SUCCESS);
    EXPECT_EQ(writes, 0) << "never switched off: nothing to do";
    EXPECT_TRUE(machine->Function("01:00.0")->Powered());
    EXPECT_EQ(ChildPower(*machine, 0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_PLATFORM, 0), STATUS_SUCCESS);
    int afterFirst = writes;
    EXPECT_GT(afterFirst, 0);
    EXPECT_EQ(ChildPower(*machine, 0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_PLATFORM, 0), STATUS_SUCCESS);
    EXPECT_EQ(writes, afterFirst) << "already off: no save, no switch";
    EXPECT_EQ(ChildPower(*machine, 0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_PLATFORM, 0), STATUS_SUCCESS);
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(PlatformPower, D1AndD2ChangeNothing) {
    auto machine = test::Boot(Laptop(Switch::Dsm));
    for (ULONG state : {ULONG(PowerDeviceD1), ULONG(PowerDeviceD2)}) {
        EXPECT_EQ(ChildPower(*machine, 0, state, VOXEN_CHILD_POWER_BY_PLATFORM, 0), STATUS_SUCCESS);
        EXPECT_TRUE(machine->Function("01:00.0")->Powered());
        EXPECT_TRUE(test::FilterOf(*machine, "01:00.0")->PoweredOn);
        EXPECT_FALSE(test::FilterOf(*machine, "01:00.0")->ConfigSaved);
    }
    EXPECT_TRUE(machine->Shutdown().empty());
}

// Method 0 with neither a _DSM method nor a board: the save and restore run,
// nothing is switched, and the request succeeds.
TEST(PlatformPower, WithNothingToSwitchSavesAndRestoresAndSucceeds) {
    sim::MachineSpec spec = Laptop(Switch::HidBoard);
    spec.boards.clear();
    for (sim::PciFunctionSpec& function : spec.functions) function.powerSwitch.clear();
    auto machine = test::Boot(spec);
    FilterDevice* display = test::FilterOf(*machine, "01:00.0");
    ULONG d3 = PowerDeviceD3, d0 = PowerDeviceD0;
    EXPECT_EQ(display->SetPlatformPower(&d3, 0), STATUS_SUCCESS);
    EXPECT_TRUE(display->ConfigSaved);
    EXPECT_TRUE(machine->Function("01:00.0")->Powered()) << "nothing cut";
    EXPECT_FALSE(display->PoweredOn);
    EXPECT_EQ(display->SetPlatformPower(&d0, 0), STATUS_SUCCESS);
    EXPECT_TRUE(display->PoweredOn);
    EXPECT_TRUE(machine->Shutdown().empty());
}

// The poll after power-on is bounded: nothing is restored into a device that
// never answers, and the operation says so.
TEST(PlatformPower, ADeviceThatNeverComesBackTimesOutAndGetsNothingWritten) {
    auto machine = test::Boot(Laptop(Switch::Dsm, -1));
    FilterDevice* display = test::FilterOf(*machine, "01:00.0");
    ULONG d3 = PowerDeviceD3, d0 = PowerDeviceD0;
    EXPECT_EQ(display->SetPlatformPower(&d3, 0), STATUS_SUCCESS);
    int writes = 0;
    machine->Os().Io().SetObserver([&](const sim::IrpEvent& event) {
        if (event.kind == sim::IrpEvent::Kind::Dispatch && event.major == IRP_MJ_PNP && event.minor == IRP_MN_WRITE_CONFIG)
            ++writes;
    });
    int64_t start = machine->Os().Threads().Now();
    EXPECT_EQ(display->SetPlatformPower(&d0, 0), STATUS_IO_TIMEOUT);
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_EQ(writes, 0);
    EXPECT_TRUE(display->PoweredOn) << "the switch did act";
    EXPECT_GE(machine->Os().Threads().Now() - start, 60 * sim::kSecond);
    const std::vector<std::string>& lines = machine->Os().Debug().Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("01:00.0 did not answer within 60 s"), std::string::npos) << lines.back();
    EXPECT_TRUE(machine->Shutdown().empty());
}

// Still initialising after power-on, the device answers with retry status:
// the restore waits until it really answers.
TEST(PlatformPower, RetryStatusAnswersAreWaitedOut) {
    auto machine = test::Boot(Laptop(Switch::Dsm, 20 * sim::kMillisecond, 30 * sim::kMillisecond));
    sim::PciFunction* function = machine->Function("01:00.0");
    Program(function, 3);
    std::map<ULONG, ULONG> before = Registers(function);
    FilterDevice* display = test::FilterOf(*machine, "01:00.0");
    ULONG d3 = PowerDeviceD3, d0 = PowerDeviceD0;
    EXPECT_EQ(display->SetPlatformPower(&d3, 0), STATUS_SUCCESS);
    int64_t start = machine->Os().Threads().Now();
    EXPECT_EQ(display->SetPlatformPower(&d0, 0), STATUS_SUCCESS);
    EXPECT_GE(machine->Os().Threads().Now() - start, 50 * sim::kMillisecond);
    EXPECT_EQ(Registers(function), before) << "restored into a ready device, not dropped";
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(PlatformPower, AnOrphanHasNoPlatform) {
    auto machine = test::Boot(Laptop(Switch::Dsm));
    FilterDevice* display = test::FilterOf(*machine, "01:00.0");
    FilterDevice* parent = display->Parent;
    display->Parent = nullptr;
    ULONG d3 = PowerDeviceD3;
    EXPECT_EQ(display->SetPlatformPower(&d3, 0), STATUS_ACPI_INVALID_TABLE);
    display->Parent = parent;
    EXPECT_TRUE(machine->Shutdown().empty());
}

// One function of the device is switched back on while another is switched
// off, across interleavings: whichever goes first, the other waits for it, so
// the cut never lands in the middle of a power-on's wait and restore.
TEST(PlatformPower, SiblingsSwitchedAtOnceAreSerialised) {
    for (uint64_t seed = 1; seed <= 16; ++seed) {
        sim::MachineSpec spec = Laptop(Switch::Dsm);
        spec.seed = seed;
        auto machine = test::Boot(spec);
        sim::PciFunction* display = machine->Function("01:00.0");
        Program(display, 1);
        std::map<ULONG, ULONG> before = Registers(display);
        FilterDevice* displayFilter = test::FilterOf(*machine, "01:00.0");
        FilterDevice* audioFilter = test::FilterOf(*machine, "01:00.1");
        ULONG d3 = PowerDeviceD3;
        ASSERT_EQ(displayFilter->SetPlatformPower(&d3, 0), STATUS_SUCCESS);
        NTSTATUS on = STATUS_PENDING, off = STATUS_PENDING;
        machine->Os().Threads().StartThread("service on", [&] {
            ULONG state = PowerDeviceD0;
            on = displayFilter->SetPlatformPower(&state, 0);
        });
        machine->Os().Threads().StartThread("service off", [&] {
            ULONG state = PowerDeviceD3;
            off = audioFilter->SetPlatformPower(&state, 0);
        });
        machine->Settle();
        EXPECT_EQ(on, STATUS_SUCCESS) << "the power-on was never cut short, seed " << seed;
        EXPECT_EQ(off, STATUS_SUCCESS) << "seed " << seed;
        if (display->Powered()) {
            EXPECT_EQ(Registers(display), before) << "seed " << seed;
        }
        EXPECT_TRUE(machine->Shutdown().empty()) << "seed " << seed;
    }
}

// A function whose image could not be made (no buffer, a read that found no
// IRP, a sibling whose location is unknown) is never cut off: the device stays
// on with every register, and the request still finds its child.
struct UnsavedCase {
    const char* name;
    std::function<void(sim::Machine&)> fail;
};

class CutWithAFunctionUnsaved : public ::testing::TestWithParam<UnsavedCase> {};

TEST_P(CutWithAFunctionUnsaved, IsRefusedAndTheDeviceKeepsItsRegisters) {
    auto machine = test::Boot(Laptop(Switch::Dsm));
    sim::PciFunction* display = machine->Function("01:00.0");
    sim::PciFunction* audio = machine->Function("01:00.1");
    Program(display, 1);
    Program(audio, 2);
    std::map<ULONG, ULONG> displayBefore = Registers(display), audioBefore = Registers(audio);
    // D1 changes nothing, but finds the display: its own location is known.
    ASSERT_EQ(ChildPower(*machine, 0, PowerDeviceD1, VOXEN_CHILD_POWER_BY_PLATFORM, 0), STATUS_SUCCESS);

    GetParam().fail(*machine);
    EXPECT_EQ(ChildPower(*machine, 0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_PLATFORM, 0), STATUS_SUCCESS);
    machine->Os().FailService("IoGetDeviceProperty", STATUS_SUCCESS);
    machine->Os().Memory().FailTag(sim::MakeTag("Vxnd"), false);
    const std::vector<std::string>& lines = machine->Os().Debug().Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "VoxenPCI: device 01:00.0 not switched off: a function of it could not be saved"),
              lines.end());
    EXPECT_TRUE(display->Powered()) << "switched off with a function unsaved";
    EXPECT_TRUE(audio->Powered());
    EXPECT_TRUE(test::FilterOf(*machine, "01:00.0")->PoweredOn) << "still on as far as the switch knows";

    EXPECT_EQ(ChildPower(*machine, 0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_PLATFORM, 0), STATUS_SUCCESS);
    EXPECT_EQ(Registers(display), displayBefore);
    EXPECT_EQ(Registers(audio), audioBefore);
    EXPECT_TRUE(machine->Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, CutWithAFunctionUnsaved,
    ::testing::Values(
        UnsavedCase{"NoBufferForTheImage",
                    [](sim::Machine& machine) { machine.Os().Memory().FailTag(sim::MakeTag("Vxnd"), true); }},
        // Well inside the display's 1024 reads.
        UnsavedCase{"AReadInTheMiddleOfTheSave",
                    [](sim::Machine& machine) {
                        sim::FailurePoints& points = machine.Os().FailurePoints();
                        points.FailAt(points.Count() + 300);
                    }},
        // The audio function's location is read first by this save.
        UnsavedCase{"ASiblingOfUnknownLocation",
                    [](sim::Machine& machine) {
                        machine.Os().FailService("IoGetDeviceProperty", STATUS_INSUFFICIENT_RESOURCES);
                    }}),
    test::CaseName());

// After the power came back, a register write that found no IRP is tried
// again: the device does not come back half programmed.
TEST(PlatformPower, ARestoreWriteWithoutAnIrpIsTriedAgain) {
    // The last point of the power-on is the last write of the restore: the
    // audio function's command register. A first machine counts the points.
    uint64_t powerOnPoints = 0;
    for (bool failing : {false, true}) {
        auto machine = test::Boot(Laptop(Switch::Dsm));
        sim::PciFunction* display = machine->Function("01:00.0");
        sim::PciFunction* audio = machine->Function("01:00.1");
        Program(display, 1);
        Program(audio, 2);
        std::map<ULONG, ULONG> displayBefore = Registers(display), audioBefore = Registers(audio);
        ASSERT_EQ(ChildPower(*machine, 0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_PLATFORM, 0), STATUS_SUCCESS);
        ASSERT_FALSE(audio->Powered());
        sim::FailurePoints& points = machine->Os().FailurePoints();
        uint64_t start = points.Count();
        if (failing) points.FailAt(start + powerOnPoints);
        EXPECT_EQ(ChildPower(*machine, 0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_PLATFORM, 0), STATUS_SUCCESS);
        if (!failing) powerOnPoints = points.Count() - start;
        if (failing) {
            EXPECT_EQ(points.Failed(), "IoBuildSynchronousFsdRequest");
            EXPECT_EQ(points.Count() - start, powerOnPoints + 1) << "tried once more";
        }
        EXPECT_EQ(Registers(display), displayBefore);
        EXPECT_EQ(Registers(audio), audioBefore) << (failing ? "with its last write failed once" : "");
        EXPECT_TRUE(machine->Shutdown().empty());
    }
}

}  // namespace
