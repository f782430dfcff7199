// Device power states requested through power IRPs.
#include "filter/FilterDevice.h"

NTSTATUS FilterDevice::SetDevicePower(PULONG State) {
    // Power IRP requests are not built yet.
    UNREFERENCED_PARAMETER(State);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS FilterDevice::QueryDevicePower(PULONG State) {
    UNREFERENCED_PARAMETER(State);
    return STATUS_NOT_IMPLEMENTED;
}
