// The driver's service key and its REG_DWORD values.
#pragma once

#include "platform/platform.h"

// Opens the service key named by `Path`, the first time keeping a copy of the
// path (DriverGlobals.SavedRegistryPath) for later use. Null when it cannot.
HANDLE OpenServiceKey(PUNICODE_STRING Path);

// Frees the saved copy of the path: for a load that fails after saving it.
void ForgetServiceKeyPath();

// TRUE with the value when `Name` holds a REG_DWORD.
BOOLEAN QueryDwordValue(HANDLE Key, PCWSTR Name, PULONG Value);
BOOLEAN SetDwordValue(HANDLE Key, PCWSTR Name, ULONG Value);
