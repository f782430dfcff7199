#include "pci/Config.h"

namespace {

NTSTATUS PciConfigAccess(PDEVICE_OBJECT Pdo, UCHAR MinorFunction, ULONG Offset, PVOID Buffer, ULONG Length) {
    // The whole stack sees the request, down to the bus driver that owns the space.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo);
    if (top == nullptr) return STATUS_INVALID_PARAMETER;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_NOT_SUPPORTED;
    ioStatus.Information = 0;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &ioStatus);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = MinorFunction;
    next->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    next->Parameters.ReadWriteConfig.Buffer = Buffer;
    next->Parameters.ReadWriteConfig.Offset = Offset;
    next->Parameters.ReadWriteConfig.Length = Length;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // Plug and Play requests start unanswered

    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    ObDereferenceObject(top);
    return status;
}

}  // namespace

NTSTATUS PciConfigRead(PDEVICE_OBJECT Pdo, ULONG Offset, PVOID Buffer, ULONG Length) {
    return PciConfigAccess(Pdo, IRP_MN_READ_CONFIG, Offset, Buffer, Length);
}

NTSTATUS PciConfigWrite(PDEVICE_OBJECT Pdo, ULONG Offset, PVOID Buffer, ULONG Length) {
    return PciConfigAccess(Pdo, IRP_MN_WRITE_CONFIG, Offset, Buffer, Length);
}

UCHAR ReadConfig8(PDEVICE_OBJECT Pdo, ULONG Offset) {
    UCHAR value = 0xFF;
    PciConfigRead(Pdo, Offset, &value, sizeof(value));
    return value;
}

USHORT ReadConfig16(PDEVICE_OBJECT Pdo, ULONG Offset) {
    USHORT value = 0xFFFF;
    PciConfigRead(Pdo, Offset, &value, sizeof(value));
    return value;
}

ULONG ReadConfig32(PDEVICE_OBJECT Pdo, ULONG Offset) {
    ULONG value = 0xFFFFFFFF;
    PciConfigRead(Pdo, Offset, &value, sizeof(value));
    return value;
}

NTSTATUS WriteConfig32(PDEVICE_OBJECT Pdo, ULONG Offset, ULONG Value) {
    return PciConfigWrite(Pdo, Offset, &Value, sizeof(Value));
}

BOOLEAN HasPciExpressCapability(PDEVICE_OBJECT Pdo) {
    // A list that loops on itself must still end: at most 255 entries are visited.
    constexpr ULONG maximumVisits = 255;
    UCHAR pointer = ReadConfig8(Pdo, PciCapabilitiesPointerOffset);
    for (ULONG visited = 0; pointer != 0x00 && pointer != 0xFF && visited < maximumVisits; ++visited) {
        if (ReadConfig8(Pdo, pointer) == PciCapabilityIdExpress) return TRUE;
        pointer = ReadConfig8(Pdo, static_cast<UCHAR>(pointer + 1));
    }
    return FALSE;
}
