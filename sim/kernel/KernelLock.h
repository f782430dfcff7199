// The lock that keeps the simulated kernel's own state whole when simulated
// threads truly run at once (the scheduler's parallel mode).
//
// A simulated thread holds it whenever it runs the simulator's code: kernel
// services, the Plug and Play manager, hardware models, simulated drivers and
// the test itself. It lets go while it runs driver code (a dispatch,
// completion or DPC routine, a callback, a system thread's start routine) and
// while it is blocked, so driver code runs concurrently with everything else.
// In the cooperative mode only one thread runs at a time, and the lock does
// nothing.
#pragma once

namespace sim {

class KernelLock {
public:
    // Set by the kernel of a machine before its threads start.
    static void SetParallel(bool parallel);
    static bool Parallel();
    // Whether the calling thread holds the lock.
    static bool Held();
    static void Acquire();
    static void Release();
};

// Held for the scope of a kernel service or an entry into the simulator's
// code from driver code (a simulated driver's dispatch routine, say); nothing
// when the thread already holds the lock.
class KernelEntry {
public:
    KernelEntry() : took_(KernelLock::Parallel() && !KernelLock::Held()) {
        if (took_) KernelLock::Acquire();
    }
    ~KernelEntry() {
        if (took_) KernelLock::Release();
    }
    KernelEntry(const KernelEntry&) = delete;
    KernelEntry& operator=(const KernelEntry&) = delete;

private:
    bool took_;
};

// Let go for the scope of a call into driver code, taken again after it.
class DriverCode {
public:
    DriverCode() : gave_(KernelLock::Parallel() && KernelLock::Held()) {
        if (gave_) KernelLock::Release();
    }
    ~DriverCode() {
        if (gave_) KernelLock::Acquire();
    }
    DriverCode(const DriverCode&) = delete;
    DriverCode& operator=(const DriverCode&) = delete;

private:
    bool gave_;
};

}  // namespace sim
