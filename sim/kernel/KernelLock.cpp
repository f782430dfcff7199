#include "sim/kernel/KernelLock.h"

#include <atomic>
#include <mutex>

#include "sim/kernel/Violation.h"

namespace sim {

namespace {
std::mutex lock;
std::atomic<bool> parallel{false};
thread_local bool held = false;
}  // namespace

void KernelLock::SetParallel(bool on) { parallel.store(on); }

bool KernelLock::Parallel() { return parallel.load(std::memory_order_relaxed); }

bool KernelLock::Held() { return held; }

void KernelLock::Acquire() {
    if (held) Violation("the simulated kernel's lock taken twice by one thread");
    lock.lock();
    held = true;
}

void KernelLock::Release() {
    if (!held) Violation("the simulated kernel's lock released by a thread that does not hold it");
    held = false;
    lock.unlock();
}

}  // namespace sim
