// The child power request of the control protocol.
#pragma once

#include "platform/platform.h"

// Serves IOCTL_SET_CHILD_POWER from its system buffer; Information stays 0.
NTSTATUS SetChildPower(PVOID Buffer, ULONG InputLength);
