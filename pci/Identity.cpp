#include "pci/Identity.h"

namespace {

// A PCI device's address property: device number in the upper half, function in the lower.
bool ReadAddress(FilterDevice* Filter, ULONG* Address) {
    if (!Filter->IsReported()) return false;
    ULONG length = 0;
    return NT_SUCCESS(IoGetDeviceProperty(Filter->Pdo, DevicePropertyAddress, sizeof(*Address), Address, &length));
}

}  // namespace

UCHAR BusNumber(FilterDevice* Filter) {
    // A PDO the manager has not taken in yet has no properties to read (bug check 0xCA).
    if (!Filter->IsReported()) return UnknownBusNumber;
    if (!Filter->BusNumberCached) {
        ULONG bus = 0;
        ULONG length = 0;
        NTSTATUS status = IoGetDeviceProperty(Filter->Pdo, DevicePropertyBusNumber, sizeof(bus), &bus, &length);
        Filter->BusNumber = NT_SUCCESS(status) ? static_cast<UCHAR>(bus & 0xFF) : UnknownBusNumber;
        Filter->BusNumberCached = TRUE;
    }
    return Filter->BusNumber;
}

USHORT DeviceNumber(FilterDevice* Filter) {
    if (!Filter->IsReported()) return UnknownDeviceNumber;
    if (!Filter->DeviceNumberCached) {
        ULONG address = 0;
        Filter->DeviceNumber = ReadAddress(Filter, &address) ? static_cast<USHORT>(address >> 16) : UnknownDeviceNumber;
        Filter->DeviceNumberCached = TRUE;
    }
    return Filter->DeviceNumber;
}

USHORT FunctionNumber(FilterDevice* Filter) {
    if (!Filter->IsReported()) return UnknownFunctionNumber;
    if (!Filter->FunctionNumberCached) {
        ULONG address = 0;
        Filter->FunctionNumber =
            ReadAddress(Filter, &address) ? static_cast<USHORT>(address & 0xFFFF) : UnknownFunctionNumber;
        Filter->FunctionNumberCached = TRUE;
    }
    return Filter->FunctionNumber;
}
