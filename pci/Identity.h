// A device's PCI location, read once from the bus driver's device properties
// and kept in its FilterDevice.
#pragma once

#include "filter/FilterDevice.h"

// What a location reads as when the bus driver does not say: no PCI device
// has these numbers (device numbers stop at 31, functions at 7).
constexpr UCHAR UnknownBusNumber = 0xFF;
constexpr USHORT UnknownDeviceNumber = 0xFFFF;
constexpr USHORT UnknownFunctionNumber = 0xFFFF;

UCHAR BusNumber(FilterDevice* Filter);
USHORT DeviceNumber(FilterDevice* Filter);
USHORT FunctionNumber(FilterDevice* Filter);
