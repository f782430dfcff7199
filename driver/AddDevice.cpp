#include "filter/BridgeList.h"
#include "common/DriverGlobals.h"
#include "common/Roles.h"
#include "pci/Config.h"

namespace {

// A PCI-to-PCI bridge that carries the PCI Express capability.
bool IsPciExpressBridge(PDEVICE_OBJECT Pdo) {
    if (ReadConfig16(Pdo, PciVendorIdOffset) == 0xFFFF || ReadConfig16(Pdo, PciDeviceIdOffset) == 0xFFFF) return false;
    if (ReadConfig8(Pdo, PciBaseClassOffset) != PciClassBridge) return false;
    if (ReadConfig8(Pdo, PciSubClassOffset) != PciSubClassPciToPci) return false;
    return HasPciExpressCapability(Pdo) != FALSE;
}

// Our filter in the stack above `Pdo`, placed there as the child of an upstream bridge.
FilterDevice* FilterAlreadyInStack(PDEVICE_OBJECT Pdo) {
    for (PDEVICE_OBJECT device = Pdo->AttachedDevice; device != nullptr; device = device->AttachedDevice) {
        if (device->DriverObject == DriverGlobals.DriverObject) return FilterFromDevice(device);
    }
    return nullptr;
}

}  // namespace

// Never fails the Plug and Play manager: a device that is not admitted, or
// whose filter cannot be made, simply has no filter.
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    if (DriverGlobals.Disabled) return STATUS_SUCCESS;
    if (!IsPciExpressBridge(Pdo)) return STATUS_SUCCESS;

    // The list node first: a filter must never be installed without its place in BridgeList.
    auto* node = static_cast<ListEntryRecord*>(ExAllocateFromPagedLookasideList(&DriverGlobals.BridgeNodes));
    if (node == nullptr) return STATUS_SUCCESS;

    FilterDevice* bridge = FilterAlreadyInStack(Pdo);
    if (bridge == nullptr) {
        bridge = NewFilterDevice();
        if (bridge == nullptr || !NT_SUCCESS(bridge->CreateDevice(DriverObject, FILE_DEVICE_BUS_EXTENDER)) ||
            !NT_SUCCESS(bridge->Attach(Pdo))) {
            if (bridge != nullptr) DestroyFilterDevice(bridge);
            ExFreeToPagedLookasideList(&DriverGlobals.BridgeNodes, node);
            return STATUS_SUCCESS;
        }
    }
    bridge->MarkReported();  // AddDevice comes for a device node the manager made
    LockDeviceLists();
    AppendBridge(bridge, node);
    UnlockDeviceLists();
    return STATUS_SUCCESS;
}
