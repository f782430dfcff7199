#include "config/BootGuard.h"

BOOLEAN CheckBootGuard(PUNICODE_STRING RegistryPath) {
    // The guard's registry values are not read yet: every boot filters.
    UNREFERENCED_PARAMETER(RegistryPath);
    return FALSE;
}
