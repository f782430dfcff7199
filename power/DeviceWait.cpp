#include "power/DeviceWait.h"

#include "pci/Config.h"

BOOLEAN WaitForDeviceToAnswer(PDEVICE_OBJECT Pdo) {
    const ULONGLONG deadline = KeQueryInterruptTime() + DeviceAnswerTimeout;
    for (;;) {
        if (ReadConfig32(Pdo, 0) != 0xFFFFFFFF) return TRUE;
        if (KeQueryInterruptTime() >= deadline) return FALSE;
        LARGE_INTEGER interval;
        interval.QuadPart = -DevicePollInterval;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}
