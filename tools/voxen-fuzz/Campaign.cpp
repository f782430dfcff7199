#include "tools/voxen-fuzz/Campaign.h"

#include <cstdio>
#include <cstdlib>

#include "common/DriverGlobals.h"
#include "common/Roles.h"
#include "control/Protocol.h"
#include "sim/kernel/Violation.h"
#include "tools/voxen-fuzz/Checks.h"
#include "tools/voxen-fuzz/Variation.h"

namespace fuzz {

namespace {

// What the stop hook prints: set before each step, read only if the kernel stops.
std::string stopContext;

}  // namespace

void Stats::Add(const Stats& other) {
    requests += other.requests;
    events += other.events;
    skipped += other.skipped;
    boots += other.boots;
    for (auto& [status, count] : other.statuses) statuses[status] += count;
}

std::unique_ptr<sim::Machine> BootWithDriver(const sim::MachineSpec& spec) {
    DriverGlobals = DriverGlobalsAtLoad;  // a freshly loaded image
    auto machine = std::make_unique<sim::Machine>(spec);
    machine->Boot(DriverEntry);
    return machine;
}

Campaign::Campaign(const sim::MachineSpec& spec, std::string label, BootFunction boot)
    : spec_(spec), view_(MachineView::Of(spec)), label_(std::move(label)), boot_(std::move(boot)) {}

std::string Campaign::Run(Source& source, uint64_t requests, Stats* stats) {
    sim::SetStopHook([abort = abortOnStop_] {
        std::fprintf(stderr, "voxen-fuzz: the simulated kernel stopped %s\n", stopContext.c_str());
        std::fflush(stderr);
        if (abort) std::abort();
    });
    sim::MachineSpec spec = spec_;
    Vary(source, &spec);
    stopContext = "while booting " + label_;
    std::unique_ptr<sim::Machine> machine = boot_(spec);
    ++stats->boots;
    Open(*machine);
    std::string finding;
    bool settled = true;
    const uint64_t until = stats->requests + requests;
    for (uint64_t index = 0; stats->requests < until && !source.Done() && finding.empty(); ++index) {
        Step step = NextStep(source, view_);
        stopContext = sim::Format("at step %llu of %s: ", static_cast<unsigned long long>(index), label_.c_str()) +
                      Describe(step);
        // Machine events start from a settled machine; a request may meet one under way.
        if (!settled && step.kind != Step::Kind::Control) machine->Settle();
        finding = Execute(*machine, step, stats);
        if (!finding.empty()) finding = stopContext + ": " + finding;
        settled = step.settle;
        if (settled) machine->Settle();
    }
    stopContext = "shutting down " + label_;
    Close(*machine);
    machine->Settle();
    std::vector<std::string> leaks = machine->Shutdown();
    if (finding.empty() && !leaks.empty()) {
        finding = "left behind at the shutdown of " + label_ + ":";
        for (const std::string& leak : leaks) finding += "\n  " + leak;
    }
    machine.reset();
    sim::SetStopHook(nullptr);
    return finding;
}

void Campaign::Open(sim::Machine& machine) {
    NTSTATUS status = machine.Os().Io().Open(VOXEN_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                             sim::Caller::Administrator, &file_);
    if (!NT_SUCCESS(status)) file_ = nullptr;
}

void Campaign::Close(sim::Machine& machine) {
    if (file_) machine.Os().Io().CloseHandle(file_);
    file_ = nullptr;
}

// Nothing behind a bridge that was pulled out can be reached.
bool Campaign::Reachable(sim::Machine& machine, const std::string& location) const {
    sim::PciFunction* function = machine.Function(location);
    for (int bus = function->Spec().location.bus; bus != 0;) {
        const sim::PciFunctionSpec* above = nullptr;
        for (const sim::PciFunctionSpec& candidate : spec_.functions)
            if (candidate.IsBridge() && candidate.secondaryBus == bus) above = &candidate;
        if (!above) break;
        if (!machine.Function(above->location.Text())->present) return false;
        bus = above->location.bus;
    }
    return true;
}

std::string Campaign::Execute(sim::Machine& machine, const Step& step, Stats* stats) {
    if (step.kind == Step::Kind::Control) return Send(machine, step.request, stats);
    bool applies = true;
    switch (step.kind) {
    case Step::Kind::HotPlug:
    case Step::Kind::Remove: {
        if (!Reachable(machine, step.target)) {
            applies = false;
            break;
        }
        if (!machine.Function(step.target)->present)
            machine.Plug(step.target);
        else if (step.kind == Step::Kind::HotPlug)
            machine.Unplug(step.target);
        else
            machine.Eject(step.target);
        break;
    }
    case Step::Kind::Rescan:
        applies = Reachable(machine, step.target) && machine.Function(step.target)->present;
        if (applies) machine.Rescan(step.target);
        break;
    case Step::Kind::Board:
    case Step::Kind::BoardEject:
        if (!machine.BoardPresent(step.target))
            machine.Hid().Plug(step.target);
        else if (step.kind == Step::Kind::Board)
            machine.Hid().Unplug(step.target);
        else
            machine.Hid().Eject(step.target);
        break;
    case Step::Kind::Advance: machine.Os().Threads().Advance(step.duration); break;
    case Step::Kind::Reopen:
        Close(machine);
        Open(machine);
        break;
    case Step::Kind::Control: break;
    }
    ++(applies ? stats->events : stats->skipped);
    return "";
}

std::string Campaign::Send(sim::Machine& machine, const Request& request, Stats* stats) {
    ++stats->requests;
    if (!file_) {
        // Only a driver that failed to load has no control device.
        if (DriverGlobals.ControlDevice) return "the control device exists but would not open";
        ++stats->statuses[static_cast<uint32_t>(STATUS_OBJECT_NAME_NOT_FOUND)];
        return "";
    }
    Reply reply;
    reply.output.assign(request.outputLength + kGuard, kCallerFill);
    reply.status = machine.Os().Io().DeviceIoControl(file_, request.code, request.input.empty() ? nullptr : request.input.data(),
                                                     static_cast<ULONG>(request.input.size()), reply.output.data(),
                                                     request.outputLength, &reply.information);
    ++stats->statuses[static_cast<uint32_t>(reply.status)];
    return CheckReply(request, reply);
}

}  // namespace fuzz
