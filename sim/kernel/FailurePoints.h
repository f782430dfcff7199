// Fault injection at every fallible kernel service a driver under test calls.
//
// Each such service asks FailurePoints whether to fail before it does its
// work. Only calls made while a watched driver's code runs (its entry point,
// dispatch and completion routines, callbacks, threads and DPCs) are points:
// the simulated machine's own drivers and the test are never failed, so the
// count of a scenario is the driver's alone and stays the same run after run.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/ddk/wdm.h"

namespace sim {

// The driver whose code the calling thread runs (null: the kernel's own code
// or the test's). Set for the length of every call the kernel makes into a driver.
PDRIVER_OBJECT RunningDriver();

class DriverScope {
public:
    explicit DriverScope(PDRIVER_OBJECT driver);
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

private:
    PDRIVER_OBJECT previous_;
};

class FailurePoints {
public:
    // Drivers the loader loads are the drivers under test.
    void Watch(PDRIVER_OBJECT driver) { watched_.insert(driver); }
    bool Watched(PDRIVER_OBJECT driver) const { return driver && watched_.count(driver) != 0; }

    // The `ordinal`th point met from the start of the machine (1 = the first)
    // fails; 0 fails none.
    void FailAt(uint64_t ordinal);
    // Points met so far, and the service of each, in order.
    uint64_t Count() const;
    std::vector<std::string> Services() const;
    // The point that was failed, if it was reached: its service, else empty.
    std::string Failed() const;

    // A fallible service is called: true when this call must fail.
    bool Meet(const char* service);

private:
    mutable std::mutex mutex_;
    std::set<PDRIVER_OBJECT> watched_;
    uint64_t failAt_ = 0;
    uint64_t count_ = 0;
    std::vector<std::string> services_;
    std::string failed_;
};

}  // namespace sim
