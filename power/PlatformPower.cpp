// Cutting and restoring a child's power by a platform method, with every
// function of the same PCI device saved before the cut and restored after.
#include "common/DriverGlobals.h"
#include "filter/FilterDevice.h"
#include "pci/Identity.h"
#include "power/DeviceWait.h"
#include "power/Dsm.h"
#include "power/HidBoard.h"
#include "power/SerialSwitch.h"

namespace {

enum class SiblingStep { Save, Restore };

// Saves or restores every listed function of the device at `Bus`:`Device`
// behind `Parent`, in the order of its list, each held while it is used.
// After a save: whether every function of the device holds an image, and no
// listed child is of a location unknown (which might be one of them).
bool ForEachFunction(FilterDevice* Parent, UCHAR Bus, USHORT Device, SiblingStep Step) {
    bool everyImage = true;
    for (ULONG index = 0;; ++index) {
        FilterDevice* sibling = AcquireChildAt(Parent, index);
        if (sibling == nullptr) return everyImage;
        UCHAR siblingBus = BusNumber(sibling);
        USHORT siblingDevice = DeviceNumber(sibling);
        if (siblingBus == UnknownBusNumber || siblingDevice == UnknownDeviceNumber) everyImage = false;
        if (siblingBus == Bus && siblingDevice == Device) {
            if (Step == SiblingStep::Save) {
                sibling->SaveConfigSpace();
                if (!sibling->ConfigSaved) everyImage = false;
            } else {
                sibling->RestoreConfigSpace();
            }
        }
        ReleaseFilter(sibling);
    }
}

}  // namespace

NTSTATUS FilterDevice::SetPlatformPower(PULONG State, ULONG Method) {
    FilterDevice* parent = AcquireParent(this);
    if (parent == nullptr) return STATUS_ACPI_INVALID_TABLE;
    if (*State != PowerDeviceD0 && *State != PowerDeviceD3) {
        ReleaseFilter(parent);
        return STATUS_SUCCESS;
    }
    UCHAR bus = ::BusNumber(this);
    USHORT device = ::DeviceNumber(this);
    // Read nowhere else: a platform switch always polls and restores.
    DriverGlobals.EnablePollingPostACPI = 1;
    DriverGlobals.EnableCfgRestore = 1;

    KeWaitForSingleObject(&parent->PlatformLock, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = STATUS_SUCCESS;
    if (*State == PowerDeviceD0 && !PoweredOn) {
        status = SwitchPower(TRUE, parent, Method);
        bool answered = true;
        if (DriverGlobals.EnablePollingPostACPI) answered = WaitForDeviceToAnswer(Pdo) != FALSE;
        if (!answered) {
            // Nothing goes into a device that is not there; the switch did act.
            DbgPrint("VoxenPCI: device %02x:%02x.%x did not answer within 60 s of its power-on; nothing was restored\n",
                     bus, device, ::FunctionNumber(this));
            status = STATUS_IO_TIMEOUT;
        } else if (DriverGlobals.EnableCfgRestore) {
            ForEachFunction(parent, bus, device, SiblingStep::Restore);
        }
        PoweredOn = TRUE;
    } else if (*State == PowerDeviceD3 && PoweredOn) {
        if (ForEachFunction(parent, bus, device, SiblingStep::Save)) {
            status = SwitchPower(FALSE, parent, Method);
            PoweredOn = FALSE;
        } else {
            // A function cut off without its image would come back unprogrammed
            // for good: the device stays on, as if never asked.
            DbgPrint("VoxenPCI: device %02x:%02x.%x not switched off: a function of it could not be saved\n", bus,
                     device, ::FunctionNumber(this));
            status = STATUS_UNSUCCESSFUL;
        }
    }
    KeSetEvent(&parent->PlatformLock, IO_NO_INCREMENT, FALSE);
    ReleaseFilter(parent);
    return status;
}

NTSTATUS FilterDevice::SwitchPower(BOOLEAN On, FilterDevice* ParentBridge, ULONG Method) {
    switch (Method) {
    case 0: {
        if (ParentBridge->HasDsm) return DsmSetPower(ParentBridge, On ? 1 : 2);
        // Without a board record none is present; one made here is never told of a board.
        if (DriverGlobals.HidBoard == nullptr) {
            DriverGlobals.HidBoard = NewHidSwitchBoard();
            if (DriverGlobals.HidBoard == nullptr) return STATUS_SUCCESS;
        }
        NTSTATUS status = SendHidCommand(DriverGlobals.HidBoard, On);
        return status == STATUS_NOT_FOUND ? STATUS_SUCCESS : status;  // no board: nothing to switch
    }
    case 1:
    case 2: return SerialSwitch(this, On, Method);
    default: return STATUS_SUCCESS;
    }
}
