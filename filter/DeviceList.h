// The lists of FilterDevice objects: BridgeList and each bridge's
// ChildDevicesList. Nodes come from a paged lookaside list; every link change
// is checked, and a corrupt link stops the machine as the kernel's own list
// operations do.
#pragma once

#include "platform/platform.h"

class FilterDevice;

struct ListEntryRecord {
    LIST_ENTRY Links;
    FilterDevice* Device;
};

// Appends `Entry` at the tail of `Head`.
void InsertTailChecked(PLIST_ENTRY Head, PLIST_ENTRY Entry);
// Unlinks `Entry` from its list.
void RemoveEntryChecked(PLIST_ENTRY Entry);

// The object at zero-based `Index`, or null when `Index` is not below `Count`.
FilterDevice* ListEntryAt(PLIST_ENTRY Head, ULONG Count, ULONG Index);

// Starts a lookaside list of ListEntryRecord nodes.
void InitializeNodeLookaside(PPAGED_LOOKASIDE_LIST Lookaside);

// One driver-wide lock, at passive level, over the structure of BridgeList and
// of every ChildDevicesList: Plug and Play paths change them while control
// requests and the rescan read them. It is held only while links are read or
// changed, never across an IRP, a configuration request or a wait. Code that
// uses a listed object after dropping the lock holds that object's remove lock
// (AcquireBridgeAt, AcquireChildAt), so a removal waits for it.
void InitializeDeviceListLock();
void LockDeviceLists();
void UnlockDeviceLists();
