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
