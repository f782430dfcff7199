// The boot guard in the driver's service key.
#pragma once

#include "platform/platform.h"

// TRUE when filtering is disabled for this boot.
BOOLEAN CheckBootGuard(PUNICODE_STRING RegistryPath);
