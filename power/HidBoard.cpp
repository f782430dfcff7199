#include "power/HidBoard.h"

#include "common/DriverGlobals.h"
#include "common/PoolTags.h"

namespace {

// GUID_DEVINTERFACE_HID, and the notification events, as wdmguid.h gives them.
constexpr GUID HidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr GUID InterfaceArrival = {0xCB3A4004, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
constexpr GUID TargetQueryRemove = {0xCB3A4006, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
constexpr GUID TargetRemoveCancelled = {0xCB3A4007, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
constexpr GUID TargetRemoveComplete = {0xCB3A4008, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};

// The board: vendor and product, and its access for opens.
constexpr USHORT BoardVendor = 0x2047;
constexpr USHORT BoardProduct = 0x0317;
constexpr ACCESS_MASK ReadWriteAccess = 0xC0000000;

// The commands, written at offset 0 of an otherwise zero output report.
constexpr UCHAR OnCommand[] = {0x3F, 0x32, 0x4C, 0x45, 0x44, 0x20, 0x4F, 0x4E, 0x21, 0x00};
constexpr UCHAR OffCommand[] = {0x3F, 0x32, 0x4C, 0x45, 0x44, 0x20, 0x4F, 0x46, 0x46, 0x21, 0x00};
static_assert(sizeof(OnCommand) == 10 && sizeof(OffCommand) == 11, "the command texts with their terminators");
// The write is built for these many bytes; its MDL then covers the whole report.
constexpr ULONG BuiltWriteLength = 9;
static_assert(sizeof(HID_COLLECTION_INFORMATION) == 12, "HID_COLLECTION_INFORMATION is 12 bytes");
static_assert(IOCTL_HID_GET_COLLECTION_INFORMATION == 0xB01A8 && IOCTL_HID_GET_COLLECTION_DESCRIPTOR == 0xB0193,
              "the HID class driver's codes");

void LockBoard(HidSwitchBoard* Board) {
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&Board->Lock, Executive, KernelMode, FALSE, nullptr);
}

void UnlockBoard(HidSwitchBoard* Board) {
    KeSetEvent(&Board->Lock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

// A device-control request to the board, on its file object, waited for;
// the status block's status.
NTSTATUS BoardRequest(PDEVICE_OBJECT Device, PFILE_OBJECT File, ULONG Code, PVOID Output, ULONG OutputLength) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    ioStatus.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Device, nullptr, 0, Output, OutputLength, FALSE, &event, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = File;
    if (IoCallDriver(Device, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return ioStatus.Status;
}

// The report lengths of the board's collection, from its preparsed data.
void ReadReportLengths(HidSwitchBoard* Board, PDEVICE_OBJECT Device, PFILE_OBJECT File, ULONG DescriptorSize) {
    void* preparsed = ExAllocatePoolWithTag(PagedPool, DescriptorSize, TagHidPreparsed);
    if (preparsed == nullptr) return;
    if (NT_SUCCESS(BoardRequest(Device, File, IOCTL_HID_GET_COLLECTION_DESCRIPTOR, preparsed, DescriptorSize))) {
        HIDP_CAPS caps;
        RtlZeroMemory(&caps, sizeof(caps));
        if (HidP_GetCaps(static_cast<PHIDP_PREPARSED_DATA>(preparsed), &caps) == HIDP_STATUS_SUCCESS) {
            Board->InputReportLength = caps.InputReportByteLength;
            Board->OutputReportLength = caps.OutputReportByteLength;
        }
    }
    ExFreePoolWithTag(preparsed, TagHidPreparsed);
}

DRIVER_NOTIFICATION_CALLBACK_ROUTINE HidTargetChange;

// Keeps removal of the board in view through its file object. Without it the
// open file would veto every safe removal of the board and outlive a pulled one.
bool WatchBoardRemoval(HidSwitchBoard* Board) {
    Board->TargetEntry = nullptr;
    NTSTATUS status = IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, Board->BoardFile,
                                                     DriverGlobals.DriverObject, HidTargetChange, Board,
                                                     &Board->TargetEntry);
    if (!NT_SUCCESS(status)) Board->TargetEntry = nullptr;
    return NT_SUCCESS(status);
}

// Forgets the board (the lock is held): its file object, its registration and its name.
void ReleaseBoard(HidSwitchBoard* Board) {
    if (Board->BoardFile != nullptr) ObDereferenceObject(Board->BoardFile);
    if (Board->TargetEntry != nullptr) IoUnregisterPlugPlayNotificationEx(Board->TargetEntry);
    if (Board->BoardLink.Buffer != nullptr) ExFreePoolWithTag(Board->BoardLink.Buffer, TagObject);
    Board->BoardLink.Buffer = nullptr;
    Board->BoardLink.Length = Board->BoardLink.MaximumLength = 0;
    Board->TargetEntry = nullptr;
    Board->BoardFile = nullptr;
    Board->BoardDevice = nullptr;
    Board->Present = FALSE;
    Board->InputReportLength = 0;
    Board->OutputReportLength = 0;
}

void BoardArrived(HidSwitchBoard* Board, PUNICODE_STRING Link) {
    if (Board->Present) return;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(Link, ReadWriteAccess, &file, &device))) return;

    HID_COLLECTION_INFORMATION information;
    RtlZeroMemory(&information, sizeof(information));
    NTSTATUS status = BoardRequest(device, file, IOCTL_HID_GET_COLLECTION_INFORMATION, &information, sizeof(information));
    if (status != STATUS_SUCCESS || information.VendorID != BoardVendor || information.ProductID != BoardProduct) {
        ObDereferenceObject(file);
        return;
    }
    // Without its name the board's removal could not be told: it is not kept.
    auto* name = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, Link->Length, TagObject));
    if (name == nullptr) {
        ObDereferenceObject(file);
        return;
    }
    RtlCopyMemory(name, Link->Buffer, Link->Length);
    Board->BoardLink.Buffer = name;
    Board->BoardLink.Length = Board->BoardLink.MaximumLength = Link->Length;

    ReadReportLengths(Board, device, file, information.DescriptorSize);
    Board->Present = TRUE;
    Board->BoardDevice = device;
    Board->BoardFile = file;
    // A board whose removal could not be told is not kept either.
    if (!WatchBoardRemoval(Board)) ReleaseBoard(Board);
}

NTSTATUS HidTargetChange(PVOID NotificationStructure, PVOID Context) {
    auto* notification = static_cast<PTARGET_DEVICE_REMOVAL_NOTIFICATION>(NotificationStructure);
    auto* board = static_cast<HidSwitchBoard*>(Context);
    LockBoard(board);
    if (IsEqualGUID(notification->Event, TargetQueryRemove)) {
        // The open file would veto the removal: it goes, the registration stays.
        if (board->BoardFile != nullptr) ObDereferenceObject(board->BoardFile);
        board->BoardFile = nullptr;
        board->BoardDevice = nullptr;
    } else if (IsEqualGUID(notification->Event, TargetRemoveCancelled)) {
        // The board stays: open it again and watch the new file object.
        if (board->Present && board->BoardFile == nullptr) {
            PVOID previous = board->TargetEntry;
            board->TargetEntry = nullptr;
            if (previous != nullptr) IoUnregisterPlugPlayNotificationEx(previous);
            PFILE_OBJECT file = nullptr;
            PDEVICE_OBJECT device = nullptr;
            if (NT_SUCCESS(IoGetDeviceObjectPointer(&board->BoardLink, ReadWriteAccess, &file, &device))) {
                board->BoardFile = file;
                board->BoardDevice = device;
                if (!WatchBoardRemoval(board)) ReleaseBoard(board);
            } else {
                ReleaseBoard(board);
            }
        }
    } else if (IsEqualGUID(notification->Event, TargetRemoveComplete)) {
        if (board->Present) ReleaseBoard(board);
    }
    UnlockBoard(board);
    return STATUS_SUCCESS;
}

}  // namespace

HidSwitchBoard* NewHidSwitchBoard() {
    auto* board = static_cast<HidSwitchBoard*>(
        ExAllocatePoolWithTag(DriverGlobals.NonPagedPoolType, sizeof(HidSwitchBoard), TagObject));
    if (board == nullptr) return nullptr;
    RtlZeroMemory(board, sizeof(HidSwitchBoard));
    KeInitializeEvent(&board->Lock, SynchronizationEvent, TRUE);
    return board;
}

void RegisterHidNotification(HidSwitchBoard* Board, PDRIVER_OBJECT DriverObject) {
    if (Board->NotificationEntry != nullptr) return;
    // Interfaces that exist already are not reported: a board plugged in
    // before the driver loaded is seen when it next arrives.
    IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, const_cast<GUID*>(&HidInterfaceClass),
                                   DriverObject, HidInterfaceChange, Board, &Board->NotificationEntry);
}

NTSTATUS HidInterfaceChange(PVOID NotificationStructure, PVOID Context) {
    auto* notification = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(NotificationStructure);
    auto* board = static_cast<HidSwitchBoard*>(Context);
    LockBoard(board);
    if (IsEqualGUID(notification->Event, InterfaceArrival)) {
        BoardArrived(board, notification->SymbolicLinkName);
    } else if (board->Present && RtlEqualUnicodeString(notification->SymbolicLinkName, &board->BoardLink, TRUE)) {
        // Its name is gone already; the copy tells that this was the board.
        ReleaseBoard(board);
    }
    UnlockBoard(board);
    return STATUS_SUCCESS;
}

NTSTATUS SendHidCommand(HidSwitchBoard* Board, BOOLEAN On) {
    const UCHAR* command = On ? OnCommand : OffCommand;
    ULONG commandLength = On ? sizeof(OnCommand) : sizeof(OffCommand);

    // The board's objects are held for the whole write: a removal meanwhile
    // cannot free them.
    LockBoard(Board);
    if (!Board->Present || Board->BoardFile == nullptr) {
        UnlockBoard(Board);
        return STATUS_NOT_FOUND;
    }
    ULONG length = Board->OutputReportLength;
    if (length < commandLength) {
        UnlockBoard(Board);
        return STATUS_BUFFER_TOO_SMALL;
    }
    PDEVICE_OBJECT device = Board->BoardDevice;
    PFILE_OBJECT file = Board->BoardFile;
    ObReferenceObject(device);
    ObReferenceObject(file);
    UnlockBoard(Board);

    // Resident memory: locking its pages cannot raise an exception, which
    // this driver has no handler for.
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    auto* report = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverGlobals.NonPagedPoolType, length, TagHidCommand));
    PMDL mdl = report != nullptr ? IoAllocateMdl(report, length, FALSE, FALSE, nullptr) : nullptr;
    if (mdl != nullptr) {
        RtlZeroMemory(report, length);
        RtlCopyMemory(report, command, commandLength);
        MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);

        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK ioStatus;
        ioStatus.Status = STATUS_UNSUCCESSFUL;
        ioStatus.Information = 0;
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, device, report, BuiltWriteLength, nullptr, &event, &ioStatus);
        if (irp == nullptr) {
            MmUnlockPages(mdl);
            IoFreeMdl(mdl);
        } else {
            // The builder described its nine bytes; the device gets the whole report.
            if (irp->MdlAddress != nullptr) {
                MmUnlockPages(irp->MdlAddress);
                IoFreeMdl(irp->MdlAddress);
            }
            irp->MdlAddress = mdl;
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->Parameters.Write.Length = length;
            next->Parameters.Write.Key = 0;
            next->Parameters.Write.ByteOffset.QuadPart = 0;
            next->FileObject = file;
            status = IoCallDriver(device, irp);
            if (status == STATUS_PENDING) {
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
                status = ioStatus.Status;
            }
        }
    }
    // Completion unlocked and freed the MDL: the report's pages are free to go.
    if (report != nullptr) ExFreePoolWithTag(report, TagHidCommand);
    ObDereferenceObject(file);
    ObDereferenceObject(device);
    return status;
}
