// Configuration-space access through the bus driver, by configuration IRPs
// sent to the top of a device's stack.
#pragma once

#include "platform/platform.h"

// One access of `Length` bytes at `Offset`.
NTSTATUS PciConfigRead(PDEVICE_OBJECT Pdo, ULONG Offset, PVOID Buffer, ULONG Length);
NTSTATUS PciConfigWrite(PDEVICE_OBJECT Pdo, ULONG Offset, PVOID Buffer, ULONG Length);

// Typed reads answer all ones when the access did not fill the result, which
// is also what a device that does not answer reads as.
UCHAR ReadConfig8(PDEVICE_OBJECT Pdo, ULONG Offset);
USHORT ReadConfig16(PDEVICE_OBJECT Pdo, ULONG Offset);
ULONG ReadConfig32(PDEVICE_OBJECT Pdo, ULONG Offset);
NTSTATUS WriteConfig32(PDEVICE_OBJECT Pdo, ULONG Offset, ULONG Value);

// Walks the capability list for the PCI Express capability (ID 0x10).
BOOLEAN HasPciExpressCapability(PDEVICE_OBJECT Pdo);

// Standard configuration header offsets and values.
constexpr ULONG PciVendorIdOffset = 0x00;
constexpr ULONG PciDeviceIdOffset = 0x02;
constexpr ULONG PciSubClassOffset = 0x0A;
constexpr ULONG PciBaseClassOffset = 0x0B;
constexpr ULONG PciCapabilitiesPointerOffset = 0x34;
constexpr UCHAR PciClassBridge = 0x06;
constexpr UCHAR PciSubClassPciToPci = 0x04;
constexpr UCHAR PciCapabilityIdExpress = 0x10;
