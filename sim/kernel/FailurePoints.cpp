#include "sim/kernel/FailurePoints.h"

namespace sim {

namespace {
// Simulated threads are real threads: each has its own running driver.
thread_local PDRIVER_OBJECT running = nullptr;
}  // namespace

PDRIVER_OBJECT RunningDriver() { return running; }

DriverScope::DriverScope(PDRIVER_OBJECT driver) : previous_(running) { running = driver; }
DriverScope::~DriverScope() { running = previous_; }

void FailurePoints::FailAt(uint64_t ordinal) {
    std::lock_guard<std::mutex> lock(mutex_);
    failAt_ = ordinal;
}

uint64_t FailurePoints::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

std::vector<std::string> FailurePoints::Services() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return services_;
}

std::string FailurePoints::Failed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

bool FailurePoints::Meet(const char* service) {
    if (!Watched(running)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    services_.emplace_back(service);
    if (count_ != failAt_) return false;
    failed_ = service;
    return true;
}

}  // namespace sim
