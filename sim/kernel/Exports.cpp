// The kernel services a driver calls, each forwarded to the part of the
// simulated kernel that owns it.
#include <cwchar>
#include <thread>

#include "sim/ddk/wdm.h"
#include "sim/kernel/Irql.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

using sim::Kernel;
using sim::RequireIrql;

namespace {
Kernel& K() { return Kernel::Current(); }

const char* BugCheckName(ULONG code) {
    switch (code) {
    case 0x139: return "KERNEL_SECURITY_CHECK_FAILURE";
    case 0xC4: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case 0xCE: return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    default: return "bug check";
    }
}
}  // namespace

extern "C" {

// ---------------------------------------------------------------- runtime
VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    sim::KernelEntry inKernel;
    size_t length = source ? wcslen(source) : 0;
    destination->Buffer = const_cast<PWCH>(source);
    destination->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    destination->MaximumLength = source ? static_cast<USHORT>((length + 1) * sizeof(WCHAR)) : 0;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING first, PCUNICODE_STRING second, BOOLEAN caseInsensitive) {
    sim::KernelEntry inKernel;
    RequireIrql("RtlEqualUnicodeString");
    if (first->Length != second->Length) return FALSE;
    for (USHORT i = 0; i < first->Length / sizeof(WCHAR); ++i) {
        WCHAR a = first->Buffer[i], b = second->Buffer[i];
        if (caseInsensitive) {
            if (a >= L'a' && a <= L'z') a = static_cast<WCHAR>(a - L'a' + L'A');
            if (b >= L'a' && b <= L'z') b = static_cast<WCHAR>(b - L'a' + L'A');
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}

ULONG DbgPrint(PCSTR format, ...) {
    sim::KernelEntry inKernel;
    va_list args;
    va_start(args, format);
    std::string text = sim::FormatKernel(format, args);
    va_end(args);
    K().Debug().Print(text);
    return STATUS_SUCCESS;
}

VOID KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
    sim::KernelEntry inKernel;
    sim::Violation("KeBugCheckEx %s (0x%X, 0x%llX, 0x%llX, 0x%llX, 0x%llX)%s", BugCheckName(code), code,
                   static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
                   static_cast<unsigned long long>(p3), static_cast<unsigned long long>(p4),
                   code == 0x139 && p1 == 3 ? ": a list entry's links are corrupt" : "");
}

// ---------------------------------------------------------------- IRQL and spin locks
KIRQL KeGetCurrentIrql(void) { return K().Threads().Irql(); }

KIRQL KfRaiseIrql(KIRQL irql) {
    sim::KernelEntry inKernel;
    KIRQL old = K().Threads().Irql();
    if (irql < old)
        sim::Violation("IRQL_NOT_GREATER_OR_EQUAL: KeRaiseIrql to %s from %s", sim::IrqlName(irql), sim::IrqlName(old));
    if (irql > DISPATCH_LEVEL) sim::Violation("KeRaiseIrql to IRQL %u: the simulated machine has no device IRQLs", irql);
    K().Threads().SetIrql(irql);
    return old;
}

VOID KeLowerIrql(KIRQL irql) {
    sim::KernelEntry inKernel;
    KIRQL current = K().Threads().Irql();
    if (irql > current)
        sim::Violation("IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql to %s from %s", sim::IrqlName(irql), sim::IrqlName(current));
    K().Threads().SetIrql(irql);
}

// In the cooperative mode one processor runs at a time and nothing preempts a
// holder at DISPATCH_LEVEL: a held lock reads 1, and acquiring it can only spin
// for ever. In the parallel mode the lock holds its owner's thread id and
// others spin on it, as processors do; an owner acquiring it again would spin
// for ever.
VOID KeInitializeSpinLock(PKSPIN_LOCK lock) { *lock = 0; }

namespace {
ULONG_PTR SpinLockOwner() { return static_cast<ULONG_PTR>(K().Threads().CurrentThreadId()); }
}  // namespace

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
    if (K().Threads().Irql() != DISPATCH_LEVEL)
        sim::Violation("KeAcquireSpinLockAtDpcLevel called at %s", sim::IrqlName(K().Threads().Irql()));
    if (!sim::KernelLock::Parallel()) {
        if (*lock != 0) sim::Violation("a spin lock acquired while it is held: the processor would spin for ever");
        *lock = 1;
        return;
    }
    ULONG_PTR self = SpinLockOwner();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == self)
        sim::Violation("a spin lock acquired while it is held, by the thread that holds it: the processor would spin for ever");
    // Spinning, the thread holds nothing of the simulated kernel's.
    sim::DriverCode spinning;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
        std::this_thread::yield();
    }
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
    if (K().Threads().Irql() != DISPATCH_LEVEL)
        sim::Violation("KeReleaseSpinLockFromDpcLevel called at %s", sim::IrqlName(K().Threads().Irql()));
    if (!sim::KernelLock::Parallel()) {
        if (*lock != 1) sim::Violation("a spin lock released that is not held");
        *lock = 0;
        return;
    }
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != SpinLockOwner())
        sim::Violation("a spin lock released that the releasing thread does not hold");
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    RequireIrql("KeAcquireSpinLock");
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(lock);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL irql) {
    KeReleaseSpinLockFromDpcLevel(lock);
    KeLowerIrql(irql);
}

// ---------------------------------------------------------------- pool
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
    sim::KernelEntry inKernel;
    const sim::WindowsVersion& version = K().Version();
    switch (type) {
    case PagedPool: RequireIrql("ExAllocatePoolWithTag (paged pool)"); break;
    case NonPagedPool:
        if (version.HasNonExecutablePool())
            sim::Violation("ExAllocatePoolWithTag of executable non-paged pool (NonPagedPool) on Windows %u.%u: "
                           "Driver Verifier's code integrity checks refuse it; ask for NonPagedPoolNx",
                           version.major, version.minor);
        RequireIrql("ExAllocatePoolWithTag (non-paged pool)");
        break;
    case NonPagedPoolNx:
        if (!version.HasNonExecutablePool())
            sim::Violation("BAD_POOL_CALLER: ExAllocatePoolWithTag with pool type NonPagedPoolNx (512), which Windows "
                           "%u.%u does not have (it came with 6.2)",
                           version.major, version.minor);
        RequireIrql("ExAllocatePoolWithTag (non-paged pool)");
        break;
    default: sim::Violation("BAD_POOL_CALLER: ExAllocatePoolWithTag with pool type %d", static_cast<int>(type));
    }
    if (!NT_SUCCESS(K().FailurePoint("ExAllocatePoolWithTag"))) return nullptr;
    return K().Memory().Allocate(type, size, tag);
}

namespace {
void RequireFreeIrql(PVOID block) {
    RequireIrql(K().Memory().IsPaged(block) ? "ExFreePoolWithTag (paged pool)" : "ExFreePoolWithTag (non-paged pool)");
}
}  // namespace

VOID ExFreePoolWithTag(PVOID block, ULONG tag) {
    sim::KernelEntry inKernel;
    RequireFreeIrql(block);
    K().Memory().Free(block, tag, true, "ExFreePoolWithTag");
}
VOID ExFreePool(PVOID block) {
    sim::KernelEntry inKernel;
    RequireFreeIrql(block);
    K().Memory().Free(block, 0, false, "ExFreePool");
}

VOID ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                                    ULONG flags, SIZE_T size, ULONG tag, USHORT depth) {
    sim::KernelEntry inKernel;
    (void)flags;
    (void)depth;  // the kernel chooses the depth
    RequireIrql("ExInitializePagedLookasideList");
    K().Memory().InitializeLookaside(list, allocate, free, size, tag);
}
VOID ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST list) {
    sim::KernelEntry inKernel;
    RequireIrql("ExDeletePagedLookasideList");
    K().Memory().DeleteLookaside(list);
}
PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST list) {
    sim::KernelEntry inKernel;
    RequireIrql("ExAllocateFromPagedLookasideList");
    // A cached entry is taken without allocating: only an empty list can fail.
    if (K().Memory().IsLookasideRegistered(list) && !list->Cache.Next &&
        !NT_SUCCESS(K().FailurePoint("ExAllocateFromPagedLookasideList")))
        return nullptr;
    return K().Memory().AllocateFromLookaside(list);
}
VOID ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST list, PVOID entry) {
    sim::KernelEntry inKernel;
    RequireIrql("ExFreeToPagedLookasideList");
    K().Memory().FreeToLookaside(list, entry);
}

// ---------------------------------------------------------------- dispatcher objects and time
VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    sim::KernelEntry inKernel;
    event->Header.Type = type == NotificationEvent ? SimEventNotificationObject : SimEventSynchronizationObject;
    event->Header.SignalState = state ? 1 : 0;
}
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
    sim::KernelEntry inKernel;
    (void)increment;
    (void)wait;
    RequireIrql("KeSetEvent");
    return K().Threads().SetEvent(event);
}
VOID KeClearEvent(PRKEVENT event) {
    sim::KernelEntry inKernel;
    RequireIrql("KeClearEvent");
    K().Threads().ResetEvent(event);
}
LONG KeResetEvent(PRKEVENT event) {
    sim::KernelEntry inKernel;
    RequireIrql("KeClearEvent");
    return K().Threads().ResetEvent(event);
}
LONG KeReadStateEvent(PRKEVENT event) {
    sim::KernelEntry inKernel;
    return K().Threads().ReadState(&event->Header);
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout) {
    sim::KernelEntry inKernel;
    (void)reason;
    (void)mode;
    (void)alertable;
    bool zero = timeout && timeout->QuadPart == 0;
    RequireIrql(zero ? "KeWaitForSingleObject (a zero time-out)"
                     : "KeWaitForSingleObject (no time-out, or a non-zero one)");
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    std::string what = sim::Format("KeWaitForSingleObject on the %s at %p",
                                   header->Type == SimEventNotificationObject       ? "notification event"
                                   : header->Type == SimEventSynchronizationObject ? "synchronization event"
                                                                                    : "timer",
                                   object);
    return K().Threads().Wait(header, timeout, what);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval) {
    sim::KernelEntry inKernel;
    (void)mode;
    (void)alertable;
    RequireIrql("KeDelayExecutionThread");
    K().Threads().Delay(*interval);
    return STATUS_SUCCESS;
}

VOID KeInitializeTimer(PKTIMER timer) { KeInitializeTimerEx(timer, NotificationTimer); }
VOID KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type) {
    sim::KernelEntry inKernel;
    timer->Header.Type = type == NotificationTimer ? SimTimerNotificationObject : SimTimerSynchronizationObject;
    timer->Header.SignalState = 0;
    timer->DueTime = 0;
    timer->Inserted = FALSE;
    timer->Dpc = nullptr;
}
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER due, PKDPC dpc) {
    sim::KernelEntry inKernel;
    RequireIrql("KeSetTimer");
    return K().Threads().SetTimer(timer, due, dpc);
}
BOOLEAN KeCancelTimer(PKTIMER timer) {
    sim::KernelEntry inKernel;
    RequireIrql("KeCancelTimer");
    return K().Threads().CancelTimer(timer);
}
BOOLEAN KeReadStateTimer(PKTIMER timer) {
    sim::KernelEntry inKernel;
    return K().Threads().ReadState(&timer->Header) > 0;
}
ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(K().Threads().Now()); }
VOID KeQuerySystemTime(PLARGE_INTEGER time) { time->QuadPart = K().Threads().Now(); }

VOID KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
    sim::KernelEntry inKernel;
    if (!routine) sim::Violation("KeInitializeDpc without a deferred routine");
    *dpc = KDPC{};
    dpc->DeferredRoutine = routine;
    dpc->DeferredContext = context;
    dpc->SimOwner = sim::RunningDriver();
}
BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2) {
    sim::KernelEntry inKernel;
    RequireIrql("KeInsertQueueDpc");
    if (!dpc->DeferredRoutine) sim::Violation("KeInsertQueueDpc of a DPC that was never initialised");
    return K().Threads().QueueDpc(dpc, argument1, argument2);
}
BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) {
    sim::KernelEntry inKernel;
    RequireIrql("KeRemoveQueueDpc");
    return K().Threads().RemoveDpc(dpc);
}

// ---------------------------------------------------------------- threads and handles
NTSTATUS PsCreateSystemThread(PHANDLE handle, ULONG access, POBJECT_ATTRIBUTES attributes, HANDLE process,
                              PCLIENT_ID client, PKSTART_ROUTINE start, PVOID context) {
    sim::KernelEntry inKernel;
    (void)access;
    (void)process;
    (void)client;
    RequireIrql("PsCreateSystemThread");
    if (!handle || !start) sim::Violation("PsCreateSystemThread without a handle or a start routine");
    if (attributes && !(attributes->Attributes & OBJ_KERNEL_HANDLE))
        sim::Violation("PsCreateSystemThread from a driver without OBJ_KERNEL_HANDLE");
    if (K().ThreadCreationFails()) return STATUS_INSUFFICIENT_RESOURCES;
    if (NTSTATUS failure = K().FailurePoint("PsCreateSystemThread"); !NT_SUCCESS(failure)) return failure;
    std::string name = "system thread";
    *handle = K().Handles().OpenThread(name);
    PDRIVER_OBJECT owner = sim::RunningDriver();
    K().Threads().StartThread(name, [start, context, owner] {
        sim::DriverScope scope(owner);
        sim::DriverCode driver;
        start(context);
        // A start routine that returns ends the thread, at the IRQL it left.
    });
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS status) {
    sim::KernelEntry inKernel;
    (void)status;
    RequireIrql("PsTerminateSystemThread");
    K().Threads().ExitCurrentThread();
}

NTSTATUS ZwClose(HANDLE handle) {
    sim::KernelEntry inKernel;
    RequireIrql("ZwClose");
    PVOID object = nullptr;
    NTSTATUS status = K().Handles().Close(handle, &object);
    if (object) ObfDereferenceObject(object);
    return status;
}

// ---------------------------------------------------------------- registry
NTSTATUS ZwOpenKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes) {
    sim::KernelEntry inKernel;
    RequireIrql("ZwOpenKey");
    if (NTSTATUS failure = K().FailurePoint("ZwOpenKey"); !NT_SUCCESS(failure)) return failure;
    return K().Registry().OpenKey(handle, access, attributes);
}
NTSTATUS ZwQueryValueKey(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS kind, PVOID buffer,
                         ULONG length, PULONG resultLength) {
    sim::KernelEntry inKernel;
    RequireIrql("ZwQueryValueKey");
    if (NTSTATUS failure = K().FailurePoint("ZwQueryValueKey"); !NT_SUCCESS(failure)) return failure;
    return K().Registry().QueryValue(handle, name, kind, buffer, length, resultLength);
}
NTSTATUS ZwSetValueKey(HANDLE handle, PUNICODE_STRING name, ULONG titleIndex, ULONG type, PVOID data, ULONG size) {
    sim::KernelEntry inKernel;
    (void)titleIndex;
    RequireIrql("ZwSetValueKey");
    if (NTSTATUS failure = K().FailurePoint("ZwSetValueKey"); !NT_SUCCESS(failure)) return failure;
    return K().Registry().SetValueKey(handle, name, type, data, size);
}

// ---------------------------------------------------------------- objects
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                        ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device) {
    sim::KernelEntry inKernel;
    (void)exclusive;
    RequireIrql("IoCreateDevice");
    if (NTSTATUS failure = K().FailurePoint("IoCreateDevice"); !NT_SUCCESS(failure)) return failure;
    return K().Objects().CreateDevice(driver, extensionSize, name, type, characteristics, device);
}
VOID IoDeleteDevice(PDEVICE_OBJECT device) {
    sim::KernelEntry inKernel;
    RequireIrql("IoDeleteDevice");
    K().Objects().DeleteDevice(device);
}
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target) {
    sim::KernelEntry inKernel;
    RequireIrql("IoCreateSymbolicLink");
    if (NTSTATUS failure = K().FailurePoint("IoCreateSymbolicLink"); !NT_SUCCESS(failure)) return failure;
    return K().Objects().CreateLink(sim::FromUnicodeString(link), sim::FromUnicodeString(target));
}
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link) {
    sim::KernelEntry inKernel;
    RequireIrql("IoDeleteSymbolicLink");
    return K().Objects().DeleteLink(sim::FromUnicodeString(link));
}
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    sim::KernelEntry inKernel;
    RequireIrql("IoAttachDeviceToDeviceStack");
    // NULL: the target stack is going away; nothing is attached.
    if (!NT_SUCCESS(K().FailurePoint("IoAttachDeviceToDeviceStack"))) return nullptr;
    return K().Objects().Attach(source, target);
}
VOID IoDetachDevice(PDEVICE_OBJECT target) {
    sim::KernelEntry inKernel;
    RequireIrql("IoDetachDevice");
    K().Objects().Detach(target);
}
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device) {
    sim::KernelEntry inKernel;
    RequireIrql("IoGetAttachedDevice");
    K().Objects().CheckDevice(device, "IoGetAttachedDevice");
    return sim::ObjectManager::Top(device);
}
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device) {
    sim::KernelEntry inKernel;
    RequireIrql("IoGetAttachedDeviceReference");
    K().Objects().CheckDevice(device, "IoGetAttachedDeviceReference");
    PDEVICE_OBJECT top = sim::ObjectManager::Top(device);
    K().Objects().Reference(top, "IoGetAttachedDeviceReference");
    return top;
}
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING name, ACCESS_MASK access, PFILE_OBJECT* file,
                                  PDEVICE_OBJECT* device) {
    sim::KernelEntry inKernel;
    RequireIrql("IoGetDeviceObjectPointer");
    if (NTSTATUS failure = K().FailurePoint("IoGetDeviceObjectPointer"); !NT_SUCCESS(failure)) return failure;
    PFILE_OBJECT opened = nullptr;
    NTSTATUS status = K().Io().Open(sim::FromUnicodeString(name), access, sim::Caller::Kernel, &opened);
    if (!NT_SUCCESS(status)) return status;
    // The handle is closed at once (cleanup is sent); the file object's
    // reference is the caller's to release.
    K().Objects().Reference(opened, "IoGetDeviceObjectPointer");
    K().Io().CloseHandle(opened);
    *file = opened;
    *device = sim::ObjectManager::Top(opened->DeviceObject);
    return STATUS_SUCCESS;
}
LONG_PTR ObfReferenceObject(PVOID object) {
    sim::KernelEntry inKernel;
    RequireIrql("ObfReferenceObject");
    K().Objects().Reference(object, "ObfReferenceObject");
    return K().Objects().References(object);
}
LONG_PTR ObfDereferenceObject(PVOID object) {
    sim::KernelEntry inKernel;
    RequireIrql("ObfDereferenceObject");
    return K().Objects().Dereference(object, "ObfDereferenceObject");
}

// ---------------------------------------------------------------- IRPs and MDLs
PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota) {
    sim::KernelEntry inKernel;
    (void)chargeQuota;
    RequireIrql("IoAllocateIrp");
    if (!NT_SUCCESS(K().FailurePoint("IoAllocateIrp"))) return nullptr;
    return K().Io().AllocateIrp(stackSize);
}
VOID IoFreeIrp(PIRP irp) {
    sim::KernelEntry inKernel;
    RequireIrql("IoFreeIrp");
    K().Io().FreeIrp(irp);
}
PIRP IoBuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                  PLARGE_INTEGER offset, PKEVENT event, PIO_STATUS_BLOCK status) {
    sim::KernelEntry inKernel;
    RequireIrql("IoBuildSynchronousFsdRequest");
    if (!NT_SUCCESS(K().FailurePoint("IoBuildSynchronousFsdRequest"))) return nullptr;
    return K().Io().BuildSynchronousFsdRequest(major, device, buffer, length, offset, event, status);
}
PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength, PVOID output,
                                   ULONG outputLength, BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK status) {
    sim::KernelEntry inKernel;
    RequireIrql("IoBuildDeviceIoControlRequest");
    if (!NT_SUCCESS(K().FailurePoint("IoBuildDeviceIoControlRequest"))) return nullptr;
    return K().Io().BuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength, internal, event,
                                                status);
}
NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    sim::KernelEntry inKernel;
    RequireIrql("IofCallDriver");
    return K().Io().CallDriver(device, irp);
}
VOID IofCompleteRequest(PIRP irp, CCHAR boost) {
    sim::KernelEntry inKernel;
    (void)boost;
    RequireIrql("IofCompleteRequest");
    K().Io().CompleteRequest(irp);
}
PMDL IoAllocateMdl(PVOID address, ULONG length, BOOLEAN secondary, BOOLEAN chargeQuota, PIRP irp) {
    sim::KernelEntry inKernel;
    (void)chargeQuota;
    RequireIrql("IoAllocateMdl");
    if (!NT_SUCCESS(K().FailurePoint("IoAllocateMdl"))) return nullptr;
    return K().Io().AllocateMdl(address, length, secondary, irp);
}
VOID IoFreeMdl(PMDL mdl) {
    sim::KernelEntry inKernel;
    RequireIrql("IoFreeMdl");
    K().Io().FreeMdl(mdl);
}
VOID MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    sim::KernelEntry inKernel;
    (void)mode;
    (void)operation;
    // Pageable memory may fault in: only where a page fault can be taken.
    RequireIrql(mdl && K().Memory().IsPagedAddress(mdl->StartVa) ? "MmProbeAndLockPages (pageable memory)"
                                                                  : "MmProbeAndLockPages (non-paged memory)");
    K().Io().ProbeAndLockPages(mdl);
}
PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority) {
    sim::KernelEntry inKernel;
    (void)priority;
    RequireIrql("MmGetSystemAddressForMdlSafe");
    PVOID address = K().Io().SystemAddressForMdl(mdl);  // checks the MDL first
    // NULL: no system address could be mapped.
    if (!NT_SUCCESS(K().FailurePoint("MmGetSystemAddressForMdlSafe"))) return nullptr;
    return address;
}
VOID MmUnlockPages(PMDL mdl) {
    sim::KernelEntry inKernel;
    RequireIrql("MmUnlockPages");
    K().Io().UnlockPages(mdl);
}

// ---------------------------------------------------------------- Plug and Play and power
NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                             PULONG resultLength) {
    sim::KernelEntry inKernel;
    RequireIrql("IoGetDeviceProperty");
    K().Objects().CheckDevice(device, "IoGetDeviceProperty");
    K().Pnp().RequirePdo(device, "IoGetDeviceProperty");
    if (!resultLength) sim::Violation("IoGetDeviceProperty without a result length");
    if (NTSTATUS failure = K().FailurePoint("IoGetDeviceProperty"); !NT_SUCCESS(failure)) return failure;
    return K().Pnp().GetProperty(device, property, length, buffer, resultLength);
}

VOID PoStartNextPowerIrp(PIRP irp) {
    sim::KernelEntry inKernel;
    RequireIrql("PoStartNextPowerIrp");
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
        sim::Violation("PoStartNextPowerIrp with an IRP that is not a power IRP");
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    sim::KernelEntry inKernel;
    RequireIrql("PoCallDriver");
    return K().Io().CallDriver(device, irp);
}

// ---------------------------------------------------------------- remove locks
VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK lock, ULONG tag, ULONG minutes, ULONG highWatermark, ULONG size) {
    sim::KernelEntry inKernel;
    (void)tag;
    (void)minutes;
    (void)highWatermark;
    RequireIrql("IoInitializeRemoveLock");
    if (size != sizeof(IO_REMOVE_LOCK)) sim::Violation("IoInitializeRemoveLockEx with a lock of the wrong size");
    K().RemoveLocks().Initialize(lock);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK lock, PVOID tag, PCSTR file, ULONG line, ULONG size) {
    sim::KernelEntry inKernel;
    (void)file;
    (void)line;
    (void)size;
    RequireIrql("IoAcquireRemoveLock");
    return K().RemoveLocks().Acquire(lock, tag);
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK lock, PVOID tag, ULONG size) {
    sim::KernelEntry inKernel;
    (void)size;
    RequireIrql("IoReleaseRemoveLock");
    K().RemoveLocks().Release(lock, tag);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK lock, PVOID tag, ULONG size) {
    sim::KernelEntry inKernel;
    (void)size;
    RequireIrql("IoReleaseRemoveLockAndWait");
    K().RemoveLocks().ReleaseAndWait(lock, tag);
}

VOID KeEnterCriticalRegion(void) {
    sim::KernelEntry inKernel;
    RequireIrql("KeEnterCriticalRegion");
    K().Threads().EnterCriticalRegion();
}
VOID KeLeaveCriticalRegion(void) {
    sim::KernelEntry inKernel;
    RequireIrql("KeLeaveCriticalRegion");
    K().Threads().LeaveCriticalRegion();
}

VOID SimCheckNextStackLocation(PIRP irp) {
    sim::KernelEntry inKernel;
    if (irp->CurrentLocation <= 1)
        sim::Violation("a driver reached for the stack location below the first of an IRP of %d location(s): the "
                       "IRP was sized for a smaller stack than the one it is passed down",
                       irp->StackCount);
}

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type) {
    sim::KernelEntry inKernel;
    RequireIrql("IoInvalidateDeviceRelations");
    K().Objects().CheckDevice(device, "IoInvalidateDeviceRelations");
    K().Pnp().RequirePdo(device, "IoInvalidateDeviceRelations");
    K().Pnp().Invalidate(device, type);
}

// ---------------------------------------------------------------- version
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW info) {
    sim::KernelEntry inKernel;
    RequireIrql("RtlGetVersion");
    if (!info || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOW) - sizeof(info->szCSDVersion))
        return STATUS_INVALID_PARAMETER;
    const sim::WindowsVersion& version = K().Version();
    info->dwMajorVersion = version.major;
    info->dwMinorVersion = version.minor;
    info->dwBuildNumber = version.build;
    info->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
    if (info->dwOSVersionInfoSize >= sizeof(OSVERSIONINFOW)) info->szCSDVersion[0] = 0;
    return STATUS_SUCCESS;
}

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version) {
    sim::KernelEntry inKernel;
    RequireIrql("RtlIsNtDdiVersionAvailable");
    // The low word names service packs and Windows 10 releases; the
    // simulated machine runs the first of its version.
    return (version >> 16) <= (K().Version().Ntddi() >> 16) ? TRUE : FALSE;
}

}  // extern "C"
