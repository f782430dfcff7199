#include "sim/kernel/Kernel.h"

#include <cstdio>
#include <unistd.h>

#include "sim/kernel/Violation.h"

namespace {
sim::Kernel* current = nullptr;
}  // namespace

extern "C" {
ULONG InitSafeBootMode = 0;
}

namespace sim {

Kernel::Kernel(KernelConfig config) : scheduler_(config.seed, config.scheduler), version_(config.version) {
    if (current) Violation("a second simulated kernel while one is running");
    if (config.safeMode > 3) Violation("InitSafeBootMode %u: Windows knows 0 to 3", config.safeMode);
    current = this;
    InitSafeBootMode = config.safeMode;
    // The test's thread runs the simulator's code: it holds the kernel lock
    // but while it is blocked.
    KernelLock::SetParallel(config.scheduler == SchedulerMode::Parallel);
    if (KernelLock::Parallel()) KernelLock::Acquire();
    scheduler_.AdoptCurrentThread("test");
}

Kernel::~Kernel() {
    if (!shutDown_) {
        std::vector<std::string> leaks = Shutdown();
        if (!leaks.empty()) {
            fflush(stdout);
            fprintf(stderr, "*** leak report at shutdown:\n");
            for (auto& line : leaks) fprintf(stderr, "  %s\n", line.c_str());
            fflush(stderr);
            _exit(kViolationExitCode);
        }
    }
    scheduler_.TerminateAll();
    current = nullptr;
    if (KernelLock::Held()) KernelLock::Release();
    KernelLock::SetParallel(false);
}

Kernel& Kernel::Current() {
    if (!current) Violation("a kernel service was called with no simulated kernel running");
    return *current;
}

bool Kernel::Exists() { return current != nullptr; }

void Kernel::SetResident(bool resident) {
    pool_.SetResident(resident);
    objects_.SetResident(resident);
    pnp_.SetResident(resident);
    handles_.SetResident(resident);
}

void Kernel::RevokeResidency() {
    pool_.RevokeResidency();
    objects_.RevokeResidency();
    pnp_.RevokeResidency();
    handles_.RevokeResidency();
}

NTSTATUS Kernel::FailurePoint(const char* service, NTSTATUS failure) {
    // Counted first, so a point has the same ordinal however it is failed.
    bool numbered = failurePoints_.Meet(service);
    if (NTSTATUS failing = Failing(service); !NT_SUCCESS(failing)) return failing;
    return numbered ? failure : STATUS_SUCCESS;
}

std::vector<std::string> Kernel::Shutdown() {
    if (shutDown_) return leaks_;
    for (auto& step : shutdownSteps_) step();
    scheduler_.TerminateAll();
    shutDown_ = true;
    auto append = [this](const std::vector<std::string>& lines) { leaks_.insert(leaks_.end(), lines.begin(), lines.end()); };
    append(io_.Leaks());
    append(pnp_.Leaks());
    append(objects_.Leaks());
    append(handles_.Leaks());
    // Device, file, IRP and MDL memory is reported above, as the object it holds.
    append(pool_.Leaks({MakeTag("Devi"), MakeTag("File"), MakeTag("Irp "), MakeTag("Mdl ")}));
    return leaks_;
}

}  // namespace sim
