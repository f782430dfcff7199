// Every failure point the driver meets in a scenario, failed once each: a run
// per point. Every run must end with the machine running, nothing leaked at
// shutdown, no filter half installed (in its stack but in no list, or listed
// but out of its stack), and requests and the driver's view of each device
// telling the truth about what happened. The run with nothing failed must
// complete the scenario.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "common/Roles.h"
#include "control/Protocol.h"
#include "filter/BridgeList.h"
#include "pci/Config.h"
#include "power/HidBoard.h"
#include "tests/reliability/Scenarios.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"

namespace {

using test::reliability::ChildPower;
using test::reliability::Laptop;
using test::reliability::Program;
using test::reliability::Registers;
using test::reliability::Switch;

// Every filter device object of the driver is in a device stack exactly when
// it is in BridgeList or in its parent's children list.
void ExpectNoHalfInstalledFilter(sim::Machine& machine) {
    PDRIVER_OBJECT driver = DriverGlobals.DriverObject;
    if (!driver) return;
    std::set<FilterDevice*> listed;
    for (FilterDevice* bridge : test::Bridges()) {
        listed.insert(bridge);
        for (ULONG index = 0; index < bridge->GetChildCount(); ++index) {
            FilterDevice* child = bridge->GetChild(index);
            ASSERT_NE(child, nullptr);
            EXPECT_EQ(child->Parent, bridge) << "a listed child names another parent";
            listed.insert(child);
        }
    }
    std::set<PDEVICE_OBJECT> stacked;
    for (auto& function : machine.Pci().Functions())
        for (PDEVICE_OBJECT device : machine.Stack(function.get()))
            if (device->DriverObject == driver) stacked.insert(device);
    std::set<PDEVICE_OBJECT> made;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice) {
        if (device == DriverGlobals.ControlDevice) continue;
        made.insert(device);
        FilterDevice* filter = FilterFromDevice(device);
        bool inStack = stacked.count(device) != 0;
        bool inList = filter && listed.count(filter) != 0;
        EXPECT_EQ(inStack, inList) << "filter device " << device << (inStack ? " in its stack but in no list"
                                                                             : " listed but out of its stack");
    }
    for (FilterDevice* filter : listed)
        EXPECT_TRUE(made.count(filter->DeviceObject)) << "a listed filter whose device object is gone";
}

// A function the platform switch cut off always has its image saved: its
// registers come back only from there.
void ExpectSavedWhileCut(sim::Machine& machine, const std::string& location) {
    FilterDevice* filter = test::FilterOf(machine, location);
    sim::PciFunction* function = machine.Function(location);
    if (!filter || !function || !function->present) return;
    if (!function->Powered()) {
        EXPECT_TRUE(filter->ConfigSaved) << location << " cut off without its saved image";
    }
}

struct Scenario {
    const char* name;
    std::function<sim::MachineSpec()> spec;
    // Brings the machine to where the scenario starts (booted, for most).
    std::function<void(sim::Machine&)> prepare;
    // The scenario; returns whether it completed fully. Checks what must hold
    // whatever failed.
    std::function<bool(sim::Machine&)> run;
};

void Boot(sim::Machine& machine) { machine.Boot(DriverEntry); }

bool Booted(sim::Machine& machine) {
    bool complete = DriverGlobals.BridgeCount == 1 && DriverGlobals.ControlDevice != nullptr;
    for (const char* location : {"00:1c.0", "01:00.0", "01:00.1"})
        complete = complete && test::FilterOf(machine, location) != nullptr;
    return complete && test::Bridges()[0]->GetChildCount() == 2;
}

bool RunBoot(sim::Machine& machine) {
    Boot(machine);
    // Loaded or not, the service's first request tells the truth.
    PFILE_OBJECT file = nullptr;
    NTSTATUS open = machine.Os().Io().Open(L"\\\\.\\VoxenPCI", GENERIC_READ | GENERIC_WRITE,
                                           sim::Caller::Administrator, &file);
    if (NT_SUCCESS(open)) {
        ULONG count = 0xFFFFFFFF;
        ULONG_PTR information = 0;
        EXPECT_EQ(machine.Os().Io().DeviceIoControl(file, IOCTL_GET_BRIDGE_COUNT, nullptr, 0, &count, sizeof(count),
                                                    &information),
                  STATUS_SUCCESS);
        EXPECT_EQ(information, sizeof(count));
        EXPECT_EQ(count, DriverGlobals.BridgeCount);
        machine.Os().Io().CloseHandle(file);
    }
    // Without its link the control device still serves the kernel; the
    // service's open then fails with a status of its own.
    return NT_SUCCESS(open) && Booted(machine);
}

bool RunHotPlug(sim::Machine& machine) {
    for (const char* location : {"01:00.0", "01:00.1"}) machine.Unplug(location);
    machine.Settle();
    ExpectNoHalfInstalledFilter(machine);
    for (const char* location : {"01:00.0", "01:00.1"}) machine.Plug(location);
    machine.Settle();
    return Booted(machine);
}

bool RunHidArrival(sim::Machine& machine) {
    machine.Hid().Plug("switch");
    machine.Settle();
    bool tracked = DriverGlobals.HidBoard != nullptr && DriverGlobals.HidBoard->Present;
    // Tracked or not, the driver never holds the board back from its safe removal.
    machine.Hid().Eject("switch");
    machine.Settle();
    EXPECT_EQ(machine.Hid().LastVeto(), "");
    return tracked && !DriverGlobals.HidBoard->Present;
}

// D3 and D0 by power IRPs for both functions; with `method` set, the platform
// switch in between, as PlatformPowerTest drives it.
bool RunPowerCycle(sim::Machine& machine, bool platform, ULONG method) {
    sim::PciFunction* display = machine.Function("01:00.0");
    sim::PciFunction* audio = machine.Function("01:00.1");
    std::map<ULONG, ULONG> displayBefore = Registers(display), audioBefore = Registers(audio);
    bool complete = true;
    auto request = [&](ULONG function, ULONG state, ULONG mode) {
        // Found is success: the service learns the outcome from the device.
        // A child whose location could not be read is not found.
        NTSTATUS status = ChildPower(machine, function, state, mode, method);
        if (status != STATUS_SUCCESS) {
            complete = false;
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
            EXPECT_NE(machine.Os().FailurePoints().Failed(), "") << "refused with nothing failed";
        }
        ExpectSavedWhileCut(machine, "01:00.0");
        ExpectSavedWhileCut(machine, "01:00.1");
    };
    request(0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_IRP);
    request(1, PowerDeviceD3, VOXEN_CHILD_POWER_BY_IRP);
    complete = complete && test::FilterOf(machine, "01:00.0")->DevicePowerState == PowerDeviceD3 &&
               test::FilterOf(machine, "01:00.1")->DevicePowerState == PowerDeviceD3;
    if (platform) {
        request(0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_PLATFORM);
        complete = complete && !display->Powered() && !audio->Powered();
        request(0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_PLATFORM);
        complete = complete && display->Powered() && audio->Powered();
        // Whatever failed, power that came back brings the registers back.
        if (display->Powered() && test::FilterOf(machine, "01:00.0")->PoweredOn) {
            EXPECT_EQ(Registers(display), displayBefore);
            EXPECT_EQ(Registers(audio), audioBefore);
        }
    }
    request(0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_IRP);
    request(1, PowerDeviceD0, VOXEN_CHILD_POWER_BY_IRP);
    return complete && test::FilterOf(machine, "01:00.0")->DevicePowerState == PowerDeviceD0 &&
           test::FilterOf(machine, "01:00.1")->DevicePowerState == PowerDeviceD0 &&
           Registers(display) == displayBefore && Registers(audio) == audioBefore;
}

// A child the driver does not know schedules the delayed rescan; the Plug and
// Play manager's own rescan of the bridge follows.
bool RunRescan(sim::Machine& machine) {
    int busRelations = 0;
    machine.Os().Io().SetObserver([&](const sim::IrpEvent& event) {
        if (event.kind == sim::IrpEvent::Kind::Dispatch && event.major == IRP_MJ_PNP &&
            event.minor == IRP_MN_QUERY_DEVICE_RELATIONS && event.location->Parameters.QueryDeviceRelations.Type == BusRelations)
            ++busRelations;
    });
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(machine.Os().Io().Open(L"\\\\.\\VoxenPCI", GENERIC_READ | GENERIC_WRITE, sim::Caller::Administrator, &file),
              STATUS_SUCCESS);
    VoxenChildPowerRequest unknown{5, 0, 0, VOXEN_STATE_D3, VOXEN_CHILD_POWER_BY_IRP, 0};
    ULONG_PTR information = 0;
    EXPECT_EQ(machine.Os().Io().DeviceIoControl(file, IOCTL_SET_CHILD_POWER, &unknown, sizeof(unknown), nullptr, 0,
                                                &information),
              STATUS_INVALID_PARAMETER);
    machine.Os().Io().CloseHandle(file);
    machine.Os().Threads().Advance(70 * sim::kSecond);
    machine.Settle();
    int delayed = busRelations;
    EXPECT_FALSE(DriverGlobals.RescanPending) << "a rescan left pending for ever: no later request could ask again";
    machine.Rescan("00:1c.0");
    machine.Settle();
    machine.Os().Io().SetObserver(nullptr);
    return delayed > 0 && busRelations > delayed && Booted(machine);
}

const Scenario kScenarios[] = {
    {"Boot", [] { return Laptop(Switch::Dsm); }, [](sim::Machine&) {}, RunBoot},
    {"HotPlugOfATwoFunctionDevice", [] { return Laptop(Switch::Dsm); }, Boot, RunHotPlug},
    {"HidBoardArrival",
     [] {
         sim::MachineSpec spec = Laptop(Switch::HidBoard);
         spec.boards[0].presentAtBoot = false;
         return spec;
     },
     Boot, RunHidArrival},
    {"PowerCycleByIrp", [] { return Laptop(Switch::Dsm); }, Boot,
     [](sim::Machine& machine) { return RunPowerCycle(machine, false, 0); }},
    {"PowerCycleByDsm", [] { return Laptop(Switch::Dsm); }, Boot,
     [](sim::Machine& machine) { return RunPowerCycle(machine, true, 0); }},
    {"PowerCycleByHidBoard", [] { return Laptop(Switch::HidBoard); }, Boot,
     [](sim::Machine& machine) { return RunPowerCycle(machine, true, 0); }},
    {"PowerCycleBySerialRts", [] { return Laptop(Switch::SerialRtsSet); }, Boot,
     [](sim::Machine& machine) { return RunPowerCycle(machine, true, 2); }},
    {"Rescan", [] { return Laptop(Switch::Dsm); }, Boot, RunRescan},
};

struct Outcome {
    uint64_t before = 0;  // points met before the scenario
    uint64_t points = 0;  // points met by the scenario
    std::vector<std::string> services;
    std::string failed;
    bool complete = false;
};

// One run, with the `ordinal`th point of the scenario failing (0: none).
Outcome RunOnce(const Scenario& scenario, uint64_t before, uint64_t ordinal) {
    std::string what = std::string(scenario.name) + (ordinal ? " with point " + std::to_string(ordinal) + " failing"
                                                              : " with nothing failing");
    sim::SetStopHook([what] { fprintf(stderr, "*** the machine stopped in the fault run of %s\n", what.c_str()); });
    auto machine = test::Build(scenario.spec());
    if (ordinal) machine->Os().FailurePoints().FailAt(before + ordinal);
    scenario.prepare(*machine);
    machine->Settle();
    // What a function driver programmed, for the power cycles to keep.
    for (ULONG seed : {1u, 2u})
        if (sim::PciFunction* function = machine->Function(seed == 1 ? "01:00.0" : "01:00.1"); function->pdo)
            Program(function, seed);
    Outcome run;
    run.before = machine->Os().FailurePoints().Count();
    run.complete = scenario.run(*machine);
    machine->Settle();
    ExpectNoHalfInstalledFilter(*machine);
    sim::FailurePoints& points = machine->Os().FailurePoints();
    run.points = points.Count() - run.before;
    run.services = points.Services();
    run.failed = points.Failed();
    std::vector<std::string> leaks = machine->Shutdown();
    EXPECT_TRUE(leaks.empty()) << what << " leaked " << leaks.size() << ", first: " << leaks.front();
    machine.reset();
    sim::SetStopHook(nullptr);
    return run;
}

// The points to fail, by ordinal. The whole campaign with
// VOXEN_FAULT_CAMPAIGN=full; else, of every run of consecutive points of one
// service (a configuration space saved dword by dword is thousands), its first
// and its last, and every 1021st point between.
std::vector<uint64_t> ChosenPoints(const std::vector<std::string>& points) {
    const char* campaign = std::getenv("VOXEN_FAULT_CAMPAIGN");
    bool full = campaign && std::string(campaign) == "full";
    std::vector<uint64_t> chosen;
    for (size_t index = 0; index < points.size(); ++index) {
        bool first = index == 0 || points[index - 1] != points[index];
        bool last = index + 1 == points.size() || points[index + 1] != points[index];
        if (full || first || last || index % 1021 == 0) chosen.push_back(index + 1);
    }
    return chosen;
}

class FaultInjection : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultInjection, EveryFailurePointFailedOnceLeavesTheMachineWholeAndTruthful) {
    const Scenario& scenario = GetParam();
    Outcome baseline = RunOnce(scenario, 0, 0);
    ASSERT_TRUE(baseline.complete) << "with nothing failing the scenario must complete";
    ASSERT_GT(baseline.points, 0u);
    const std::vector<std::string> points(baseline.services.begin() + static_cast<long>(baseline.before),
                                          baseline.services.end());
    std::map<std::string, int> byService;
    for (const std::string& service : points) ++byService[service];
    std::vector<uint64_t> chosen = ChosenPoints(points), broken;
    const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    for (uint64_t ordinal : chosen) {
        const std::string& service = points[ordinal - 1];
        SCOPED_TRACE(std::string(scenario.name) + ": point " + std::to_string(ordinal) + " of " +
                     std::to_string(baseline.points) + ", " + service);
        int failures = result->total_part_count();
        Outcome run = RunOnce(scenario, baseline.before, ordinal);
        EXPECT_EQ(run.before, baseline.before) << "the runs are not reproducible";
        EXPECT_EQ(run.failed, service) << "the point failed is not the one counted";
        if (result->total_part_count() != failures) broken.push_back(ordinal);
        if (broken.size() == 5) break;  // enough to show a fault
    }
    std::string summary;
    for (auto& [service, count] : byService) summary += " " + service + " " + std::to_string(count);
    printf("%s: %llu failure points, %zu run(s) with one failing, %zu broken:%s\n", scenario.name,
           static_cast<unsigned long long>(baseline.points), chosen.size(), broken.size(), summary.c_str());
    for (uint64_t ordinal : broken)
        printf("  broken at point %llu (%s)\n", static_cast<unsigned long long>(ordinal), points[ordinal - 1].c_str());
}

INSTANTIATE_TEST_SUITE_P(Scenario, FaultInjection, ::testing::ValuesIn(kScenarios), test::CaseName());

}  // namespace
