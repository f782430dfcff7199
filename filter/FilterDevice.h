// The object behind every filter device object of this driver, on a bridge or
// on a child device. A bridge uses its ChildDevicesList; a child its Parent.
#pragma once

#include "filter/DeviceList.h"
#include "platform/platform.h"

// Final: nothing derives from it, so its destructor need not be virtual (the
// object is destroyed in place, never deleted through a base pointer).
class FilterDevice final {
public:
    FilterDevice();

    // The operations, in slot order.
    virtual NTSTATUS CreateDevice(PDRIVER_OBJECT DriverObject, ULONG Type);
    virtual NTSTATUS Attach(PDEVICE_OBJECT TargetPdo);
    virtual void Teardown();
    virtual void Detach();
    virtual ULONG GetChildCount();
    virtual FilterDevice* GetChild(ULONG Index);
    virtual NTSTATUS SetPlatformPower(PULONG State, ULONG Method);
    virtual NTSTATUS SetDevicePower(PULONG State);
    virtual NTSTATUS QueryDevicePower(PULONG State);
    virtual NTSTATUS DispatchPower(PDEVICE_OBJECT Device, PIRP Irp);
    virtual NTSTATUS DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp);
    virtual NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp);
    virtual NTSTATUS HandleRemove(PDEVICE_OBJECT Device, PIRP Irp);
    virtual void ProcessBusRelations(PDEVICE_RELATIONS Relations);
    virtual BOOLEAN IsVideoDevice();
    virtual void SaveConfigSpace();
    virtual void RestoreConfigSpace();
    virtual void AddChild(FilterDevice* Child);
    virtual void RemoveChild(FilterDevice* Child);
    virtual NTSTATUS SwitchPower(BOOLEAN On, FilterDevice* ParentBridge, ULONG Method);

    // Sends an IRP down the stack and waits for it to come back.
    NTSTATUS ForwardAndWait(PIRP Irp);
    // IRP_MN_DEVICE_USAGE_NOTIFICATION: follows the device below in and out of
    // the paging path.
    NTSTATUS HandleUsageNotification(PDEVICE_OBJECT Device, PIRP Irp);

    // AddChild in two steps, so that a node can be had before a child filter
    // is made: a child must never exist without its place in the list.
    ListEntryRecord* TakeChildNode();
    void LinkChild(FilterDevice* Child, ListEntryRecord* Node);

    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice;
    PDRIVER_OBJECT DriverObject;
    ULONG DeviceType;
    USHORT VendorId;
    USHORT DeviceId;
    LIST_ENTRY ChildDevicesList;
    PAGED_LOOKASIDE_LIST ChildNodes;
    ULONG ChildCount;
    FilterDevice* Parent;
    GUID DsmUuid;
    PUCHAR ConfigBuffer;
    BOOLEAN ConfigSaved;
    ULONG DevicePowerState;
    BOOLEAN HasDsm;
    BOOLEAN PoweredOn;
    // The Plug and Play manager holds the PDO's device node: its properties may
    // be read. A child recorded from bus relations waits for the manager's first
    // IRP. Set by a PnP IRP while a control request may be reading it.
    volatile LONG Reported;
    void MarkReported() { InterlockedExchange(&Reported, TRUE); }
    bool IsReported() { return InterlockedCompareExchange(&Reported, FALSE, FALSE) != FALSE; }
    BOOLEAN BusNumberCached;
    BOOLEAN DeviceNumberCached;
    BOOLEAN FunctionNumberCached;
    UCHAR BusNumber;
    USHORT DeviceNumber;
    USHORT FunctionNumber;
    PDEVICE_OBJECT SerialDeviceObject;
    PFILE_OBJECT SerialFileObject;
    BOOLEAN SerialOpened;
    // Held by every IRP and every user of the object outside the list lock;
    // removal waits for all of them before the filter leaves its stack.
    IO_REMOVE_LOCK RemoveLock;
    // On a bridge: held by a platform switch of one of its children from the
    // save to the end of the restore, so that two functions of one device are
    // never saved while it is cut or restored while it is switched off.
    KEVENT PlatformLock;
    // Held by a bridge-power request from its save or restore to the end of its
    // power IRP: two requests for one bridge never save and restore its image
    // at once (each would read what the other half-wrote).
    KEVENT PowerLock;

private:
    void OrphanChildren();
};

// A FilterDevice in non-paged pool, constructed; null when pool is short.
FilterDevice* NewFilterDevice();
// Tears the object down, deletes its node lookaside list and frees it.
void DestroyFilterDevice(FilterDevice* Filter);

// The FilterDevice a filter device object belongs to: the first eight bytes
// of its extension, cleared when the filter is removed. Never call it for the
// control device, which has no extension.
inline FilterDevice* FilterFromDevice(PDEVICE_OBJECT Device) { return *static_cast<FilterDevice**>(Device->DeviceExtension); }

// The FilterDevice an IRP reached on one of the driver's filter device
// objects; null when the filter was removed, the IRP then completed with
// STATUS_DELETE_PENDING.
FilterDevice* FilterForIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// A listed bridge or child, with its remove lock held; null past the end of
// the list or once the object is being removed. Release with ReleaseFilter.
FilterDevice* AcquireBridgeAt(ULONG Index);
// The child's parent bridge, held; null for an orphan or a parent on its way out.
FilterDevice* AcquireParent(FilterDevice* Child);
FilterDevice* AcquireChildAt(FilterDevice* Bridge, ULONG Index);
void ReleaseFilter(FilterDevice* Filter);
