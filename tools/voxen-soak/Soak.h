// Long runs of the driver on a simulated laptop with one two-function device:
// power cycles with both functions' whole configuration spaces compared to
// their image before the first cycle, and hot-plug cycles with the kernel's
// accounting (pool per tag, objects and references, handles, IRPs, MDLs)
// compared to its baseline after each.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace soak {

struct Figures {
    uint64_t cycles = 0;        // cycles completed
    int64_t virtualTime = 0;    // 100-ns units of the machine's clock, boot included
    double hostSeconds = 0;
    std::vector<std::string> drift;  // what differed, first cycles first; empty when nothing did
};

enum class Switch { Dsm, HidBoard, SerialRts };

// Stops at the first cycle that drifts (its differences are in `drift`).
// `progress` is told of every completed cycle.
Figures PowerCycles(uint64_t cycles, Switch by, const std::function<void(uint64_t)>& progress = {});
Figures HotPlugCycles(uint64_t cycles, const std::function<void(uint64_t)>& progress = {});

}  // namespace soak
