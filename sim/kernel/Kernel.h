// The simulated kernel: one instance per simulated machine, reached by the
// kernel services the driver calls through Kernel::Current().
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/ddk/wdm.h"
#include "sim/kernel/DebugLog.h"
#include "sim/kernel/FailurePoints.h"
#include "sim/kernel/Handles.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/KernelLock.h"
#include "sim/kernel/Objects.h"
#include "sim/kernel/Pool.h"
#include "sim/kernel/Registry.h"
#include "sim/kernel/RemoveLocks.h"
#include "sim/kernel/Scheduler.h"
#include "sim/kernel/Violation.h"
#include "sim/pnp/PnpManager.h"

namespace sim {

// The Windows release the machine runs, as RtlGetVersion reports it.
struct WindowsVersion {
    ULONG major = 10;
    ULONG minor = 0;
    ULONG build = 19045;
    // As an NTDDI_ constant compares: 0x0A000000 for 10.0.
    ULONG Ntddi() const { return major << 24 | minor << 16; }
    // Windows 8 (6.2) and later have non-executable non-paged pool.
    bool HasNonExecutablePool() const { return major > 6 || (major == 6 && minor >= 2); }
};

struct KernelConfig {
    uint64_t seed = 1;      // picks the interleaving of simulated threads
    ULONG safeMode = 0;     // what InitSafeBootMode reports: 0, or 1 minimal, 2 with networking, 3 directory repair
    WindowsVersion version;
    // One thread at a time, or all at once (Scheduler.h); VOXEN_SCHEDULER by default.
    SchedulerMode scheduler = SchedulerModeFromEnvironment();
};

class Kernel {
public:
    // Adopts the calling thread as the simulated thread named "test".
    explicit Kernel(KernelConfig config = {});
    // Shuts down if Shutdown() was not called; a leak then stops the program
    // (exit code 3) after printing the report.
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    static Kernel& Current();
    static bool Exists();

    Scheduler& Threads() { return scheduler_; }
    Pool& Memory() { return pool_; }
    ObjectManager& Objects() { return objects_; }
    IoManager& Io() { return io_; }
    RegistryHive& Registry() { return registry_; }
    HandleTable& Handles() { return handles_; }
    PnpManager& Pnp() { return pnp_; }
    DebugLog& Debug() { return debug_; }
    sim::RemoveLocks& RemoveLocks() { return removeLocks_; }
    const WindowsVersion& Version() const { return version_; }
    sim::FailurePoints& FailurePoints() { return failurePoints_; }

    // While set, what a driver allocates, references or opens belongs to the
    // loaded driver for good (DriverEntry: the driver has no unload routine).
    void SetResident(bool resident);
    // A driver whose entry point failed is unloaded: everything it still holds is a leak.
    void RevokeResidency();

    void FailThreadCreation(bool fail) { failThreadCreation_ = fail; }
    // Makes every call of a service (by its export name) fail with `status`
    // until cleared with STATUS_SUCCESS; services that honour it say so.
    void FailService(const std::string& service, NTSTATUS status) { failing_[service] = status; }
    NTSTATUS Failing(const std::string& service) const {
        auto it = failing_.find(service);
        return it == failing_.end() ? STATUS_SUCCESS : it->second;
    }
    bool ThreadCreationFails() const { return failThreadCreation_; }
    // Every fallible service calls this first: the status it must fail with
    // (`failure`, as Windows documents for it) or STATUS_SUCCESS to go on.
    // A service failed by FailService fails for any caller; a numbered point
    // only for the driver under test.
    NTSTATUS FailurePoint(const char* service, NTSTATUS failure = STATUS_INSUFFICIENT_RESOURCES);

    // Runs before the leak check at shutdown, while threads still run (the
    // Plug and Play manager removes its device stacks here).
    void AddShutdownStep(std::function<void()> step) { shutdownSteps_.push_back(std::move(step)); }

    // Ends the machine and returns the leak report: one line per pool block,
    // lookaside list, object reference, handle or IRP that nothing released.
    std::vector<std::string> Shutdown();

private:
    // Destroyed in reverse: threads end first, the pool's memory goes last.
    DebugLog debug_;
    Pool pool_;
    RegistryHive registry_;
    HandleTable handles_;
    ObjectManager objects_;
    IoManager io_;
    PnpManager pnp_;
    sim::RemoveLocks removeLocks_;
    Scheduler scheduler_;
    WindowsVersion version_;
    sim::FailurePoints failurePoints_;
    std::vector<std::function<void()>> shutdownSteps_;
    bool failThreadCreation_ = false;
    std::map<std::string, NTSTATUS> failing_;
    bool shutDown_ = false;
    std::vector<std::string> leaks_;
};

}  // namespace sim
