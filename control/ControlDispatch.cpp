// The control device's requests, and the routing of device-control IRPs
// that reach a filter's device object.
#include "config/BootGuard.h"
#include "control/ChildPower.h"
#include "control/Protocol.h"
#include "common/Completion.h"
#include "common/DeviceStates.h"
#include "common/DriverGlobals.h"
#include "common/Roles.h"
#include "filter/FilterDevice.h"
#include "pci/Identity.h"

namespace {

// One request as the dispatch routine sees it. Input and output share the
// system buffer of a buffered request.
struct ControlRequest {
    PVOID Buffer;
    ULONG InputLength;
    ULONG OutputLength;
    ULONG_PTR Information;
};

ULONG ReadDword(const ControlRequest& Request, ULONG Offset) {
    ULONG value;
    RtlCopyMemory(&value, static_cast<PUCHAR>(Request.Buffer) + Offset, sizeof(value));
    return value;
}

NTSTATUS GetBridgeCount(ControlRequest& Request) {
    if (Request.OutputLength != sizeof(ULONG)) return STATUS_INVALID_DEVICE_REQUEST;
    LockDeviceLists();
    ULONG count = DriverGlobals.BridgeCount;
    UnlockDeviceLists();
    RtlCopyMemory(Request.Buffer, &count, sizeof(count));
    Request.Information = sizeof(count);
    return STATUS_SUCCESS;
}

NTSTATUS GetBridgeInfo(ControlRequest& Request) {
    if (Request.InputLength != sizeof(ULONG) || Request.OutputLength != sizeof(VoxenBridgeInfo))
        return STATUS_INVALID_DEVICE_REQUEST;
    // Held for the whole request: a removal meanwhile waits for it.
    FilterDevice* bridge = AcquireBridgeAt(ReadDword(Request, 0));
    if (bridge == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    VoxenBridgeInfo reply;
    RtlZeroMemory(&reply, sizeof(reply));  // the reserved bytes too: nothing leaves that was not written
    reply.VendorId = bridge->VendorId;
    reply.DeviceId = bridge->DeviceId;
    reply.BusNumber = BusNumber(bridge);
    LockDeviceLists();
    reply.ChildCount = bridge->GetChildCount();
    UnlockDeviceLists();
    ReleaseFilter(bridge);
    RtlCopyMemory(Request.Buffer, &reply, sizeof(reply));
    Request.Information = sizeof(reply);
    return STATUS_SUCCESS;
}

NTSTATUS SetBridgePower(ControlRequest& Request) {
    if (Request.InputLength != sizeof(VoxenBridgePowerRequest)) return STATUS_INVALID_DEVICE_REQUEST;
    ULONG state = ReadDword(Request, offsetof(VoxenBridgePowerRequest, State));
    FilterDevice* bridge = AcquireBridgeAt(ReadDword(Request, offsetof(VoxenBridgePowerRequest, BridgeIndex)));
    if (bridge == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    // Nothing is saved or requested for a state the device cannot have.
    if (!IsDeviceState(state)) {
        ReleaseFilter(bridge);
        return STATUS_INVALID_PARAMETER;
    }
    KeWaitForSingleObject(&bridge->PowerLock, Executive, KernelMode, FALSE, nullptr);
    if (state == PowerDeviceD0) {
        bridge->RestoreConfigSpace();
    } else {
        bridge->SaveConfigSpace();
    }
    NTSTATUS status = bridge->SetDevicePower(&state);
    KeSetEvent(&bridge->PowerLock, IO_NO_INCREMENT, FALSE);
    ReleaseFilter(bridge);
    return status;
}

NTSTATUS QueryBridgePower(ControlRequest& Request) {
    if (Request.InputLength != sizeof(ULONG) || Request.OutputLength != sizeof(ULONG))
        return STATUS_INVALID_DEVICE_REQUEST;
    ULONG value = ReadDword(Request, 0);
    FilterDevice* bridge = AcquireBridgeAt(value);
    if (bridge == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    // The one dword names the bridge; it is a state to ask about only when it
    // is one, and D0 otherwise. The reply is the buffer as it came.
    ULONG state = IsDeviceState(value) ? value : static_cast<ULONG>(PowerDeviceD0);
    NTSTATUS status = bridge->QueryDevicePower(&state);
    ReleaseFilter(bridge);
    // The reply is the buffer as it came, with the query's status, success or not.
    Request.Information = sizeof(ULONG);
    return status;
}

NTSTATUS GetChildInfo(ControlRequest& Request) {
    if (Request.InputLength != sizeof(VoxenChildInfoRequest) || Request.OutputLength != sizeof(VoxenChildInfo))
        return STATUS_INVALID_DEVICE_REQUEST;
    FilterDevice* bridge = AcquireBridgeAt(ReadDword(Request, offsetof(VoxenChildInfoRequest, BridgeIndex)));
    if (bridge == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    FilterDevice* child = AcquireChildAt(bridge, ReadDword(Request, offsetof(VoxenChildInfoRequest, ChildIndex)));
    ReleaseFilter(bridge);
    if (child == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    VoxenChildInfo reply;
    RtlZeroMemory(&reply, sizeof(reply));
    reply.VendorId = child->VendorId;
    reply.DeviceId = child->DeviceId;
    reply.BusNumber = BusNumber(child);
    ReleaseFilter(child);
    RtlCopyMemory(Request.Buffer, &reply, sizeof(reply));
    Request.Information = sizeof(reply);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject != DriverGlobals.ControlDevice) {
        FilterDevice* filter = FilterForIrp(DeviceObject, Irp);
        return filter ? filter->DispatchDeviceControl(DeviceObject, Irp) : STATUS_DELETE_PENDING;
    }

    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    ControlRequest request = {Irp->AssociatedIrp.SystemBuffer, location->Parameters.DeviceIoControl.InputBufferLength,
                              location->Parameters.DeviceIoControl.OutputBufferLength, 0};
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_GET_BRIDGE_COUNT: status = GetBridgeCount(request); break;
    case IOCTL_GET_BRIDGE_INFO: status = GetBridgeInfo(request); break;
    case IOCTL_SET_BRIDGE_POWER: status = SetBridgePower(request); break;
    case IOCTL_QUERY_BRIDGE_POWER: status = QueryBridgePower(request); break;
    case IOCTL_GET_CHILD_INFO: status = GetChildInfo(request); break;
    case IOCTL_RESERVED_6:
    case IOCTL_RESERVED_7: status = STATUS_REQUEST_NOT_ACCEPTED; break;
    case IOCTL_SET_CHILD_POWER: status = SetChildPower(request.Buffer, request.InputLength); break;
    case IOCTL_ARM_BOOT_GUARD:
        ArmBootGuard();
        status = STATUS_SUCCESS;
        break;
    default: break;
    }
    // On an error status the I/O manager copies nothing back, whatever Information says.
    Irp->IoStatus.Information = request.Information;
    return CompleteIrp(Irp, status);
}
