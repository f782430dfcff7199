// Device objects of the simulated drivers (bus driver, function drivers): each
// one's extension points at a C++ object that handles its IRPs.
#pragma once

#include <functional>
#include <string>

#include "sim/ddk/wdm.h"
#include "sim/hw/PciFunction.h"

namespace sim {

class SimDevice {
public:
    virtual ~SimDevice() = default;
    virtual NTSTATUS Dispatch(PIRP irp) = 0;
    PDEVICE_OBJECT device = nullptr;
};

// A driver object whose every major function goes to the device's SimDevice.
PDRIVER_OBJECT CreateSimDriver(const std::wstring& name);
// Creates a device object of `driver` handled by `owner`.
PDEVICE_OBJECT CreateSimDevice(PDRIVER_OBJECT driver, SimDevice* owner, DEVICE_TYPE type, ULONG characteristics = 0);

// Completes an IRP with a status.
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Leaves the IRP's status as the sender set it: what a bus driver does with a
// Plug and Play or power IRP it does not handle.
NTSTATUS CompleteUnchanged(PIRP irp);

// A PDO's answer to a TargetDeviceRelation query: a list of itself, referenced,
// in paged pool with `tag`; null when pool is short.
PDEVICE_RELATIONS TargetRelationOf(PDEVICE_OBJECT pdo, ULONG tag);

// The same, but later, from a DPC at DISPATCH_LEVEL, as a driver that finishes
// requests when its hardware interrupts does. The IRP is marked pending and
// STATUS_PENDING returned.
NTSTATUS CompleteFromDpc(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
NTSTATUS CompleteUnchangedFromDpc(PIRP irp);
// Passes an IRP down and, when the driver below completes it, completes it
// again from a DPC: every driver above then finishes at DISPATCH_LEVEL.
NTSTATUS PassDownCompletingFromDpc(PIRP irp, PDEVICE_OBJECT lower);

// A function driver's device: passes everything down, leaves the stack on
// removal. `relations`, when set, answers bus-relations queries. A storage
// device (`storage`) does what Windows's disk drivers do: it answers opens,
// registers and enables a disk interface, holds paging files (clearing its
// DO_POWER_PAGABLE while it does, and refusing to stop or be removed).
class FunctionDevice : public SimDevice {
public:
    using Relations = std::function<PDEVICE_RELATIONS()>;
    // `completesFromDpc`: IRPs come back up from a DPC; `pageable`: the device
    // object keeps the DO_POWER_PAGABLE it copies from below, else clears it.
    FunctionDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, DEVICE_TYPE type, Relations relations = {},
                   PowerBehavior power = {}, bool completesFromDpc = false, bool pageable = true,
                   bool storage = false);
    NTSTATUS Dispatch(PIRP irp) override;

private:
    NTSTATUS DispatchStorage(PIRP irp, PIO_STACK_LOCATION location, bool* handled);
    NTSTATUS ForwardAndWait(PIRP irp);
    void DisableInterface();
    NTSTATUS DispatchPower(PIRP irp, PIO_STACK_LOCATION location);
    NTSTATUS PassDown(PIRP irp);
    NTSTATUS Finish(PIRP irp, NTSTATUS status);

    PDEVICE_OBJECT lower_ = nullptr;
    Relations relations_;
    PowerBehavior power_;
    bool completesFromDpc_;
    bool storage_;
    int pagingFiles_ = 0;
    UNICODE_STRING diskInterface_{};
    bool interfaceEnabled_ = false;
};

}  // namespace sim
