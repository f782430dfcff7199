// A test-only kernel driver that plays, under Wine's kernel-driver host, what
// Wine does not have: the PCI bus driver of one bridge and the two-function
// endpoint behind it, the ACPI filter on the bridge, and the Plug and Play
// manager that loads voxenpci.sys, calls its AddDevice and drives the stacks.
// Never shipped, never named by the INF.
#pragma once

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>
#include <acpiioct.h>
#include <ntimage.h>

extern "C" __declspec(dllimport) POBJECT_TYPE* IoDriverObjectType;

// "Hars" in memory.
constexpr ULONG HarnessTag = 0x73726148;
constexpr ULONG ConfigSize = 4096;

// One PCI function as the bus driver models it.
struct PciModel {
    UCHAR Bus, Device, Function;
    UCHAR Config[ConfigSize];
    UCHAR PowerOn[ConfigSize];   // what the registers hold after power returns
    UCHAR Writable[ConfigSize];  // per byte, the bits software may change
    BOOLEAN Powered;
    ULONGLONG SilentUntil;       // interrupt time: all ones until then
    ULONGLONG RetryUntil;        // then vendor ID 0x0001 (retry status) until this
    ULONG SilentReads;           // reads answered all ones or retry status since power returned
    DEVICE_POWER_STATE PowerState;
    KSPIN_LOCK Lock;
};

enum class Role : ULONG { BridgePdo = 1, EndpointPdo, AcpiFilter };

// The extension of every device object the harness creates.
struct HarnessExtension {
    Role Kind;
    PciModel* Model;              // the PDOs' function
    PDEVICE_OBJECT Lower;         // the ACPI filter's next device
};

inline HarnessExtension* ExtensionOf(PDEVICE_OBJECT Device) {
    return static_cast<HarnessExtension*>(Device->DeviceExtension);
}

// The harness's state, one instance.
struct HarnessState {
    PDRIVER_OBJECT Driver;
    UNICODE_STRING ServiceKey;     // the harness's own service key: where it reports
    PDEVICE_OBJECT BridgePdo;
    PDEVICE_OBJECT AcpiFilter;
    PDEVICE_OBJECT EndpointPdo[2];
    PciModel* Bridge;
    PciModel* Endpoint[2];
    PDRIVER_OBJECT Voxen;          // voxenpci's driver object, referenced
    LONG OwnRelationsQueries;      // in flight from the harness's Plug and Play manager
    LONG OtherRelationsQueries;    // bus-relations queries at the bridge that the harness did not send
    LONG RelationsQueries;         // every bus-relations query the bridge's bus driver answered
    BOOLEAN Patched;               // voxenpci's import table patched before its DriverEntry ran
    CHAR Events[65536];            // what happened, one line each, for the report
    BOOLEAN EventsDropped;         // the buffer filled up: later events are only in the debug output
    ULONG EventsLength;
    KSPIN_LOCK EventsLock;
};

extern HarnessState Harness;

// Bus.cpp: the PCI bus driver's functions and PDOs.
NTSTATUS CreateBus();
NTSTATUS BusDispatch(PDEVICE_OBJECT Device, PIRP Irp);
void SwitchEndpointPower(bool On);
bool IsHarnessPdo(PDEVICE_OBJECT Device);

// Acpi.cpp: the ACPI filter on the bridge.
NTSTATUS AcpiDispatch(PDEVICE_OBJECT Device, PIRP Irp);

// Services.cpp: the kernel services voxenpci gets from the harness instead of Wine.
void PatchImports(PVOID ImageBase);

// Report.cpp: events and registry values under the harness's service key.
void Event(const char* Format, ...);
void ReportString(PCWSTR Name, const char* Text);
void ReportDword(PCWSTR Name, ULONG Value);
void ReportBinary(PCWSTR Name, const void* Data, ULONG Length);
bool TakeRequest(char* Text, ULONG Size);
void FinishRequest();
ULONG ReadDword(PCWSTR Name);
void FlushEvents();

// PnpManager.cpp: loads voxenpci and drives its stacks.
NTSTATUS StartPnpManager();
