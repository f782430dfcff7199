// The kernel services a driver calls, each forwarded to the part of the
// simulated kernel that owns it.
#include <cwchar>

#include "sim/ddk/wdm.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

using sim::Kernel;

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
    size_t length = source ? wcslen(source) : 0;
    destination->Buffer = const_cast<PWCH>(source);
    destination->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    destination->MaximumLength = source ? static_cast<USHORT>((length + 1) * sizeof(WCHAR)) : 0;
}

ULONG DbgPrint(PCSTR format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = sim::FormatKernel(format, args);
    va_end(args);
    K().Debug().Print(text);
    return STATUS_SUCCESS;
}

VOID KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
    sim::Violation("KeBugCheckEx %s (0x%X, 0x%llX, 0x%llX, 0x%llX, 0x%llX)%s", BugCheckName(code), code,
                   static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
                   static_cast<unsigned long long>(p3), static_cast<unsigned long long>(p4),
                   code == 0x139 && p1 == 3 ? ": a list entry's links are corrupt" : "");
}

KIRQL KeGetCurrentIrql(void) { return PASSIVE_LEVEL; }

// ---------------------------------------------------------------- pool
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) { return K().Memory().Allocate(type, size, tag); }
VOID ExFreePoolWithTag(PVOID block, ULONG tag) { K().Memory().Free(block, tag, true, "ExFreePoolWithTag"); }
VOID ExFreePool(PVOID block) { K().Memory().Free(block, 0, false, "ExFreePool"); }

VOID ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                                    ULONG flags, SIZE_T size, ULONG tag, USHORT depth) {
    (void)flags;
    (void)depth;  // the kernel chooses the depth
    K().Memory().InitializeLookaside(list, allocate, free, size, tag);
}
VOID ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST list) { K().Memory().DeleteLookaside(list); }
PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST list) { return K().Memory().AllocateFromLookaside(list); }
VOID ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST list, PVOID entry) { K().Memory().FreeToLookaside(list, entry); }

// ---------------------------------------------------------------- dispatcher objects and time
VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    event->Header.Type = type == NotificationEvent ? SimEventNotificationObject : SimEventSynchronizationObject;
    event->Header.SignalState = state ? 1 : 0;
}
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
    (void)increment;
    (void)wait;
    return K().Threads().SetEvent(event);
}
VOID KeClearEvent(PRKEVENT event) { K().Threads().ResetEvent(event); }
LONG KeResetEvent(PRKEVENT event) {
    LONG previous = event->Header.SignalState;
    K().Threads().ResetEvent(event);
    return previous;
}
LONG KeReadStateEvent(PRKEVENT event) { return event->Header.SignalState; }

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout) {
    (void)reason;
    (void)mode;
    (void)alertable;
    return K().Threads().Wait(static_cast<DISPATCHER_HEADER*>(object), timeout, "KeWaitForSingleObject");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval) {
    (void)mode;
    (void)alertable;
    K().Threads().Delay(*interval);
    return STATUS_SUCCESS;
}

VOID KeInitializeTimer(PKTIMER timer) { KeInitializeTimerEx(timer, NotificationTimer); }
VOID KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type) {
    timer->Header.Type = type == NotificationTimer ? SimTimerNotificationObject : SimTimerSynchronizationObject;
    timer->Header.SignalState = 0;
    timer->DueTime = 0;
    timer->Inserted = FALSE;
    timer->Dpc = nullptr;
}
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER due, PKDPC dpc) {
    if (dpc) sim::Violation("KeSetTimer with a DPC: the simulated kernel runs everything at passive level");
    return K().Threads().SetTimer(timer, due);
}
BOOLEAN KeCancelTimer(PKTIMER timer) { return K().Threads().CancelTimer(timer); }
BOOLEAN KeReadStateTimer(PKTIMER timer) { return timer->Header.SignalState > 0; }
ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(K().Threads().Now()); }
VOID KeQuerySystemTime(PLARGE_INTEGER time) { time->QuadPart = K().Threads().Now(); }

// ---------------------------------------------------------------- threads and handles
NTSTATUS PsCreateSystemThread(PHANDLE handle, ULONG access, POBJECT_ATTRIBUTES attributes, HANDLE process,
                              PCLIENT_ID client, PKSTART_ROUTINE start, PVOID context) {
    (void)access;
    (void)process;
    (void)client;
    if (!handle || !start) sim::Violation("PsCreateSystemThread without a handle or a start routine");
    if (attributes && !(attributes->Attributes & OBJ_KERNEL_HANDLE))
        sim::Violation("PsCreateSystemThread from a driver without OBJ_KERNEL_HANDLE");
    if (K().ThreadCreationFails()) return STATUS_INSUFFICIENT_RESOURCES;
    std::string name = "system thread";
    *handle = K().Handles().OpenThread(name);
    K().Threads().StartThread(name, [start, context] { start(context); });
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS status) {
    (void)status;
    K().Threads().ExitCurrentThread();
}

NTSTATUS ZwClose(HANDLE handle) { return K().Handles().Close(handle); }

// ---------------------------------------------------------------- registry
NTSTATUS ZwOpenKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes) {
    return K().Registry().OpenKey(handle, access, attributes);
}
NTSTATUS ZwQueryValueKey(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS kind, PVOID buffer,
                         ULONG length, PULONG resultLength) {
    return K().Registry().QueryValue(handle, name, kind, buffer, length, resultLength);
}
NTSTATUS ZwSetValueKey(HANDLE handle, PUNICODE_STRING name, ULONG titleIndex, ULONG type, PVOID data, ULONG size) {
    (void)titleIndex;
    return K().Registry().SetValueKey(handle, name, type, data, size);
}

// ---------------------------------------------------------------- objects
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                        ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device) {
    (void)exclusive;
    return K().Objects().CreateDevice(driver, extensionSize, name, type, characteristics, device);
}
VOID IoDeleteDevice(PDEVICE_OBJECT device) { K().Objects().DeleteDevice(device); }
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target) {
    return K().Objects().CreateLink(sim::FromUnicodeString(link), sim::FromUnicodeString(target));
}
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link) { return K().Objects().DeleteLink(sim::FromUnicodeString(link)); }
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    return K().Objects().Attach(source, target);
}
VOID IoDetachDevice(PDEVICE_OBJECT target) { K().Objects().Detach(target); }
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device) {
    K().Objects().CheckDevice(device, "IoGetAttachedDevice");
    return sim::ObjectManager::Top(device);
}
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device) {
    K().Objects().CheckDevice(device, "IoGetAttachedDeviceReference");
    PDEVICE_OBJECT top = sim::ObjectManager::Top(device);
    K().Objects().Reference(top, "IoGetAttachedDeviceReference");
    return top;
}
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING name, ACCESS_MASK access, PFILE_OBJECT* file,
                                  PDEVICE_OBJECT* device) {
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
    K().Objects().Reference(object, "ObfReferenceObject");
    return K().Objects().References(object);
}
LONG_PTR ObfDereferenceObject(PVOID object) { return K().Objects().Dereference(object, "ObfDereferenceObject"); }

// ---------------------------------------------------------------- IRPs and MDLs
PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota) {
    (void)chargeQuota;
    return K().Io().AllocateIrp(stackSize);
}
VOID IoFreeIrp(PIRP irp) { K().Io().FreeIrp(irp); }
PIRP IoBuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                  PLARGE_INTEGER offset, PKEVENT event, PIO_STATUS_BLOCK status) {
    return K().Io().BuildSynchronousFsdRequest(major, device, buffer, length, offset, event, status);
}
PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength, PVOID output,
                                   ULONG outputLength, BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK status) {
    return K().Io().BuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength, internal, event,
                                                status);
}
NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) { return K().Io().CallDriver(device, irp); }
VOID IofCompleteRequest(PIRP irp, CCHAR boost) {
    (void)boost;
    K().Io().CompleteRequest(irp);
}
PMDL IoAllocateMdl(PVOID address, ULONG length, BOOLEAN secondary, BOOLEAN chargeQuota, PIRP irp) {
    (void)chargeQuota;
    return K().Io().AllocateMdl(address, length, secondary, irp);
}
VOID IoFreeMdl(PMDL mdl) { K().Io().FreeMdl(mdl); }
VOID MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    (void)mode;
    (void)operation;
    K().Io().ProbeAndLockPages(mdl);
}
VOID MmUnlockPages(PMDL mdl) { K().Io().UnlockPages(mdl); }

// ---------------------------------------------------------------- Plug and Play and power
NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                             PULONG resultLength) {
    K().Objects().CheckDevice(device, "IoGetDeviceProperty");
    if (!resultLength) sim::Violation("IoGetDeviceProperty without a result length");
    return K().Pnp().GetProperty(device, property, length, buffer, resultLength);
}

VOID PoStartNextPowerIrp(PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
        sim::Violation("PoStartNextPowerIrp with an IRP that is not a power IRP");
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) { return K().Io().CallDriver(device, irp); }

// ---------------------------------------------------------------- remove locks
// As the kernel keeps them: a count biased at one, and an event the final
// release sets once the lock is marked removed.
VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK lock, ULONG tag, ULONG minutes, ULONG highWatermark, ULONG size) {
    (void)tag;
    (void)minutes;
    (void)highWatermark;
    if (size != sizeof(IO_REMOVE_LOCK)) sim::Violation("IoInitializeRemoveLockEx with a lock of the wrong size");
    lock->Common.Removed = FALSE;
    lock->Common.IoCount = 1;
    KeInitializeEvent(&lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK lock, PVOID tag, PCSTR file, ULONG line, ULONG size) {
    (void)tag;
    (void)file;
    (void)line;
    (void)size;
    if (lock->Common.IoCount <= 0 && !lock->Common.Removed)
        sim::Violation("IoAcquireRemoveLock on a remove lock that was never initialised");
    ++lock->Common.IoCount;
    if (!lock->Common.Removed) return STATUS_SUCCESS;
    if (--lock->Common.IoCount == 0) KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK lock, PVOID tag, ULONG size) {
    (void)tag;
    (void)size;
    if (lock->Common.IoCount <= 1 && !lock->Common.Removed)
        sim::Violation("IoReleaseRemoveLock without a matching IoAcquireRemoveLock");
    if (lock->Common.IoCount <= 0) sim::Violation("IoReleaseRemoveLock after the lock's removal finished");
    if (--lock->Common.IoCount == 0) KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK lock, PVOID tag, ULONG size) {
    (void)tag;
    (void)size;
    if (lock->Common.Removed) sim::Violation("IoReleaseRemoveLockAndWait called twice");
    if (lock->Common.IoCount <= 1)
        sim::Violation("IoReleaseRemoveLockAndWait without holding the lock (acquire it first)");
    lock->Common.Removed = TRUE;
    --lock->Common.IoCount;  // the caller's own acquire
    if (--lock->Common.IoCount > 0)  // the initial bias
        KeWaitForSingleObject(&lock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

VOID KeEnterCriticalRegion(void) { K().Threads().EnterCriticalRegion(); }
VOID KeLeaveCriticalRegion(void) { K().Threads().LeaveCriticalRegion(); }

VOID SimCheckNextStackLocation(PIRP irp) {
    if (irp->CurrentLocation <= 1)
        sim::Violation("a driver reached for the stack location below the first of an IRP of %d location(s): the "
                       "IRP was sized for a smaller stack than the one it is passed down",
                       irp->StackCount);
}

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type) {
    K().Objects().CheckDevice(device, "IoInvalidateDeviceRelations");
    K().Pnp().Invalidate(device, type);
}

}  // extern "C"
