#include "sim/kernel/Violation.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace sim {

namespace {
std::function<void()>& StopHook() {
    static std::function<void()> hook;
    return hook;
}

std::string VFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}
}  // namespace

void SetStopHook(std::function<void()> hook) { StopHook() = std::move(hook); }

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = VFormat(format, args);
    va_end(args);
    return out;
}

void Violation(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    fflush(stdout);
    fprintf(stderr, "*** STOP: kernel rule violated: %s\n", text.c_str());
    fflush(stderr);
    // Taken out first: a hook that breaks a rule itself must not run again.
    std::function<void()> hook = std::move(StopHook());
    StopHook() = nullptr;
    if (hook) hook();
    _exit(kViolationExitCode);
}

}  // namespace sim
