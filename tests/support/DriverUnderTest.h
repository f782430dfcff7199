// Helpers for tests of the driver itself.
#pragma once

#include <memory>
#include <vector>

#include "common/DriverGlobals.h"
#include "filter/FilterDevice.h"
#include "sim/machine/Machine.h"

namespace test {

// DriverGlobals lives as long as the test process: each simulated boot starts
// from the state the kernel gives a freshly loaded image.
void ResetDriverGlobals();
// For tests that build the driver's pieces on a kernel without loading it: the
// globals as a fresh image holds them, with the pool type DriverEntry chooses.
void PrepareDriverGlobals();

// Loads the driver on a kernel without devices; returns its driver object.
PDRIVER_OBJECT LoadDriver();

// A machine booted with the driver.
std::unique_ptr<sim::Machine> Boot(sim::MachineSpec spec);
// The same machine before its boot (fresh driver globals), for a test that
// arms the kernel first; boot it with machine->Boot(DriverEntry).
std::unique_ptr<sim::Machine> Build(sim::MachineSpec spec);

// The driver's filter in a function's stack, or null.
FilterDevice* FilterOf(sim::Machine& machine, const std::string& location);

// Every FilterDevice in BridgeList, in order.
std::vector<FilterDevice*> Bridges();

// Device objects the driver has made (the control device among them).
size_t DriverDeviceCount();

}  // namespace test
