// Completing an IRP with a status, the one tail every dispatch path shares.
#pragma once

#include "platform/platform.h"

inline NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
