#include "driver/DriverGlobals.h"

// Constant-initialised: no constructor runs at load.
constexpr DriverGlobalsRecord InitialDriverGlobals = {
    1, 1, 1, nullptr, {nullptr, nullptr}, 0, FALSE, FALSE, {}, {}, nullptr, {0, 0, nullptr}, nullptr, {},
};

const DriverGlobalsRecord DriverGlobalsAtLoad = InitialDriverGlobals;
DriverGlobalsRecord DriverGlobals = InitialDriverGlobals;
