// A rule the real kernel enforces by stopping the machine. The simulated kernel
// stops the program instead: the message names the rule, exit code 3.
#pragma once

#include <functional>
#include <string>

namespace sim {

constexpr int kViolationExitCode = 3;

[[noreturn]] void Violation(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Runs once when a violation stops the program, after its message and before
// the exit: what a tool must still write (a trace) it writes here. It runs on
// the thread that broke the rule, perhaps inside the kernel's own locks, so it
// may not call into the simulated kernel. An empty function removes it.
void SetStopHook(std::function<void()> hook);

// Formats like printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim
