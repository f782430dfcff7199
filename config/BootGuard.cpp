#include "config/BootGuard.h"

#include "config/Registry.h"
#include "common/DriverGlobals.h"

namespace {

// A flag value of 0 turns the flag off; anything else leaves it on.
void ReadFlag(HANDLE Key, PCWSTR Name, PUCHAR Flag) {
    ULONG value = 1;
    if (QueryDwordValue(Key, Name, &value) && value == 0) *Flag = 0;
}

}  // namespace

BOOLEAN CheckBootGuard(PUNICODE_STRING RegistryPath) {
    HANDLE key = OpenServiceKey(RegistryPath);
    if (key == nullptr) return FALSE;

    BOOLEAN disable = FALSE;
    ULONG enable = 0;
    if (QueryDwordValue(key, L"EnableDC", &enable) && enable == BootGuardEnabled) {
        ULONG state = 0;
        bool armed = QueryDwordValue(key, L"DCState", &state) && state == BootGuardArmed;
        // This load uses up the arming: the service must arm again for the next boot.
        SetDwordValue(key, L"DCState", 0);
        ReadFlag(key, L"EnableCfgRestore", &DriverGlobals.EnableCfgRestore);
        ReadFlag(key, L"EnablePolling", &DriverGlobals.EnablePolling);
        ReadFlag(key, L"EnablePollingPostACPI", &DriverGlobals.EnablePollingPostACPI);
        disable = armed ? FALSE : TRUE;
    }
    ZwClose(key);
    return disable;
}

void ArmBootGuard() {
    // Only the path saved at load names the key: a safe-mode load saved none.
    if (DriverGlobals.SavedRegistryPath.Buffer == nullptr) return;
    if (HANDLE key = OpenServiceKey(&DriverGlobals.SavedRegistryPath)) {
        SetDwordValue(key, L"EnableDC", BootGuardEnabled);
        ZwClose(key);
    }
    if (HANDLE key = OpenServiceKey(&DriverGlobals.SavedRegistryPath)) {
        SetDwordValue(key, L"DCState", BootGuardArmed);
        ZwClose(key);
    }
}
