#include "sim/kernel/Irql.h"

#include <cstring>

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

namespace {

struct Limit {
    const char* service;
    KIRQL irql;
};

// From the Requirements section of each service's page on learn.microsoft.com.
constexpr Limit kLimits[] = {
    // Pool: paged memory may be touched only where a page fault can be taken.
    {"ExAllocatePoolWithTag (paged pool)", APC_LEVEL},
    {"ExAllocatePoolWithTag (non-paged pool)", DISPATCH_LEVEL},
    {"ExFreePoolWithTag (paged pool)", APC_LEVEL},
    {"ExFreePoolWithTag (non-paged pool)", DISPATCH_LEVEL},
    {"ExInitializePagedLookasideList", DISPATCH_LEVEL},
    {"ExDeletePagedLookasideList", APC_LEVEL},
    {"ExAllocateFromPagedLookasideList", APC_LEVEL},
    {"ExFreeToPagedLookasideList", APC_LEVEL},
    // Waiting.
    {"KeWaitForSingleObject (no time-out, or a non-zero one)", APC_LEVEL},
    {"KeWaitForSingleObject (a zero time-out)", DISPATCH_LEVEL},
    {"KeDelayExecutionThread", APC_LEVEL},
    {"KeSetEvent", DISPATCH_LEVEL},
    {"KeClearEvent", DISPATCH_LEVEL},
    {"KeSetTimer", DISPATCH_LEVEL},
    {"KeCancelTimer", DISPATCH_LEVEL},
    {"KeInsertQueueDpc", HIGH_LEVEL},
    {"KeRemoveQueueDpc", HIGH_LEVEL},
    {"KeEnterCriticalRegion", APC_LEVEL},
    {"KeLeaveCriticalRegion", APC_LEVEL},
    {"KeAcquireSpinLock", DISPATCH_LEVEL},
    // Threads and handles.
    {"PsCreateSystemThread", PASSIVE_LEVEL},
    {"PsTerminateSystemThread", PASSIVE_LEVEL},
    {"ZwClose", PASSIVE_LEVEL},
    // Registry.
    {"ZwOpenKey", PASSIVE_LEVEL},
    {"ZwQueryValueKey", PASSIVE_LEVEL},
    {"ZwSetValueKey", PASSIVE_LEVEL},
    // Objects.
    {"IoCreateDevice", PASSIVE_LEVEL},
    {"IoDeleteDevice", PASSIVE_LEVEL},
    {"IoCreateSymbolicLink", PASSIVE_LEVEL},
    {"IoDeleteSymbolicLink", PASSIVE_LEVEL},
    {"IoAttachDeviceToDeviceStack", DISPATCH_LEVEL},
    {"IoDetachDevice", PASSIVE_LEVEL},
    {"IoGetAttachedDevice", DISPATCH_LEVEL},
    {"IoGetAttachedDeviceReference", DISPATCH_LEVEL},
    {"IoGetDeviceObjectPointer", PASSIVE_LEVEL},
    {"ObfReferenceObject", DISPATCH_LEVEL},
    {"ObOpenObjectByPointer", PASSIVE_LEVEL},
    {"ZwSetSecurityObject", PASSIVE_LEVEL},
    {"ObfDereferenceObject", DISPATCH_LEVEL},
    // Requests.
    {"IoAllocateIrp", DISPATCH_LEVEL},
    {"IoFreeIrp", DISPATCH_LEVEL},
    {"IoBuildSynchronousFsdRequest", PASSIVE_LEVEL},
    {"IoBuildDeviceIoControlRequest", PASSIVE_LEVEL},
    {"IofCallDriver", DISPATCH_LEVEL},
    {"IofCompleteRequest", DISPATCH_LEVEL},
    {"IoAllocateMdl", DISPATCH_LEVEL},
    {"IoFreeMdl", DISPATCH_LEVEL},
    {"MmProbeAndLockPages (pageable memory)", APC_LEVEL},
    {"MmProbeAndLockPages (non-paged memory)", DISPATCH_LEVEL},
    {"MmGetSystemAddressForMdlSafe", DISPATCH_LEVEL},
    {"MmUnlockPages", DISPATCH_LEVEL},
    // Plug and Play and power.
    {"IoGetDeviceProperty", PASSIVE_LEVEL},
    {"IoInvalidateDeviceRelations", DISPATCH_LEVEL},
    {"IoRegisterDeviceInterface", PASSIVE_LEVEL},
    {"IoSetDeviceInterfaceState", PASSIVE_LEVEL},
    {"IoRegisterPlugPlayNotification", PASSIVE_LEVEL},
    {"IoUnregisterPlugPlayNotification", PASSIVE_LEVEL},
    {"IoUnregisterPlugPlayNotificationEx", PASSIVE_LEVEL},
    {"RtlFreeUnicodeString", PASSIVE_LEVEL},
    {"PoRequestPowerIrp", DISPATCH_LEVEL},
    {"PoSetPowerState", DISPATCH_LEVEL},
    {"PoStartNextPowerIrp", DISPATCH_LEVEL},
    {"PoCallDriver", DISPATCH_LEVEL},
    // Remove locks.
    {"IoInitializeRemoveLock", PASSIVE_LEVEL},
    {"IoAcquireRemoveLock", DISPATCH_LEVEL},
    {"IoReleaseRemoveLock", DISPATCH_LEVEL},
    {"IoReleaseRemoveLockAndWait", PASSIVE_LEVEL},
    // Run-time library.
    {"RtlGetVersion", PASSIVE_LEVEL},
    {"RtlEqualUnicodeString", PASSIVE_LEVEL},
    // The HID parser library (hidparse.sys).
    {"HidP_GetCaps", PASSIVE_LEVEL},
    {"RtlIsNtDdiVersionAvailable", PASSIVE_LEVEL},
};

}  // namespace

const char* IrqlName(KIRQL irql) {
    switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return "an IRQL above DISPATCH_LEVEL";
    }
}

KIRQL IrqlLimit(const char* service) {
    for (const Limit& limit : kLimits)
        if (std::strcmp(limit.service, service) == 0) return limit.irql;
    Violation("the simulated kernel has no IRQL limit for %s", service);
}

void RequireIrql(const char* service) {
    KIRQL limit = IrqlLimit(service);
    KIRQL irql = Kernel::Current().Threads().Irql();
    if (irql > limit)
        Violation("IRQL_NOT_LESS_OR_EQUAL: %s called at %s; it may be called at %s at most", service, IrqlName(irql),
                  IrqlName(limit));
}

void RequireIrqlKept(KIRQL calledAt, const std::string& routine) {
    KIRQL irql = Kernel::Current().Threads().Irql();
    if (irql != calledAt)
        Violation("%s returned at %s; it was called at %s", routine.c_str(), IrqlName(irql), IrqlName(calledAt));
}

}  // namespace sim
