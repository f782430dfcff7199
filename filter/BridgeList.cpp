#include "filter/BridgeList.h"

#include "common/DriverGlobals.h"

FilterDevice* BridgeAt(ULONG Index) { return ListEntryAt(&DriverGlobals.BridgeList, DriverGlobals.BridgeCount, Index); }

void AppendBridge(FilterDevice* Bridge, ListEntryRecord* Node) {
    Node->Device = Bridge;
    InsertTailChecked(&DriverGlobals.BridgeList, &Node->Links);
    ++DriverGlobals.BridgeCount;
}

bool IsListedBridge(FilterDevice* Filter) {
    for (PLIST_ENTRY entry = DriverGlobals.BridgeList.Flink; entry != &DriverGlobals.BridgeList; entry = entry->Flink)
        if (CONTAINING_RECORD(entry, ListEntryRecord, Links)->Device == Filter) return true;
    return false;
}

void RemoveBridge(FilterDevice* Bridge) {
    PLIST_ENTRY entry = DriverGlobals.BridgeList.Flink;
    while (entry != &DriverGlobals.BridgeList) {
        PLIST_ENTRY next = entry->Flink;
        auto* node = CONTAINING_RECORD(entry, ListEntryRecord, Links);
        if (node->Device == Bridge) {
            RemoveEntryChecked(entry);
            ExFreeToPagedLookasideList(&DriverGlobals.BridgeNodes, node);
            --DriverGlobals.BridgeCount;
        }
        entry = next;
    }
}

FilterDevice* AcquireBridgeAt(ULONG Index) {
    LockDeviceLists();
    FilterDevice* bridge = BridgeAt(Index);
    if (bridge != nullptr && !NT_SUCCESS(IoAcquireRemoveLock(&bridge->RemoveLock, nullptr))) bridge = nullptr;
    UnlockDeviceLists();
    return bridge;
}
