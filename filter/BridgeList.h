// BridgeList: every bridge FilterDevice still present, in the order of admission.
#pragma once

#include "filter/FilterDevice.h"

// The bridge at zero-based `Index`, or null past the end.
FilterDevice* BridgeAt(ULONG Index);

// Links `Bridge` through a node taken beforehand from the bridge node lookaside list.
void AppendBridge(FilterDevice* Bridge, ListEntryRecord* Node);

// Whether `Filter` is a bridge in BridgeList (the list lock is held).
bool IsListedBridge(FilterDevice* Filter);

// Unlinks every node of `Bridge`, if it is a bridge at all: a removed bridge
// must not be found by control requests or a rescan.
void RemoveBridge(FilterDevice* Bridge);
