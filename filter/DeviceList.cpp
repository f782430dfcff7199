#include "filter/DeviceList.h"

#include "common/DriverGlobals.h"
#include "common/PoolTags.h"

namespace {

// The kernel's fail-fast for a list entry whose neighbours do not point back.
constexpr ULONG KernelSecurityCheckFailure = 0x139;
constexpr ULONG_PTR FastFailCorruptListEntry = 3;

[[noreturn]] void FailCorruptList(PLIST_ENTRY Entry) {
    KeBugCheckEx(KernelSecurityCheckFailure, FastFailCorruptListEntry, reinterpret_cast<ULONG_PTR>(Entry), 0, 0);
}

}  // namespace

void InsertTailChecked(PLIST_ENTRY Head, PLIST_ENTRY Entry) {
    PLIST_ENTRY tail = Head->Blink;
    if (tail->Flink != Head) FailCorruptList(Head);
    Entry->Flink = Head;
    Entry->Blink = tail;
    tail->Flink = Entry;
    Head->Blink = Entry;
}

void RemoveEntryChecked(PLIST_ENTRY Entry) {
    PLIST_ENTRY next = Entry->Flink;
    PLIST_ENTRY previous = Entry->Blink;
    if (next->Blink != Entry || previous->Flink != Entry) FailCorruptList(Entry);
    previous->Flink = next;
    next->Blink = previous;
}

FilterDevice* ListEntryAt(PLIST_ENTRY Head, ULONG Count, ULONG Index) {
    if (Index >= Count) return nullptr;
    PLIST_ENTRY entry = Head->Flink;
    for (ULONG position = 0; position < Index; ++position) entry = entry->Flink;
    return CONTAINING_RECORD(entry, ListEntryRecord, Links)->Device;
}

void InitializeNodeLookaside(PPAGED_LOOKASIDE_LIST Lookaside) {
    ExInitializePagedLookasideList(Lookaside, nullptr, nullptr, 0, sizeof(ListEntryRecord), TagNode, 0);
}

void InitializeDeviceListLock() { KeInitializeEvent(&DriverGlobals.ListLock, SynchronizationEvent, TRUE); }

void LockDeviceLists() {
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&DriverGlobals.ListLock, Executive, KernelMode, FALSE, nullptr);
}

void UnlockDeviceLists() {
    KeSetEvent(&DriverGlobals.ListLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}
