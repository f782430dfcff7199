#include "sim/kernel/IoManager.h"

#include "sim/kernel/Security.h"

#include <algorithm>
#include <new>
#include <thread>

#include "sim/kernel/Irql.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

namespace {
constexpr ULONG kIrpTag = MakeTag("Irp ");
constexpr ULONG kMdlTag = MakeTag("Mdl ");
constexpr ULONG kSystemBufferTag = MakeTag("IoSb");
constexpr size_t kQuarantine = 1024;

ObjectManager& Objects() { return Kernel::Current().Objects(); }
Pool& Memory() { return Kernel::Current().Memory(); }

void ClearLocation(PIO_STACK_LOCATION location) {
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control &= SL_ERROR_RETURNED;
    location->Parameters.Others = {};
    location->FileObject = nullptr;
}

bool ShouldInvoke(PIRP irp, UCHAR control) {
    NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
           (irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
}
}  // namespace

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

IoManager::~IoManager() {
    for (PIRP irp : quarantine_) Pool::ReleaseKept(irp, records_[irp].bytes);
}

void IoManager::Notify(IrpEvent::Kind kind, PIRP irp, PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                       NTSTATUS status, const IO_STACK_LOCATION* location) {
    if (!observer_) return;
    auto it = records_.find(irp);
    observer_(IrpEvent{kind, irp, it == records_.end() ? 0 : it->second.sequence, device, major, minor, status,
                       location});
}

PIRP IoManager::NewIrp(CCHAR stackSize, Kind kind, bool mayFail) {
    if (stackSize < 1) Violation("an IRP needs at least one stack location (asked for %d)", stackSize);
    size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    void* memory = Memory().Allocate(NonPagedPool, bytes, kIrpTag, mayFail);
    if (!memory) return nullptr;
    std::memset(memory, 0, bytes);
    auto* irp = new (memory) IRP{};
    irp->Stack = reinterpret_cast<IO_STACK_LOCATION*>(irp + 1);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CCHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = irp->Stack + stackSize;
    Record& record = records_[irp];
    record = Record{};
    record.kind = kind;
    record.sequence = ++sequence_;
    record.bytes = bytes;
    record.owner = RunningDriver();
    record.locations.resize(static_cast<size_t>(stackSize) + 1);
    return irp;
}

IoManager::Record& IoManager::Find(PIRP irp, const char* service) {
    if (!irp) Violation("%s with a null IRP", service);
    auto it = records_.find(irp);
    if (it == records_.end()) Violation("%s with %p, which is not an IRP the kernel knows", service, static_cast<void*>(irp));
    if (it->second.state == State::Freed)
        Violation("%s with an IRP that was already completed and freed (IRP #%llu)", service,
                  static_cast<unsigned long long>(it->second.sequence));
    return it->second;
}

bool IoManager::IsLive(PIRP irp) const {
    auto it = records_.find(irp);
    return it != records_.end() && it->second.state != State::Freed;
}

PIRP IoManager::AllocateIrp(CCHAR stackSize) { return NewIrp(stackSize, Kind::Allocated, true); }

PIRP IoManager::AllocateKernelIrp(CCHAR stackSize, Completion done) {
    PIRP irp = NewIrp(stackSize, Kind::Kernel, false);
    records_[irp].done = std::move(done);
    return irp;
}

void IoManager::FreeIrp(PIRP irp) {
    Record& record = Find(irp, "IoFreeIrp");
    if (record.kind == Kind::Threaded)
        Violation("IoFreeIrp of an IRP built by IoBuildSynchronousFsdRequest or IoBuildDeviceIoControlRequest; "
                  "the I/O manager frees those itself");
    if (record.kind == Kind::Kernel) Violation("IoFreeIrp of an IRP the kernel sent");
    if (irp->CurrentLocation <= irp->StackCount)
        Violation("IoFreeIrp of IRP #%llu while a driver still holds it (stack location %d of %d)",
                  static_cast<unsigned long long>(record.sequence), irp->CurrentLocation, irp->StackCount);
    ReleaseMemory(irp, record);
}

void IoManager::ReleaseKernelIrp(PIRP irp) {
    Record& record = Find(irp, "ReleaseKernelIrp");
    ReleaseMemory(irp, record);
}

void IoManager::ReleaseMemory(PIRP irp, Record& record) {
    record.state = State::Freed;
    Memory().Free(irp, kIrpTag, true, "IoFreeIrp", true);
    quarantine_.push_back(irp);
    if (quarantine_.size() > kQuarantine) {
        PIRP oldest = quarantine_.front();
        quarantine_.pop_front();
        Pool::ReleaseKept(oldest, records_[oldest].bytes);
        records_.erase(oldest);
    }
}

PIRP IoManager::NewThreadedIrp(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK status) {
    PIRP irp = NewIrp(device->StackSize, Kind::Threaded, true);
    if (!irp) return nullptr;
    irp->UserIosb = status;
    irp->UserEvent = event;
    irp->RequestorMode = KernelMode;
    return irp;
}

PIRP IoManager::BuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                           PLARGE_INTEGER offset, PKEVENT event, PIO_STATUS_BLOCK status) {
    Objects().CheckDevice(device, "IoBuildSynchronousFsdRequest");
    if (!event || !status) Violation("IoBuildSynchronousFsdRequest without an event and a status block");
    PIRP irp = NewThreadedIrp(device, event, status);
    if (!irp) return nullptr;
    Record& record = records_[irp];
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(major);
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = length;
        next->Parameters.Read.ByteOffset.QuadPart = offset ? offset->QuadPart : 0;
        irp->UserBuffer = buffer;
        if (length && (device->Flags & DO_BUFFERED_IO)) {
            void* system = Memory().Allocate(NonPagedPool, length, kSystemBufferTag);
            if (!system) {
                ReleaseMemory(irp, record);
                return nullptr;
            }
            if (major == IRP_MJ_WRITE)
                std::memcpy(system, buffer, length);
            else
                std::memset(system, kSystemBufferPoison, length);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (major == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
            record.outputLength = major == IRP_MJ_READ ? length : 0;
        } else if (length && (device->Flags & DO_DIRECT_IO)) {
            PMDL mdl = AllocateMdl(buffer, length, FALSE, irp);
            if (!mdl) {
                ReleaseMemory(irp, record);
                return nullptr;
            }
            ProbeAndLockPages(mdl);
        }
    }
    return irp;
}

PIRP IoManager::BuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength,
                                            PVOID output, ULONG outputLength, BOOLEAN internal, PKEVENT event,
                                            PIO_STATUS_BLOCK status) {
    Objects().CheckDevice(device, "IoBuildDeviceIoControlRequest");
    if (!status) Violation("IoBuildDeviceIoControlRequest without a status block");
    PIRP irp = NewThreadedIrp(device, event, status);
    if (!irp) return nullptr;
    Record& record = records_[irp];
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    record.outputLength = outputLength;
    switch (code & 3) {
    case METHOD_BUFFERED: {
        ULONG size = std::max(inputLength, outputLength);
        if (size) {
            auto* system = static_cast<unsigned char*>(Memory().Allocate(NonPagedPool, size, kSystemBufferTag));
            if (!system) {
                ReleaseMemory(irp, record);
                return nullptr;
            }
            if (inputLength) std::memcpy(system, input, inputLength);
            std::memset(system + inputLength, kSystemBufferPoison, size - inputLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outputLength ? IRP_INPUT_OPERATION : 0);
        }
        irp->UserBuffer = output;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (inputLength) {
            void* system = Memory().Allocate(NonPagedPool, inputLength, kSystemBufferTag);
            if (!system) {
                ReleaseMemory(irp, record);
                return nullptr;
            }
            std::memcpy(system, input, inputLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (outputLength) {
            PMDL mdl = AllocateMdl(output, outputLength, FALSE, irp);
            if (!mdl) {
                if (irp->AssociatedIrp.SystemBuffer)
                    Memory().Free(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag, true, "IoBuildDeviceIoControlRequest");
                ReleaseMemory(irp, record);
                return nullptr;
            }
            ProbeAndLockPages(mdl);
        }
        break;
    default:  // METHOD_NEITHER
        next->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
        break;
    }
    return irp;
}

NTSTATUS IoManager::CallDriver(PDEVICE_OBJECT device, PIRP irp) {
    AwaitCompletionRoutine(irp);
    Record& record = Find(irp, "IofCallDriver");
    if (record.state != State::Live)
        Violation("IofCallDriver with IRP #%llu, whose completion already ran", static_cast<unsigned long long>(record.sequence));
    // A deleted device object that someone still references may be called; its
    // driver must answer (a remove lock gives STATUS_DELETE_PENDING).
    if (!device) Violation("IofCallDriver with a null device object");
    if (!Objects().IsDevice(device))
        Violation("IofCallDriver with %p, which is not a device object (freed?)", static_cast<void*>(device));
    if (irp->CurrentLocation <= 1)
        Violation("IofCallDriver to %s: IRP #%llu has no stack location left (StackCount %d); the caller's "
                  "StackSize is too small for the stack below it",
                  Objects().Describe(device).c_str(), static_cast<unsigned long long>(record.sequence), irp->StackCount);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (!record.sent) {
        record.sent = true;
        record.target = device;
        if ((next->MajorFunction == IRP_MJ_PNP || next->MajorFunction == IRP_MJ_POWER) &&
            irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
            Violation("a %s IRP was sent to %s with status 0x%08X; its sender must preset STATUS_NOT_SUPPORTED",
                      next->MajorFunction == IRP_MJ_PNP ? "Plug and Play" : "power", Objects().Describe(device).c_str(),
                      static_cast<unsigned>(irp->IoStatus.Status));
    }
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    location->DeviceObject = device;
    int index = irp->CurrentLocation;
    Location& slot = record.locations[static_cast<size_t>(index)];
    slot = Location{};  // a location used again starts afresh
    UCHAR major = location->MajorFunction;
    UCHAR minor = location->MinorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) Violation("IofCallDriver with major function 0x%02X", major);

    Notify(IrpEvent::Kind::Dispatch, irp, device, major, minor, 0, location);
    KIRQL calledAt = Kernel::Current().Threads().Irql();
    NTSTATUS status;
    {
        DriverScope scope(device->DriverObject);
        DriverCode driver;
        status = device->DriverObject->MajorFunction[major](device, irp);
    }
    RequireIrqlKept(calledAt, "the dispatch routine of " + Objects().Describe(device));
    Notify(IrpEvent::Kind::Return, irp, device, major, minor, status);

    // The IRP may be complete, even freed, by now; its record outlives it.
    auto it = records_.find(irp);
    if (it != records_.end()) {
        Location& after = it->second.locations[static_cast<size_t>(index)];
        if (after.resolved)
            CheckReturn(irp, after, device, status);
        else
            after.unchecked.emplace_back(device, status);
    }
    return status;
}

void IoManager::CheckReturn(PIRP irp, const Location& location, PDEVICE_OBJECT device, NTSTATUS status) {
    (void)irp;
    bool pending = status == STATUS_PENDING;
    if (pending && !location.marked)
        Violation("the dispatch routine of %s returned STATUS_PENDING without marking the IRP pending "
                  "(IoMarkIrpPending)",
                  Objects().Describe(device).c_str());
    if (!pending && location.marked)
        Violation("the dispatch routine of %s marked the IRP pending but returned 0x%08X instead of STATUS_PENDING",
                  Objects().Describe(device).c_str(), static_cast<unsigned>(status));
}

void IoManager::Resolve(PIRP irp, Record& record, int index, bool marked) {
    Location& location = record.locations[static_cast<size_t>(index)];
    location.resolved = true;
    location.marked = marked;
    auto unchecked = std::move(location.unchecked);
    location.unchecked.clear();
    for (auto& [device, status] : unchecked) CheckReturn(irp, location, device, status);
}

// On another processor, a completion routine that wakes a waiter and returns
// STATUS_MORE_PROCESSING_REQUIRED may not have returned yet when the waiter
// sends or completes the IRP again: the I/O manager is done with it by the time
// it could matter. What the waiter does is judged once the routine is back.
void IoManager::AwaitCompletionRoutine(PIRP irp) {
    if (!KernelLock::Parallel()) return;
    int self = Kernel::Current().Threads().CurrentThreadId();
    for (;;) {
        auto it = records_.find(irp);
        if (it == records_.end() || it->second.state != State::Completing || it->second.completer == self) return;
        DriverCode waiting;
        std::this_thread::yield();
    }
}

void IoManager::CompleteRequest(PIRP irp) {
    AwaitCompletionRoutine(irp);
    Record& record = Find(irp, "IofCompleteRequest");
    if (record.state == State::Completing)
        Violation("IofCompleteRequest of IRP #%llu while its completion is running (completed twice)",
                  static_cast<unsigned long long>(record.sequence));
    if (record.state == State::Completed)
        Violation("IofCompleteRequest of IRP #%llu, which was already completed", static_cast<unsigned long long>(record.sequence));
    if (irp->IoStatus.Status == STATUS_PENDING) Violation("IofCompleteRequest with STATUS_PENDING");
    if (irp->CurrentLocation > irp->StackCount)
        Violation("IofCompleteRequest of IRP #%llu, which no driver holds", static_cast<unsigned long long>(record.sequence));
    record.state = State::Completing;
    record.completer = Kernel::Current().Threads().CurrentThreadId();
    uint64_t sequence = record.sequence;
    Notify(IrpEvent::Kind::Complete, irp, IoGetCurrentIrpStackLocation(irp)->DeviceObject,
           IoGetCurrentIrpStackLocation(irp)->MajorFunction, IoGetCurrentIrpStackLocation(irp)->MinorFunction,
           irp->IoStatus.Status);

    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    PDRIVER_OBJECT maker = record.owner;
    IoSkipCurrentIrpStackLocation(irp);
    do {
        int index = static_cast<int>(location - irp->Stack) + 1;
        irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        Resolve(irp, record, index, irp->PendingReturned);
        if (ShouldInvoke(irp, location->Control)) {
            PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
            PVOID context = location->Context;
            if (!routine) Violation("a stack location asks for a completion routine but names none");
            ClearLocation(location);
            PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            KIRQL calledAt = Kernel::Current().Threads().Irql();
            // The routine belongs to the driver above (the IRP's maker at the top).
            NTSTATUS result;
            {
                DriverScope scope(device ? device->DriverObject : maker);
                DriverCode driver;
                result = routine(device, irp, context);
            }
            RequireIrqlKept(calledAt, "a completion routine");
            auto it = records_.find(irp);
            bool freed = it == records_.end() || it->second.state == State::Freed;
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                if (!freed) it->second.state = State::Live;  // the IRP belongs to that driver again
                return;
            }
            if (freed)
                Violation("a completion routine freed IRP #%llu but returned 0x%08X instead of "
                          "STATUS_MORE_PROCESSING_REQUIRED",
                          static_cast<unsigned long long>(sequence), static_cast<unsigned>(result));
        } else {
            if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) IoMarkIrpPending(irp);
            ClearLocation(location);
        }
        IoSkipCurrentIrpStackLocation(irp);
        ++location;
    } while (irp->CurrentLocation <= irp->StackCount + 1);

    // Past the top location.
    irp->CurrentLocation = static_cast<CCHAR>(irp->StackCount + 1);
    irp->Tail.Overlay.CurrentStackLocation = irp->Stack + irp->StackCount;
    record.state = State::Completed;
    switch (record.kind) {
    case Kind::Allocated:
        Violation("IRP #%llu, allocated with IoAllocateIrp, completed past its top stack location; its "
                  "allocator's completion routine must free it and return STATUS_MORE_PROCESSING_REQUIRED",
                  static_cast<unsigned long long>(sequence));
    case Kind::Threaded:
        FinishThreaded(irp, record);
        break;
    case Kind::Kernel: {
        Completion done = record.done;
        done(irp);
        break;
    }
    }
}

void IoManager::FinishThreaded(PIRP irp, Record& record) {
    if (irp->Flags & IRP_BUFFERED_IO) {
        if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status) && irp->IoStatus.Information) {
            if (irp->IoStatus.Information > record.outputLength)
                Violation("%s completed a buffered request with Information %llu, more than its %u-byte output buffer",
                          Objects().Describe(record.target).c_str(),
                          static_cast<unsigned long long>(irp->IoStatus.Information), record.outputLength);
            std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
        }
        if (irp->Flags & IRP_DEALLOCATE_BUFFER)
            Memory().Free(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag, true, "IofCompleteRequest");
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    while (PMDL mdl = irp->MdlAddress) {
        irp->MdlAddress = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) UnlockPages(mdl);
        FreeMdl(mdl);
    }
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    ReleaseMemory(irp, record);
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

PMDL IoManager::AllocateMdl(PVOID address, ULONG length, BOOLEAN secondary, PIRP irp) {
    if (!length) return nullptr;
    auto* mdl = static_cast<PMDL>(Memory().Allocate(NonPagedPool, sizeof(MDL), kMdlTag));
    if (!mdl) return nullptr;
    *mdl = MDL{};
    mdl->Size = sizeof(MDL);
    mdls_[mdl] = ++mdlSequence_;
    mdl->StartVa = address;
    mdl->ByteCount = length;
    if (irp) {
        Find(irp, "IoAllocateMdl");
        if (!secondary) {
            if (irp->MdlAddress) Violation("IoAllocateMdl of a primary MDL for an IRP that already has one");
            irp->MdlAddress = mdl;
        } else {
            PMDL* tail = &irp->MdlAddress;
            while (*tail) tail = &(*tail)->Next;
            *tail = mdl;
        }
    }
    return mdl;
}

void IoManager::FreeMdl(PMDL mdl) {
    if (!mdl) Violation("IoFreeMdl of a null MDL");
    if (!mdls_.count(mdl)) Violation("IoFreeMdl of %p, which is not an MDL (freed twice?)", static_cast<void*>(mdl));
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) Violation("IoFreeMdl of an MDL whose pages are still locked");
    mdls_.erase(mdl);
    Memory().Free(mdl, kMdlTag, true, "IoFreeMdl");
}

void IoManager::ProbeAndLockPages(PMDL mdl) {
    if (!mdls_.count(mdl)) Violation("MmProbeAndLockPages of %p, which is not an MDL", static_cast<void*>(mdl));
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) Violation("MmProbeAndLockPages of an MDL that is already locked");
    // Pool is the one memory the simulator knows the extent of: pages past the
    // block are someone else's (or unmapped, and the probe raises).
    size_t offset = 0;
    size_t blockSize = 0;
    if (Memory().FindBlock(mdl->StartVa, &offset, &blockSize) && offset + mdl->ByteCount > blockSize)
        Violation("MmProbeAndLockPages of an MDL of %u bytes at offset %zu of a %zu-byte pool block: it describes "
                  "memory past the block",
                  mdl->ByteCount, offset, blockSize);
    mdl->MdlFlags |= MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = mdl->StartVa;
}

void IoManager::UnlockPages(PMDL mdl) {
    if (!mdls_.count(mdl)) Violation("MmUnlockPages of %p, which is not an MDL", static_cast<void*>(mdl));
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) Violation("MmUnlockPages of an MDL that is not locked");
    mdl->MdlFlags &= static_cast<SHORT>(~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA));
}

PVOID IoManager::SystemAddressForMdl(PMDL mdl) {
    if (!mdl || !mdls_.count(mdl)) Violation("MmGetSystemAddressForMdlSafe of %p, which is not an MDL", static_cast<void*>(mdl));
    // Mapping pages that are not locked maps whatever frames they happen to have.
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED))
        Violation("MmGetSystemAddressForMdlSafe of an MDL whose pages are not locked (MmProbeAndLockPages first)");
    return mdl->MappedSystemVa;
}

bool IoManager::IsLockedWithin(const void* begin, size_t size) const {
    auto* first = static_cast<const char*>(begin);
    for (auto& [mdl, sequence] : mdls_) {
        (void)sequence;
        auto* start = static_cast<const char*>(mdl->StartVa);
        if ((mdl->MdlFlags & MDL_PAGES_LOCKED) && start < first + size && start + mdl->ByteCount > first) return true;
    }
    return false;
}

NTSTATUS IoManager::SendFileRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major, ACCESS_MASK access,
                                    KPROCESSOR_MODE mode, bool mayFail) {
    PIRP irp = NewIrp(device->StackSize, Kind::Threaded, mayFail);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    irp->UserIosb = &status;
    irp->UserEvent = &event;
    irp->RequestorMode = mode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    if (major == IRP_MJ_CREATE) next->Parameters.Create.DesiredAccess = access;
    if (CallDriver(device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return status.Status;
}

NTSTATUS IoManager::Open(const std::wstring& path, ACCESS_MASK access, Caller caller, PFILE_OBJECT* file) {
    std::wstring rest;
    PDEVICE_OBJECT device = Objects().Resolve(path, &rest);
    if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
    PDEVICE_OBJECT top = ObjectManager::Top(device);
    if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
    // Past the device's own name the check is the driver's business unless
    // the stack asks the I/O manager to make it.
    bool checked = rest.empty() || (top->Characteristics & FILE_DEVICE_SECURE_OPEN);
    if (checked && !AccessGranted(device, caller, access)) return STATUS_ACCESS_DENIED;
    PFILE_OBJECT opened = Objects().CreateFileObject(device, rest);
    if (!opened) return STATUS_INSUFFICIENT_RESOURCES;
    KPROCESSOR_MODE mode = caller == Caller::Kernel ? KernelMode : UserMode;
    NTSTATUS status = SendFileRequest(top, opened, IRP_MJ_CREATE, access, mode, true);
    if (!NT_SUCCESS(status)) {
        Objects().DiscardFileObject(opened);
        return status;
    }
    *file = opened;
    return status;
}

void IoManager::CloseHandle(PFILE_OBJECT file) {
    SendFileRequest(ObjectManager::Top(file->DeviceObject), file, IRP_MJ_CLEANUP, 0, KernelMode, false);
    Objects().Dereference(file, "NtClose");
}

void IoManager::CloseFile(PFILE_OBJECT file) {
    SendFileRequest(ObjectManager::Top(file->DeviceObject), file, IRP_MJ_CLOSE, 0, KernelMode, false);
}

NTSTATUS IoManager::DeviceIoControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                                    ULONG outputLength, ULONG_PTR* information) {
    PDEVICE_OBJECT top = ObjectManager::Top(file->DeviceObject);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = BuildDeviceIoControlRequest(code, top, const_cast<void*>(input), inputLength, output, outputLength,
                                           FALSE, &event, &status);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    irp->RequestorMode = UserMode;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    if (CallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    if (information) *information = status.Information;
    return status.Status;
}

size_t IoManager::LiveIrps() const {
    size_t live = 0;
    for (auto& [irp, record] : records_)
        if (record.state != State::Freed) ++live;
    return live;
}

std::vector<std::string> IoManager::Leaks() const {
    std::vector<std::pair<uint64_t, std::string>> found;
    for (auto& [irp, record] : records_) {
        if (record.state == State::Freed) continue;
        std::string where = record.target ? Objects().Describe(record.target) : std::string("no device");
        found.emplace_back(record.sequence, Format("IRP #%llu (sent to %s) was never completed and freed",
                                                   static_cast<unsigned long long>(record.sequence), where.c_str()));
    }
    std::sort(found.begin(), found.end());
    std::vector<std::pair<uint64_t, std::string>> mdls;
    for (auto& [mdl, sequence] : mdls_)
        mdls.emplace_back(sequence, Format("an MDL of %u bytes at %p%s was never freed", mdl->ByteCount, mdl->StartVa,
                                           (mdl->MdlFlags & MDL_PAGES_LOCKED) ? ", its pages still locked," : ""));
    std::sort(mdls.begin(), mdls.end());
    found.insert(found.end(), mdls.begin(), mdls.end());
    std::vector<std::string> leaks;
    for (auto& [sequence, text] : found) leaks.push_back(text);
    return leaks;
}

}  // namespace sim
