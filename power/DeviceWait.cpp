#include "power/DeviceWait.h"

#include "pci/Config.h"

namespace {

// A device still initialising answers with Configuration Request Retry Status
// where the root port makes it visible: its vendor ID then reads 0x0001.
constexpr ULONG RetryVendorId = 0x0001;

bool Answered(ULONG FirstDword) { return FirstDword != 0xFFFFFFFF && (FirstDword & 0xFFFF) != RetryVendorId; }

}  // namespace

BOOLEAN WaitForDeviceToAnswer(PDEVICE_OBJECT Pdo) {
    const ULONGLONG deadline = KeQueryInterruptTime() + DeviceAnswerTimeout;
    for (;;) {
        if (Answered(ReadConfig32(Pdo, 0))) return TRUE;
        if (KeQueryInterruptTime() >= deadline) return FALSE;
        LARGE_INTEGER interval;
        interval.QuadPart = -DevicePollInterval;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}
