// Host half: the simulated kernel's declarations of the Windows kernel names.
#pragma once

#include "sim/ddk/devices.h"
#include "sim/ddk/wdm.h"
