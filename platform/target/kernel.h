// Target half: the DDK headers of mingw-w64.
#pragma once

// wdm.h and intrin.h both define these two intrinsics in C++.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>  // ntddk.h and the object and security services

// The safe-boot indicator ntoskrnl.exe exports: the variable itself (the
// WDK's PULONG declaration names the import slot that points at it).
// mingw-w64's headers do not declare it.
extern "C" __declspec(dllimport) ULONG InitSafeBootMode;

// ACPI method evaluation: IOCTL_ACPI_EVAL_METHOD and its buffer signatures.
#include <acpiioct.h>

// The HID class driver's requests and the HID parser library (hidparse.sys),
// which mingw-w64 declares only in its user-mode headers.
#define IOCTL_HID_GET_COLLECTION_INFORMATION CTL_CODE(FILE_DEVICE_KEYBOARD, 106, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_HID_GET_COLLECTION_DESCRIPTOR CTL_CODE(FILE_DEVICE_KEYBOARD, 100, METHOD_NEITHER, FILE_ANY_ACCESS)

typedef struct _HID_COLLECTION_INFORMATION {
    ULONG DescriptorSize;
    BOOLEAN Polled;
    UCHAR Reserved1[1];
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
} HID_COLLECTION_INFORMATION, *PHID_COLLECTION_INFORMATION;

typedef USHORT USAGE;
typedef struct _HIDP_PREPARSED_DATA* PHIDP_PREPARSED_DATA;

typedef struct _HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
} HIDP_CAPS, *PHIDP_CAPS;

#define HIDP_STATUS_SUCCESS ((NTSTATUS)0x00110000L)

extern "C" __declspec(dllimport) NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData,
                                                             PHIDP_CAPS Capabilities);

// The serial driver's line-control requests (ntddser.h).
#define IOCTL_SERIAL_SET_DTR CTL_CODE(FILE_DEVICE_SERIAL_PORT, 9, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_RTS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 12, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_CLR_RTS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 13, METHOD_BUFFERED, FILE_ANY_ACCESS)
