// What a power cycle costs: virtual time against the hardware's floor, the
// IRPs a cycle takes, the pool the driver holds, and how the driver's host
// time grows with the number of devices. Prints one table.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/PoolTags.h"
#include "control/Protocol.h"
#include "tests/support/DriverUnderTest.h"

namespace {

constexpr int kRuns = 7;
constexpr ULONG kRestoredDwords = 1024;  // 4 KB of configuration space per function

double Ms(int64_t ticks) { return static_cast<double>(ticks) / sim::kMillisecond; }

std::string Location(int bus, int device, int function) {
    char text[16];
    std::snprintf(text, sizeof text, "%02x:%02x.%x", bus, device, function);
    return text;
}

// A root port with its _DSM method and a two-function device behind it.
sim::MachineSpec Laptop(int64_t answersAfter) {
    sim::PciFunctionSpec port = sim::RootPort("00:1c.0", 1);
    port.dsm.present = true;
    sim::PciFunctionSpec display = sim::Endpoint("01:00.0", "display", 0x03);
    sim::PciFunctionSpec audio = sim::Endpoint("01:00.1", "audio", 0x04);
    audio.deviceId = 0x10F1;
    for (sim::PciFunctionSpec* function : {&display, &audio}) {
        function->powerSwitch = "dsm";
        function->answersAfter = answersAfter;
    }
    sim::MachineSpec spec{1, false, {port, display, audio}};
    return spec;
}

// `bridges` root ports, each with `children` single-function endpoints (or,
// past 32, every function of each device).
sim::MachineSpec Wide(int bridges, int children) {
    sim::MachineSpec spec{1, false, {}};
    for (int bridge = 0; bridge < bridges; ++bridge) {
        spec.functions.push_back(sim::RootPort(Location(0, 0x1c, bridge), static_cast<uint8_t>(bridge + 1)));
        for (int child = 0; child < children; ++child) {
            int device = children <= 32 ? child : child / 8, function = children <= 32 ? 0 : child % 8;
            spec.functions.push_back(sim::Endpoint(Location(bridge + 1, device, function), "endpoint", 0x02));
        }
    }
    return spec;
}

struct Timed {
    NTSTATUS status;
    int64_t virtualTime;
};

Timed ChildPower(sim::Machine& machine, ULONG bus, ULONG device, ULONG function, ULONG state, ULONG mode) {
    PFILE_OBJECT file = nullptr;
    if (machine.Os().Io().Open(L"\\\\.\\VoxenPCI", GENERIC_READ | GENERIC_WRITE, sim::Caller::Administrator, &file) !=
        STATUS_SUCCESS) {
        std::fprintf(stderr, "the control device did not open\n");
        std::exit(1);
    }
    VoxenChildPowerRequest request{bus, device, function, state, mode, 0};
    ULONG_PTR information = 0;
    int64_t start = machine.Os().Threads().Now();
    NTSTATUS status = machine.Os().Io().DeviceIoControl(file, IOCTL_SET_CHILD_POWER, &request, sizeof(request),
                                                        nullptr, 0, &information);
    int64_t elapsed = machine.Os().Threads().Now() - start;
    machine.Os().Io().CloseHandle(file);
    machine.Settle();
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "child power request %lu:%lu.%lu state %lu mode %lu failed: 0x%08lX\n",
                     static_cast<unsigned long>(bus), static_cast<unsigned long>(device),
                     static_cast<unsigned long>(function), static_cast<unsigned long>(state),
                     static_cast<unsigned long>(mode), static_cast<unsigned long>(status));
        std::exit(1);
    }
    return {status, elapsed};
}

// One simulated kernel at a time: the machine is shut down and gone after this.
void Finish(std::unique_ptr<sim::Machine>& machine) {
    machine->Os().Io().SetObserver(nullptr);
    std::vector<std::string> leaks = machine->Shutdown();
    machine.reset();
    if (!leaks.empty()) {
        std::fprintf(stderr, "the machine shut down with leaks: %s\n", leaks.front().c_str());
        std::exit(1);
    }
}

// Distinct IRPs seen while the observer is set, by kind.
struct IrpCount {
    std::set<uint64_t> config, power, all;
    void Watch(sim::Machine& machine) {
        machine.Os().Io().SetObserver([this](const sim::IrpEvent& event) {
            if (event.kind != sim::IrpEvent::Kind::Dispatch) return;
            all.insert(event.irpSequence);
            if (event.major == IRP_MJ_POWER) power.insert(event.irpSequence);
            if (event.major == IRP_MJ_PNP && (event.minor == IRP_MN_READ_CONFIG || event.minor == IRP_MN_WRITE_CONFIG))
                config.insert(event.irpSequence);
        });
    }
};

struct Stats {
    double median, low, high;
    double configMedian = -1;  // of the median, the part spent in configuration IRPs; -1: not measured
    size_t configIrps = 0;
};

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

Stats Summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples.front(), samples.back()};
}

// ---- power-on and power-off latency, work per cycle ----

struct Cycle {
    int64_t answer, off, on, irpOn;
    IrpCount work;
    int64_t accessTime;
};

Cycle RunCycle(int64_t answer) {
    auto machine = test::Boot(Laptop(answer));
    Cycle cycle{answer, 0, 0, 0, {}, machine->Spec().configAccessTime};
    cycle.work.Watch(*machine);
    ChildPower(*machine, 1, 0, 0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_IRP);
    ChildPower(*machine, 1, 0, 1, PowerDeviceD3, VOXEN_CHILD_POWER_BY_IRP);
    cycle.off = ChildPower(*machine, 1, 0, 0, PowerDeviceD3, VOXEN_CHILD_POWER_BY_PLATFORM).virtualTime;
    cycle.on = ChildPower(*machine, 1, 0, 0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_PLATFORM).virtualTime;
    cycle.irpOn = ChildPower(*machine, 1, 0, 0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_IRP).virtualTime;
    ChildPower(*machine, 1, 0, 1, PowerDeviceD0, VOXEN_CHILD_POWER_BY_IRP);
    Finish(machine);
    return cycle;
}

// ---- footprint ----

struct Bytes {
    int64_t nonPaged = 0, paged = 0;
    Bytes operator-(const Bytes& other) const { return {nonPaged - other.nonPaged, paged - other.paged}; }
};

Bytes DriverBytes(sim::Machine& machine, ULONG tag) {
    sim::TagUsage usage = machine.Os().Memory().Usage(tag);
    return {usage.liveBytes - usage.livePagedBytes, usage.livePagedBytes};
}

Bytes DriverBytes(sim::Machine& machine) {
    Bytes object = DriverBytes(machine, TagObject), node = DriverBytes(machine, TagNode);
    return {object.nonPaged + node.nonPaged, object.paged + node.paged};
}

struct Footprint {
    Bytes bridge, child, image, node;
    int64_t deviceObject;
};

Footprint MeasureFootprint() {
    Footprint footprint{};
    auto one = test::Boot(Wide(1, 1));
    Bytes oneBytes = DriverBytes(*one), oneNodes = DriverBytes(*one, TagNode);
    FilterDevice* child = test::FilterOf(*one, "01:00.0");
    footprint.deviceObject = static_cast<int64_t>(one->Os().Memory().SizeOf(child->DeviceObject));
    ULONG d3 = PowerDeviceD3, d0 = PowerDeviceD0;
    Bytes beforeSave = DriverBytes(*one);
    child->SetPlatformPower(&d3, 0);
    footprint.image = DriverBytes(*one) - beforeSave;
    child->SetPlatformPower(&d0, 0);
    Finish(one);

    auto two = test::Boot(Wide(1, 2));
    footprint.child = DriverBytes(*two) - oneBytes;
    footprint.node = DriverBytes(*two, TagNode) - oneNodes;
    Finish(two);

    auto twoBridges = test::Boot(Wide(2, 1));
    footprint.bridge = DriverBytes(*twoBridges) - oneBytes - footprint.child;
    Finish(twoBridges);
    return footprint;
}

// ---- scale ----

using Clock = std::chrono::steady_clock;

// Host time the bridge's filter spends on one bus-relations IRP: from its
// dispatch to its return, less the time spent below it in the bus driver.
struct RelationsTimer {
    PDEVICE_OBJECT filter = nullptr, pdo = nullptr;
    uint64_t irp = 0;
    bool done = false;
    Clock::time_point start, belowStart;
    Clock::duration below{}, total{}, config{};
    size_t configIrps = 0;
    std::map<uint64_t, std::pair<PDEVICE_OBJECT, Clock::time_point>> configOpen;
    void Watch(sim::Machine& machine, FilterDevice* bridge) {
        filter = bridge->DeviceObject;
        pdo = bridge->Pdo;
        machine.Os().Io().SetObserver([this](const sim::IrpEvent& event) {
            if (done) return;
            // The configuration IRPs the filter sends while it handles the answer.
            if (irp != 0 && event.irpSequence != irp && event.major == IRP_MJ_PNP &&
                (event.minor == IRP_MN_READ_CONFIG || event.minor == IRP_MN_WRITE_CONFIG)) {
                auto open = configOpen.find(event.irpSequence);
                if (event.kind == sim::IrpEvent::Kind::Dispatch && open == configOpen.end()) {
                    configOpen[event.irpSequence] = {event.device, Clock::now()};
                    ++configIrps;
                } else if (event.kind == sim::IrpEvent::Kind::Return && open != configOpen.end() &&
                           open->second.first == event.device) {
                    config += Clock::now() - open->second.second;
                    configOpen.erase(open);
                }
                return;
            }
            if (event.kind == sim::IrpEvent::Kind::Dispatch && event.device == filter && event.major == IRP_MJ_PNP &&
                event.minor == IRP_MN_QUERY_DEVICE_RELATIONS && event.location &&
                event.location->Parameters.QueryDeviceRelations.Type == BusRelations && irp == 0) {
                irp = event.irpSequence;
                start = Clock::now();
            } else if (irp != 0 && event.irpSequence == irp && event.device == pdo) {
                if (event.kind == sim::IrpEvent::Kind::Dispatch) belowStart = Clock::now();
                if (event.kind == sim::IrpEvent::Kind::Return) below += Clock::now() - belowStart;
            } else if (irp != 0 && event.irpSequence == irp && event.device == filter &&
                       event.kind == sim::IrpEvent::Kind::Return) {
                total = Clock::now() - start;
                done = true;
            }
        });
    }
    double Microseconds() const { return std::chrono::duration<double, std::micro>(total - below).count(); }
    double ConfigMicroseconds() const { return std::chrono::duration<double, std::micro>(config).count(); }
};

Stats NewChildren(int children) {
    auto machine = test::Boot(Wide(1, children));
    FilterDevice* bridge = test::FilterOf(*machine, "00:1c.0");
    std::vector<double> samples, config;
    size_t configIrps = 0;
    for (int run = 0; run < kRuns; ++run) {
        for (int child = 0; child < children; ++child) machine->Unplug(Wide(1, children).functions[1 + child].location.Text());
        machine->Settle();
        if (bridge->GetChildCount() != 0) {
            std::fprintf(stderr, "children left after unplugging\n");
            std::exit(1);
        }
        RelationsTimer timer;
        timer.Watch(*machine, bridge);
        for (int child = 0; child < children; ++child) machine->Plug(Wide(1, children).functions[1 + child].location.Text());
        machine->Settle();
        machine->Os().Io().SetObserver(nullptr);
        if (!timer.done || bridge->GetChildCount() != static_cast<ULONG>(children)) {
            std::fprintf(stderr, "the bus-relations answer did not bring %d children\n", children);
            std::exit(1);
        }
        samples.push_back(timer.Microseconds());
        config.push_back(timer.ConfigMicroseconds());
        configIrps = timer.configIrps;
    }
    Finish(machine);
    Stats stats = Summarise(samples);
    stats.configMedian = Median(config);
    stats.configIrps = configIrps;
    return stats;
}

Stats KnownChildren(int children) {
    auto machine = test::Boot(Wide(1, children));
    FilterDevice* bridge = test::FilterOf(*machine, "00:1c.0");
    std::vector<double> samples, config;
    size_t configIrps = 0;
    for (int run = 0; run < kRuns; ++run) {
        RelationsTimer timer;
        timer.Watch(*machine, bridge);
        machine->Rescan("00:1c.0");
        machine->Settle();
        machine->Os().Io().SetObserver(nullptr);
        if (!timer.done || bridge->GetChildCount() != static_cast<ULONG>(children)) {
            std::fprintf(stderr, "the listing of known children went wrong\n");
            std::exit(1);
        }
        samples.push_back(timer.Microseconds());
        config.push_back(timer.ConfigMicroseconds());
        configIrps = timer.configIrps;
    }
    Finish(machine);
    Stats stats = Summarise(samples);
    stats.configMedian = Median(config);
    stats.configIrps = configIrps;
    return stats;
}

// Host time of a child power request (by power IRP, D0 on a device in D0).
std::pair<Stats, Stats> ChildRequestScale() {
    auto machine = test::Boot(Wide(8, 32));
    auto measure = [&](ULONG bus, ULONG device) {
        std::vector<double> samples;
        for (int run = 0; run < kRuns; ++run) {
            Clock::time_point start = Clock::now();
            ChildPower(*machine, bus, device, 0, PowerDeviceD0, VOXEN_CHILD_POWER_BY_IRP);
            samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        return Summarise(samples);
    };
    Stats first = measure(1, 0), last = measure(8, 31);
    Finish(machine);
    return {first, last};
}

void PrintStats(const char* what, Stats stats) {
    std::printf("| %-58s | %10.1f | %10.1f .. %-10.1f |", what, stats.median, stats.low, stats.high);
    if (stats.configMedian >= 0)
        std::printf(" %10.1f | %6zu |\n", stats.configMedian, stats.configIrps);
    else
        std::printf(" %10s | %6s |\n", "-", "-");
}

}  // namespace

int main() {
    std::printf("## Power-on latency (virtual time, configAccessTime %.1f us, 2 functions restored)\n\n",
                static_cast<double>(sim::MachineSpec{}.configAccessTime) / 10.0);
    std::printf("| device answers after | platform D0 (ms) | floor (ms) | ratio | overshoot (ms) | power-IRP D0 after it (ms) |\n");
    std::printf("|---|---|---|---|---|---|\n");
    std::vector<Cycle> cycles;
    // 101 ms falls between two polls: it shows what the poll granularity costs.
    for (int64_t answer : {100 * sim::kMillisecond, 101 * sim::kMillisecond, 250 * sim::kMillisecond, 1000 * sim::kMillisecond}) {
        Cycle cycle = RunCycle(answer);
        int64_t floor = answer + 2 * kRestoredDwords * cycle.accessTime;
        std::printf("| %6.0f ms | %10.3f | %10.3f | %.4f | %8.3f | %8.3f |\n", Ms(answer), Ms(cycle.on), Ms(floor),
                    static_cast<double>(cycle.on) / static_cast<double>(floor), Ms(cycle.on - floor), Ms(cycle.irpOn));
        cycles.push_back(cycle);
    }

    std::printf("\n## Power-off latency (virtual time)\n\n");
    std::printf("| platform D3, both functions saved (ms) | floor: 2 x 1024 reads (ms) | ratio |\n|---|---|---|\n");
    int64_t offFloor = 2 * kRestoredDwords * cycles.front().accessTime;
    std::printf("| %8.3f | %8.3f | %.4f |\n", Ms(cycles.front().off), Ms(offFloor),
                static_cast<double>(cycles.front().off) / static_cast<double>(offFloor));

    const IrpCount& work = cycles.front().work;
    std::printf("\n## Work per cycle (IRP D3 x2, platform D3, platform D0, IRP D0 x2; distinct IRPs)\n\n");
    std::printf("| IRPs | per cycle | per function |\n|---|---|---|\n");
    std::printf("| configuration | %zu | %.1f |\n", work.config.size(), work.config.size() / 2.0);
    std::printf("| power | %zu | %.1f |\n", work.power.size(), work.power.size() / 2.0);
    std::printf("| all (control requests included) | %zu | %.1f |\n", work.all.size(), work.all.size() / 2.0);

    Footprint footprint = MeasureFootprint();
    std::printf("\n## Footprint (simulator's pool accounting, driver tags; bytes)\n\n");
    std::printf("| what | non-paged | paged |\n|---|---|---|\n");
    std::printf("| per bridge filter (its list node included) | %lld | %lld |\n",
                static_cast<long long>(footprint.bridge.nonPaged), static_cast<long long>(footprint.bridge.paged));
    std::printf("| per child filter (its list node included) | %lld | %lld |\n",
                static_cast<long long>(footprint.child.nonPaged), static_cast<long long>(footprint.child.paged));
    std::printf("| per saved image | %lld | %lld |\n", static_cast<long long>(footprint.image.nonPaged),
                static_cast<long long>(footprint.image.paged));
    std::printf("| per list node | %lld | %lld |\n", static_cast<long long>(footprint.node.nonPaged),
                static_cast<long long>(footprint.node.paged));
    std::printf("| device object of a filter (kernel's, besides the above) | %lld | 0 |\n",
                static_cast<long long>(footprint.deviceObject));
    std::filesystem::path image = std::filesystem::path(VOXEN_SOURCE_DIR) / "build/windows/voxenpci.sys";
    if (std::filesystem::exists(image))
        std::printf("| stripped voxenpci.sys | %ju bytes on disk | |\n",
                    static_cast<uintmax_t>(std::filesystem::file_size(image)));
    else
        std::printf("| stripped voxenpci.sys | not built (cmake --preset windows && cmake --build --preset windows) | |\n");

    std::printf("\n## Scale (host time, microseconds, median of %d runs and range)\n\n", kRuns);
    std::printf("| %-58s | %10s | %-24s | %10s | %6s |\n|---|---|---|---|---|\n", "what", "median", "min .. max",
                "in config IRPs (median)", "config IRPs");
    Stats new16 = NewChildren(16), new64 = NewChildren(64), new256 = NewChildren(256);
    PrintStats("bus-relations answer bringing 16 new children", new16);
    PrintStats("bus-relations answer bringing 64 new children", new64);
    PrintStats("bus-relations answer bringing 256 new children", new256);
    Stats known16 = KnownChildren(16), known64 = KnownChildren(64), known256 = KnownChildren(256);
    PrintStats("bus-relations answer listing 16 known children", known16);
    PrintStats("bus-relations answer listing 64 known children", known64);
    PrintStats("bus-relations answer listing 256 known children", known256);
    std::pair<Stats, Stats> request = ChildRequestScale();
    PrintStats("child power request, first child of first of 8 bridges", request.first);
    PrintStats("child power request, last child of last of 8 bridges", request.second);
    std::printf("\nGrowth of new children 16 -> 256 (16x the children): %.1fx the time (linear: 16x, quadratic: 256x)\n",
                new256.median / new16.median);
    std::printf("Growth of known children 16 -> 256: %.1fx the time; outside configuration IRPs: %.1fx\n",
                known256.median / known16.median,
                (known256.median - known256.configMedian) / (known16.median - known16.configMedian));
    std::printf("Growth of new children outside configuration IRPs: %.1fx\n",
                (new256.median - new256.configMedian) / (new16.median - new16.configMedian));
    return 0;
}
