// Cutting and restoring a child's power by a platform method.
#include "filter/FilterDevice.h"

NTSTATUS FilterDevice::SetPlatformPower(PULONG State, ULONG Method) {
    // Platform switching is not built yet.
    UNREFERENCED_PARAMETER(State);
    UNREFERENCED_PARAMETER(Method);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS FilterDevice::SwitchPower(BOOLEAN On, FilterDevice* ParentBridge, ULONG Method) {
    UNREFERENCED_PARAMETER(On);
    UNREFERENCED_PARAMETER(ParentBridge);
    UNREFERENCED_PARAMETER(Method);
    return STATUS_NOT_IMPLEMENTED;
}
