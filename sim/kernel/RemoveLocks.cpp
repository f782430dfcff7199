#include "sim/kernel/RemoveLocks.h"

#include <algorithm>

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

void RemoveLocks::Initialize(PIO_REMOVE_LOCK lock) {
    lock->Common.Removed = FALSE;
    lock->Common.IoCount = 1;
    KeInitializeEvent(&lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    held_[lock].clear();  // a lock made again in reused memory starts afresh
}

std::vector<PVOID>& RemoveLocks::Held(PIO_REMOVE_LOCK lock, const char* service) {
    auto it = held_.find(lock);
    if (it == held_.end() || (lock->Common.IoCount <= 0 && !lock->Common.Removed))
        Violation("%s on a remove lock that was never initialised", service);
    return it->second;
}

void RemoveLocks::ForgetTag(PIO_REMOVE_LOCK lock, PVOID tag, const char* service) {
    std::vector<PVOID>& held = Held(lock, service);
    auto it = std::find(held.begin(), held.end(), tag);
    if (it == held.end())
        Violation("%s with tag %p, which no IoAcquireRemoveLock of this lock holds", service, tag);
    held.erase(it);
}

NTSTATUS RemoveLocks::Acquire(PIO_REMOVE_LOCK lock, PVOID tag) {
    std::vector<PVOID>& held = Held(lock, "IoAcquireRemoveLock");
    ++lock->Common.IoCount;
    if (!lock->Common.Removed) {
        held.push_back(tag);
        return STATUS_SUCCESS;
    }
    if (--lock->Common.IoCount == 0) KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
}

void RemoveLocks::Release(PIO_REMOVE_LOCK lock, PVOID tag) {
    if (lock->Common.IoCount <= 0) Violation("IoReleaseRemoveLock after the lock's removal finished");
    if (lock->Common.IoCount <= 1 && !lock->Common.Removed)
        Violation("IoReleaseRemoveLock without a matching IoAcquireRemoveLock");
    ForgetTag(lock, tag, "IoReleaseRemoveLock");
    if (--lock->Common.IoCount == 0) KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

void RemoveLocks::ReleaseAndWait(PIO_REMOVE_LOCK lock, PVOID tag) {
    if (lock->Common.Removed) Violation("IoReleaseRemoveLockAndWait called twice");
    if (lock->Common.IoCount <= 1) Violation("IoReleaseRemoveLockAndWait without holding the lock (acquire it first)");
    ForgetTag(lock, tag, "IoReleaseRemoveLockAndWait");
    lock->Common.Removed = TRUE;
    --lock->Common.IoCount;          // the caller's own acquire
    if (--lock->Common.IoCount > 0)  // the initial bias
        Kernel::Current().Threads().Wait(&lock->Common.RemoveEvent.Header, nullptr,
                                         Format("IoReleaseRemoveLockAndWait: the remove lock at %p is still held "
                                                "%ld time(s)",
                                                static_cast<void*>(lock), static_cast<long>(lock->Common.IoCount)));
}

}  // namespace sim
