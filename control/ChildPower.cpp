// IOCTL_SET_CHILD_POWER: a child named by its PCI location, switched by power
// IRPs or by the platform; a device nobody knows schedules a rescan.
#include "control/ChildPower.h"

#include "control/Protocol.h"
#include "control/Rescan.h"
#include "filter/FilterDevice.h"
#include "pci/Identity.h"

namespace {

bool IsAt(FilterDevice* Child, const VoxenChildPowerRequest& Request) {
    return static_cast<ULONG>(BusNumber(Child)) == Request.Bus &&
           static_cast<ULONG>(DeviceNumber(Child)) == Request.Device &&
           static_cast<ULONG>(FunctionNumber(Child)) == Request.Function;
}

// The first child, across every bridge in order, at the request's location,
// held by its remove lock; null when there is none.
FilterDevice* AcquireChildAtLocation(const VoxenChildPowerRequest& Request) {
    for (ULONG bridgeIndex = 0;; ++bridgeIndex) {
        FilterDevice* bridge = AcquireBridgeAt(bridgeIndex);
        if (bridge == nullptr) return nullptr;
        for (ULONG childIndex = 0;; ++childIndex) {
            FilterDevice* child = AcquireChildAt(bridge, childIndex);
            if (child == nullptr) break;
            if (IsAt(child, Request)) {
                ReleaseFilter(bridge);
                return child;
            }
            ReleaseFilter(child);
        }
        ReleaseFilter(bridge);
    }
}

}  // namespace

NTSTATUS SetChildPower(PVOID Buffer, ULONG InputLength) {
    if (InputLength != sizeof(VoxenChildPowerRequest)) {
        ScheduleRescan();
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    VoxenChildPowerRequest request;
    RtlCopyMemory(&request, Buffer, sizeof(request));
    FilterDevice* child = AcquireChildAtLocation(request);
    if (child == nullptr) {
        ScheduleRescan();
        return STATUS_INVALID_PARAMETER;
    }
    // Found is success: the service learns how the switch went from the device.
    ULONG state = request.State;
    if (request.Mode == VOXEN_CHILD_POWER_BY_IRP) {
        child->SetDevicePower(&state);
    } else if (request.Mode == VOXEN_CHILD_POWER_BY_PLATFORM) {
        child->SetPlatformPower(&state, request.Method);
    }
    ReleaseFilter(child);
    return STATUS_SUCCESS;
}
