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
    // The board's interface name, copied at arrival: its removal is known by
    // it (the name no longer resolves by then).
    UNICODE_STRING BoardLink;
    // The target-device-change registration on the board's file object.
    PVOID TargetEntry;
    // Held while the record is read or changed: the notification thread, the
    // Plug and Play manager's thread and the service's thread all use it.
    KEVENT Lock;
};

// A cleared record in non-paged pool; null when pool is short.
HidSwitchBoard* NewHidSwitchBoard();

// Watches HID interfaces for the board.
void RegisterHidNotification(HidSwitchBoard* Board, PDRIVER_OBJECT DriverObject);

// The interface-change callback: arrival and removal of HID collections.
DRIVER_NOTIFICATION_CALLBACK_ROUTINE HidInterfaceChange;

// Writes the ON or OFF command to the board.
NTSTATUS SendHidCommand(HidSwitchBoard* Board, BOOLEAN On);
