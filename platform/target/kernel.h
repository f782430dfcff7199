// Target half: the DDK headers of mingw-w64.
#pragma once

// wdm.h and intrin.h both define these two intrinsics in C++.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

// The safe-boot indicator ntoskrnl.exe exports: the variable itself (the
// WDK's PULONG declaration names the import slot that points at it).
// mingw-w64's headers do not declare it.
extern "C" __declspec(dllimport) ULONG InitSafeBootMode;

// ACPI method evaluation: IOCTL_ACPI_EVAL_METHOD and its buffer signatures.
#include <acpiioct.h>
