// A rule the real kernel enforces by stopping the machine. The simulated kernel
// stops the program instead: the message names the rule, exit code 3.
#pragma once

#include <string>

namespace sim {

constexpr int kViolationExitCode = 3;

[[noreturn]] void Violation(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats like printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim
