#include "power/HidBoard.h"

void RegisterHidNotification(HidSwitchBoard* Board, PDRIVER_OBJECT DriverObject) {
    // Boards are not watched yet: the record stays empty and reports no board.
    UNREFERENCED_PARAMETER(Board);
    UNREFERENCED_PARAMETER(DriverObject);
}
