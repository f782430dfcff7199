#include "common/DriverGlobals.h"

// Constant-initialised: no constructor runs at load.
constexpr DriverGlobalsRecord InitialDriverGlobals = {
    1, 1, 1, nullptr, {nullptr, nullptr}, 0, FALSE, FALSE, {}, {}, nullptr, {0, 0, nullptr}, nullptr, {}, NonPagedPool,
};

const DriverGlobalsRecord DriverGlobalsAtLoad = InitialDriverGlobals;
DriverGlobalsRecord DriverGlobals = InitialDriverGlobals;

// Windows 8 (6.2) introduced NonPagedPoolNx; Windows 7 rejects it as a bad pool type.
POOL_TYPE ChooseNonPagedPoolType() {
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (!NT_SUCCESS(RtlGetVersion(&version))) return NonPagedPool;
    bool atLeastWindows8 = version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2);
    return atLeastWindows8 ? NonPagedPoolNx : NonPagedPool;
}
