#include "filter/FilterDevice.h"

#include "common/Completion.h"
#include "common/DriverGlobals.h"
#include "common/PoolTags.h"
#include "pci/Config.h"
#include "power/Dsm.h"
#include "power/SerialSwitch.h"

FilterDevice::FilterDevice()
    : DeviceObject(nullptr),
      Pdo(nullptr),
      LowerDevice(nullptr),
      DriverObject(nullptr),
      DeviceType(0),
      VendorId(0),
      DeviceId(0),
      ChildDevicesList(),
      ChildNodes(),
      ChildCount(0),
      Parent(nullptr),
      DsmUuid(),
      ConfigBuffer(nullptr),
      ConfigSaved(FALSE),
      DevicePowerState(PowerDeviceUnspecified),
      HasDsm(FALSE),
      PoweredOn(TRUE),
      Reported(FALSE),
      BusNumberCached(FALSE),
      DeviceNumberCached(FALSE),
      FunctionNumberCached(FALSE),
      BusNumber(0),
      DeviceNumber(0),
      FunctionNumber(0),
      SerialDeviceObject(nullptr),
      SerialFileObject(nullptr),
      SerialOpened(FALSE),
      RemoveLock(),
      PlatformLock(),
      PowerLock() {
    InitializeListHead(&ChildDevicesList);
    InitializeNodeLookaside(&ChildNodes);
    IoInitializeRemoveLock(&RemoveLock, TagObject, 0, 0);
    KeInitializeEvent(&PlatformLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&PowerLock, SynchronizationEvent, TRUE);
}

FilterDevice* NewFilterDevice() {
    void* memory = ExAllocatePoolWithTag(DriverGlobals.NonPagedPoolType, sizeof(FilterDevice), TagObject);
    return memory ? new (memory) FilterDevice() : nullptr;
}

void DestroyFilterDevice(FilterDevice* Filter) {
    Filter->Teardown();
    // The lookaside list is registered with the kernel until deleted.
    ExDeletePagedLookasideList(&Filter->ChildNodes);
    Filter->~FilterDevice();
    ExFreePoolWithTag(Filter, TagObject);
}

NTSTATUS FilterDevice::CreateDevice(PDRIVER_OBJECT Driver, ULONG Type) {
    if (Driver == nullptr || DeviceObject != nullptr) return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(FilterDevice*), nullptr, Type, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<FilterDevice**>(device->DeviceExtension) = this;
    DeviceObject = device;
    DriverObject = Driver;
    DeviceType = Type;
    return status;
}

NTSTATUS FilterDevice::Attach(PDEVICE_OBJECT TargetPdo) {
    if (TargetPdo == nullptr) return STATUS_INVALID_PARAMETER;
    if (Pdo != nullptr) return STATUS_DEVICE_ALREADY_ATTACHED;
    LowerDevice = IoAttachDeviceToDeviceStack(DeviceObject, TargetPdo);
    if (LowerDevice == nullptr) return STATUS_UNSUCCESSFUL;
    Pdo = TargetPdo;

    // Behave as the device below does for buffering and power paging, and keep
    // its access check for opens past its name.
    constexpr ULONG inheritedFlags = DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE;
    DeviceObject->Flags |= LowerDevice->Flags & inheritedFlags;
    DeviceObject->Characteristics |= LowerDevice->Characteristics & FILE_DEVICE_SECURE_OPEN;
    DeviceObject->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);

    VendorId = ReadConfig16(Pdo, PciVendorIdOffset);
    DeviceId = ReadConfig16(Pdo, PciDeviceIdOffset);
    HasDsm = ProbeDsm(this);
    return STATUS_SUCCESS;
}

void FilterDevice::Teardown() {
    if (LowerDevice != nullptr) Detach();
    if (DeviceObject != nullptr) {
        // An IRP that still reaches the deleted device object finds no filter.
        *static_cast<FilterDevice**>(DeviceObject->DeviceExtension) = nullptr;
        IoDeleteDevice(DeviceObject);
        DeviceObject = nullptr;
    }
    if (ConfigBuffer != nullptr) {
        ExFreePoolWithTag(ConfigBuffer, TagObject);
        ConfigBuffer = nullptr;
    }
    ReleaseSerialPort(this);
}

void FilterDevice::Detach() {
    if (LowerDevice != nullptr && Pdo != nullptr) {
        IoDetachDevice(LowerDevice);
        LowerDevice = nullptr;
        Pdo = nullptr;
    }
}

ULONG FilterDevice::GetChildCount() { return ChildCount; }

FilterDevice* FilterDevice::GetChild(ULONG Index) { return ListEntryAt(&ChildDevicesList, ChildCount, Index); }

ListEntryRecord* FilterDevice::TakeChildNode() {
    return static_cast<ListEntryRecord*>(ExAllocateFromPagedLookasideList(&ChildNodes));
}

void FilterDevice::LinkChild(FilterDevice* Child, ListEntryRecord* Node) {
    Node->Device = Child;
    InsertTailChecked(&ChildDevicesList, &Node->Links);
    ++ChildCount;
}

void FilterDevice::AddChild(FilterDevice* Child) {
    // Callers that must not end up with an unlisted child take the node first.
    ListEntryRecord* node = TakeChildNode();
    if (node != nullptr) LinkChild(Child, node);
}

void FilterDevice::RemoveChild(FilterDevice* Child) {
    for (PLIST_ENTRY entry = ChildDevicesList.Flink; entry != &ChildDevicesList; entry = entry->Flink) {
        auto* node = CONTAINING_RECORD(entry, ListEntryRecord, Links);
        if (node->Device != Child) continue;
        RemoveEntryChecked(entry);
        ExFreeToPagedLookasideList(&ChildNodes, node);
        --ChildCount;
        return;
    }
}

BOOLEAN FilterDevice::IsVideoDevice() { return DeviceType == FILE_DEVICE_VIDEO; }

void FilterDevice::OrphanChildren() {
    while (!IsListEmpty(&ChildDevicesList)) {
        PLIST_ENTRY entry = ChildDevicesList.Flink;
        auto* node = CONTAINING_RECORD(entry, ListEntryRecord, Links);
        node->Device->Parent = nullptr;
        RemoveEntryChecked(entry);
        ExFreeToPagedLookasideList(&ChildNodes, node);
        --ChildCount;
    }
}

namespace {

FilterDevice* AcquireListed(FilterDevice* Filter) {
    if (Filter == nullptr || !NT_SUCCESS(IoAcquireRemoveLock(&Filter->RemoveLock, nullptr))) return nullptr;
    return Filter;
}

}  // namespace

FilterDevice* AcquireParent(FilterDevice* Child) {
    LockDeviceLists();
    FilterDevice* parent = AcquireListed(Child->Parent);
    UnlockDeviceLists();
    return parent;
}

FilterDevice* AcquireChildAt(FilterDevice* Bridge, ULONG Index) {
    LockDeviceLists();
    FilterDevice* child = AcquireListed(Bridge->GetChild(Index));
    UnlockDeviceLists();
    return child;
}

FilterDevice* FilterForIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FilterDevice* filter = FilterFromDevice(DeviceObject);
    if (filter == nullptr) {
        // The filter was removed; its device object is only still referenced.
        if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(Irp);
        CompleteIrp(Irp, STATUS_DELETE_PENDING);
    }
    return filter;
}

void ReleaseFilter(FilterDevice* Filter) { IoReleaseRemoveLock(&Filter->RemoveLock, nullptr); }
