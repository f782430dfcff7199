// The boot guard: with "EnableDC" set, a boot filters only when the boot
// before it armed the guard, and every load disarms it again.
#pragma once

#include "platform/platform.h"

// "EnableDC" holds this to enable the guard.
constexpr ULONG BootGuardEnabled = 0x07AADE22;
// "DCState" holds this when the guard is armed for the next load.
constexpr ULONG BootGuardArmed = 0x00080EA2;

// TRUE when filtering is disabled for this boot. Also reads the driver's
// flags when the guard is enabled.
BOOLEAN CheckBootGuard(PUNICODE_STRING RegistryPath);

// Enables the guard and arms it for the next load. Failures are not reported.
void ArmBootGuard();
