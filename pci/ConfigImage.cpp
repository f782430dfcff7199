// The saved image of a device's whole configuration space.
#include "filter/FilterDevice.h"

void FilterDevice::SaveConfigSpace() {
    // Saving and restoring configuration space is not built yet.
}

void FilterDevice::RestoreConfigSpace() {}
