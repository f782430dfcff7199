// The machine and the service's requests the reliability campaigns drive: a
// laptop with one two-function device (display and audio) behind a root port,
// switched by one platform method.
#pragma once

#include <map>
#include <string>

#include "sim/machine/Machine.h"

namespace test::reliability {

enum class Switch { Dsm, HidBoard, SerialRtsClear, SerialRtsSet };

// Both functions answer `answersAfter` after power returns, then report
// retry status for `retryFor`.
sim::MachineSpec Laptop(Switch by, int64_t answersAfter = 20 * sim::kMillisecond, int64_t retryFor = 0);

// IOCTL_SET_CHILD_POWER for 01:00.`function`, from the service, then settled.
NTSTATUS ChildPower(sim::Machine& machine, ULONG function, ULONG state, ULONG mode, ULONG method);

// What a function driver programmed: command, base address registers, interrupt line.
void Program(sim::PciFunction* function, ULONG seed);

// The whole 4 KB configuration space as the hardware holds it, dword by dword.
std::map<ULONG, ULONG> Registers(sim::PciFunction* function);

}  // namespace test::reliability
