#include "tools/voxen-soak/Soak.h"

#include <chrono>
#include <map>

#include "common/Roles.h"
#include "control/Protocol.h"
#include "filter/FilterDevice.h"
#include "tests/reliability/Scenarios.h"
#include "tests/support/DriverUnderTest.h"

namespace soak {

namespace {

using test::reliability::ChildPower;
using Clock = std::chrono::steady_clock;

constexpr ULONG kConfigSpace = 4096;
const char* const kFunctions[] = {"01:00.0", "01:00.1"};

std::vector<uint32_t> Image(sim::PciFunction* function) {
    std::vector<uint32_t> image;
    for (ULONG offset = 0; offset < kConfigSpace; offset += 4) image.push_back(function->Peek32(offset));
    return image;
}

// What the kernel holds for everyone: after a cycle it must be as before.
struct Accounting {
    std::map<ULONG, std::pair<int64_t, int64_t>> pool;  // tag: live blocks, live bytes
    size_t objects = 0;
    LONG_PTR references = 0;
    size_t handles = 0;
    size_t irps = 0;
    size_t mdls = 0;
};

Accounting Take(sim::Kernel& kernel) {
    Accounting now;
    for (auto& [tag, usage] : kernel.Memory().UsageByTag())
        if (usage.liveBlocks || usage.liveBytes) now.pool[tag] = {usage.liveBlocks, usage.liveBytes};
    now.objects = kernel.Objects().LiveObjects();
    now.references = kernel.Objects().TotalReferences();
    now.handles = kernel.Handles().OpenCount();
    now.irps = kernel.Io().LiveIrps();
    now.mdls = kernel.Io().LiveMdls();
    return now;
}

void Compare(const Accounting& before, const Accounting& after, uint64_t cycle, std::vector<std::string>* drift) {
    std::string at = "cycle " + std::to_string(cycle) + ": ";
    auto tags = before.pool;
    for (auto& [tag, usage] : after.pool) tags.emplace(tag, std::pair<int64_t, int64_t>{0, 0});
    for (auto& [tag, unused] : tags) {
        (void)unused;
        auto was = before.pool.count(tag) ? before.pool.at(tag) : std::pair<int64_t, int64_t>{0, 0};
        auto is = after.pool.count(tag) ? after.pool.at(tag) : std::pair<int64_t, int64_t>{0, 0};
        if (was != is)
            drift->push_back(at + "pool tag '" + sim::TagName(tag) + "' " + std::to_string(was.first) + " blocks/" +
                             std::to_string(was.second) + " bytes, now " + std::to_string(is.first) + "/" +
                             std::to_string(is.second));
    }
    auto count = [&](const char* what, long long was, long long is) {
        if (was != is) drift->push_back(at + what + " " + std::to_string(was) + ", now " + std::to_string(is));
    };
    count("objects", static_cast<long long>(before.objects), static_cast<long long>(after.objects));
    count("object references", before.references, after.references);
    count("handles", static_cast<long long>(before.handles), static_cast<long long>(after.handles));
    count("IRPs", static_cast<long long>(before.irps), static_cast<long long>(after.irps));
    count("MDLs", static_cast<long long>(before.mdls), static_cast<long long>(after.mdls));
}

test::reliability::Switch Method(Switch by) {
    switch (by) {
    case Switch::Dsm: return test::reliability::Switch::Dsm;
    case Switch::HidBoard: return test::reliability::Switch::HidBoard;
    case Switch::SerialRts: return test::reliability::Switch::SerialRtsSet;
    }
    return test::reliability::Switch::Dsm;
}

void Finish(sim::Machine& machine, Clock::time_point start, Figures* figures) {
    figures->virtualTime = machine.Os().Threads().Now();
    for (const std::string& leak : machine.Shutdown()) figures->drift.push_back("at shutdown: " + leak);
    figures->hostSeconds = std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

Figures PowerCycles(uint64_t cycles, Switch by, const std::function<void(uint64_t)>& progress) {
    Clock::time_point start = Clock::now();
    Figures figures;
    auto machine = test::Boot(test::reliability::Laptop(Method(by)));
    test::reliability::Program(machine->Function(kFunctions[0]), 1);
    test::reliability::Program(machine->Function(kFunctions[1]), 2);
    std::vector<uint32_t> before[2] = {Image(machine->Function(kFunctions[0])), Image(machine->Function(kFunctions[1]))};
    ULONG method = by == Switch::SerialRts ? 2 : 0;
    for (uint64_t cycle = 1; cycle <= cycles && figures.drift.empty(); ++cycle) {
        struct Step {
            ULONG function, state, mode;
        };
        const Step steps[] = {{0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_IRP},      {1, PowerDeviceD3, VOXEN_CHILD_POWER_BY_IRP},
                              {0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_PLATFORM}, {0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_PLATFORM},
                              {0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_IRP},      {1, PowerDeviceD0, VOXEN_CHILD_POWER_BY_IRP}};
        for (const Step& step : steps) {
            NTSTATUS status = ChildPower(*machine, step.function, step.state, step.mode, method);
            if (status != STATUS_SUCCESS)
                figures.drift.push_back("cycle " + std::to_string(cycle) + ": a request answered " +
                                        sim::Format("0x%08X", static_cast<unsigned>(status)));
        }
        if (!machine->Function(kFunctions[0])->Powered())
            figures.drift.push_back("cycle " + std::to_string(cycle) + ": the device stayed off");
        for (int index = 0; index < 2; ++index) {
            std::vector<uint32_t> now = Image(machine->Function(kFunctions[index]));
            for (ULONG dword = 0; dword < now.size(); ++dword)
                if (now[dword] != before[index][dword])
                    figures.drift.push_back("cycle " + std::to_string(cycle) + ": " + kFunctions[index] +
                                            sim::Format(" register 0x%03X was 0x%08X, now 0x%08X", dword * 4,
                                                        before[index][dword], now[dword]));
        }
        if (!figures.drift.empty()) break;
        figures.cycles = cycle;
        if (progress) progress(cycle);
    }
    Finish(*machine, start, &figures);
    return figures;
}

Figures HotPlugCycles(uint64_t cycles, const std::function<void(uint64_t)>& progress) {
    Clock::time_point start = Clock::now();
    Figures figures;
    auto machine = test::Boot(test::reliability::Laptop(test::reliability::Switch::Dsm));
    Accounting baseline = Take(machine->Os());
    for (uint64_t cycle = 1; cycle <= cycles && figures.drift.empty(); ++cycle) {
        // Surprise removal and orderly removal in turn, each with rescans.
        for (const char* location : kFunctions) {
            if (cycle % 2)
                machine->Unplug(location);
            else
                machine->Eject(location);
            machine->Settle();
            if (!machine->LastVeto().empty())
                figures.drift.push_back("cycle " + std::to_string(cycle) + ": removal vetoed: " + machine->LastVeto());
        }
        machine->Rescan("00:1c.0");
        machine->Settle();
        for (const char* location : kFunctions) machine->Plug(location);
        machine->Settle();
        machine->Rescan("00:1c.0");
        machine->Settle();
        for (const char* location : kFunctions)
            if (!test::FilterOf(*machine, location))
                figures.drift.push_back("cycle " + std::to_string(cycle) + ": " + location + " came back unfiltered");
        if (test::Bridges().size() != 1 || test::Bridges()[0]->GetChildCount() != 2)
            figures.drift.push_back("cycle " + std::to_string(cycle) + ": the bridge does not list both functions");
        Compare(baseline, Take(machine->Os()), cycle, &figures.drift);
        if (!figures.drift.empty()) break;
        figures.cycles = cycle;
        if (progress) progress(cycle);
    }
    Finish(*machine, start, &figures);
    return figures;
}

}  // namespace soak
