#include "control/Rescan.h"

#include "common/DriverGlobals.h"
#include "common/Roles.h"
#include "filter/FilterDevice.h"

namespace {

// 69 seconds, relative, in units of 100 ns.
constexpr LONGLONG RescanDelay = -690000000LL;

}  // namespace

void ScheduleRescan() {
    // Two services may ask at once: the test and the set are one step.
    LockDeviceLists();
    bool pending = DriverGlobals.RescanPending != FALSE;
    DriverGlobals.RescanPending = TRUE;
    UnlockDeviceLists();
    if (pending) return;

    KeInitializeTimerEx(&DriverGlobals.RescanTimer, NotificationTimer);
    LARGE_INTEGER due;
    due.QuadPart = RescanDelay;
    KeSetTimer(&DriverGlobals.RescanTimer, due, nullptr);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE thread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&thread, GENERIC_ALL, &attributes, nullptr, nullptr, RescanThread, nullptr);
    if (!NT_SUCCESS(status)) {
        // No thread will clear it: a later request may try again.
        KeCancelTimer(&DriverGlobals.RescanTimer);
        LockDeviceLists();
        DriverGlobals.RescanPending = FALSE;
        UnlockDeviceLists();
        DbgPrint("VoxenPCI: the rescan thread could not be created (0x%08X)\n", static_cast<unsigned>(status));
        return;
    }
    // The thread runs on its own; nothing waits for it or signals it.
    ZwClose(thread);
}

VOID RescanThread(PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    KeWaitForSingleObject(&DriverGlobals.RescanTimer, Executive, KernelMode, FALSE, nullptr);
    // Each bridge is held while it is asked, so a removal meanwhile waits.
    for (ULONG index = 0;; ++index) {
        FilterDevice* bridge = AcquireBridgeAt(index);
        if (bridge == nullptr) break;
        IoInvalidateDeviceRelations(bridge->Pdo, BusRelations);
        ReleaseFilter(bridge);
    }
    LockDeviceLists();
    DriverGlobals.RescanPending = FALSE;
    UnlockDeviceLists();
    PsTerminateSystemThread(STATUS_SUCCESS);
}
