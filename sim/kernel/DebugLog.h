// DbgPrint: formats as the kernel's does (%p as 16 upper-case hex digits,
// %ws and %wZ for wide strings, 32-bit %l) and keeps the output line by line.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

namespace sim {

std::string FormatKernel(const char* format, va_list args);

class DebugLog {
public:
    void Print(const std::string& text);
    const std::vector<std::string>& Lines() const { return lines_; }
    // The line being written, not yet ended by a newline.
    const std::string& Partial() const { return partial_; }
    void Clear() { lines_.clear(); }
    // Called with each completed line.
    void SetEcho(std::function<void(const std::string&)> echo) { echo_ = std::move(echo); }

private:
    std::vector<std::string> lines_;
    std::string partial_;
    std::function<void(const std::string&)> echo_;
};

}  // namespace sim
