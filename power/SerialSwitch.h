// Switching a device's power through the RTS line of the first serial port.
#pragma once

#include "platform/platform.h"

class FilterDevice;

// Methods 1 (power on = RTS cleared) and 2 (power on = RTS set). The port is
// opened on the object's first use, and DTR raised then.
NTSTATUS SerialSwitch(FilterDevice* Filter, BOOLEAN On, ULONG Method);

// Gives up the object's port, if it opened one.
void ReleaseSerialPort(FilterDevice* Filter);
