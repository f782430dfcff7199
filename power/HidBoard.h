// The USB HID power-switch board: one tracked at a time.
#pragma once

#include "platform/platform.h"

struct HidSwitchBoard {
    PVOID NotificationEntry;
    PDEVICE_OBJECT BoardDevice;
    PFILE_OBJECT BoardFile;
    BOOLEAN Present;
    USHORT InputReportLength;
    USHORT OutputReportLength;
};

// Watches HID interfaces for the board.
void RegisterHidNotification(HidSwitchBoard* Board, PDRIVER_OBJECT DriverObject);
