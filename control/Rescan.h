// The delayed bus rescan: when the service names a device the driver does not
// know, every filtered bridge is asked for its bus relations again, once, 69
// seconds later, from a system thread of the driver's own.
#pragma once

#include "platform/platform.h"

void ScheduleRescan();
