// One boot of a machine under the fuzzer: steps drawn from a source are
// carried out one after the other, every answer is checked, and at shutdown
// nothing may be left. A rule the simulated kernel enforces stops the
// program as it would stop Windows; the step under way is printed first.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "sim/machine/Machine.h"
#include "tools/voxen-fuzz/Source.h"
#include "tools/voxen-fuzz/Step.h"

namespace fuzz {

struct Stats {
    uint64_t requests = 0;
    uint64_t events = 0;   // machine steps carried out
    uint64_t skipped = 0;  // machine steps that did not apply (behind a pulled-out bridge)
    uint64_t boots = 0;
    std::map<uint32_t, uint64_t> statuses;  // per NTSTATUS the driver answered with

    void Add(const Stats& other);
};

// Makes and boots a machine with the driver loaded, from a fresh image.
using BootFunction = std::function<std::unique_ptr<sim::Machine>(const sim::MachineSpec&)>;
std::unique_ptr<sim::Machine> BootWithDriver(const sim::MachineSpec& spec);

class Campaign {
public:
    // `label` names the run in what is printed when the kernel stops it.
    Campaign(const sim::MachineSpec& spec, std::string label, BootFunction boot = BootWithDriver);

    // Boots, carries out steps until `requests` requests were sent (or the
    // source runs out) and shuts down. Returns the first broken rule with the
    // step that broke it, or an empty string.
    std::string Run(Source& source, uint64_t requests, Stats* stats);

    // When the kernel stops the machine, abort() after saying where, so a
    // fuzzing engine keeps the input (the kernel's own exit would lose it).
    void AbortOnStop() { abortOnStop_ = true; }

private:
    std::string Execute(sim::Machine& machine, const Step& step, Stats* stats);
    std::string Send(sim::Machine& machine, const Request& request, Stats* stats);
    bool Reachable(sim::Machine& machine, const std::string& location) const;
    void Open(sim::Machine& machine);
    void Close(sim::Machine& machine);

    sim::MachineSpec spec_;
    MachineView view_;
    std::string label_;
    BootFunction boot_;
    PFILE_OBJECT file_ = nullptr;
    bool abortOnStop_ = false;
};

}  // namespace fuzz
