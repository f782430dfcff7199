// Waiting for a device to answer configuration reads again, after a reset or
// a power-on: its first dword reads all ones until then, or a vendor ID of
// 0x0001 while it asks for the read to be retried.
#pragma once

#include "platform/platform.h"

// How often to look, and how long a device may take before it is given up:
// the minute Linux allows a device after a reset.
constexpr LONGLONG DevicePollInterval = 5 * 10000LL;            // 5 ms, in 100 ns units
constexpr ULONGLONG DeviceAnswerTimeout = 60 * 10000000ULL;     // 60 s, in 100 ns units

// TRUE once the device answers; FALSE when it still does not after DeviceAnswerTimeout.
BOOLEAN WaitForDeviceToAnswer(PDEVICE_OBJECT Pdo);
