#include "sim/hw/HidBoards.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "sim/kernel/Irql.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"
#include "sim/pnp/SimDevice.h"

namespace sim {

namespace {

constexpr ULONG kIdTag = MakeTag("HidI");
constexpr ULONG kRelationsTag = MakeTag("HidR");

// The simulator's preparsed data: a signature, then the capabilities.
constexpr char kPreparsedSignature[8] = {'H', 'i', 'd', 'P', ' ', 'K', 'D', 'R'};
constexpr size_t kPreparsedSize = sizeof(kPreparsedSignature) + sizeof(HIDP_CAPS);

const uint8_t kOnCommand[] = {0x3F, 0x32, 0x4C, 0x45, 0x44, 0x20, 0x4F, 0x4E, 0x21, 0x00};
const uint8_t kOffCommand[] = {0x3F, 0x32, 0x4C, 0x45, 0x44, 0x20, 0x4F, 0x46, 0x46, 0x21, 0x00};

PWCHAR IdBuffer(const std::vector<std::wstring>& strings, bool list) {
    size_t characters = list ? 1 : 0;
    for (const std::wstring& one : strings) characters += one.size() + 1;
    auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, characters * sizeof(WCHAR), kIdTag));
    if (!buffer) return nullptr;
    PWCHAR at = buffer;
    for (const std::wstring& one : strings) {
        one.copy(at, one.size());
        at += one.size();
        *at++ = 0;
    }
    if (list) *at = 0;
    return buffer;
}

bool StartsWith(const std::vector<uint8_t>& report, const uint8_t* command, size_t length) {
    return report.size() >= length && std::memcmp(report.data(), command, length) == 0;
}

std::string Describe(const std::vector<uint8_t>& report) {
    std::string text;
    for (uint8_t byte : report) {
        if (byte == 0) break;
        if (byte < 0x20 || byte > 0x7E) {
            text.clear();
            for (size_t i = 0; i < report.size() && i < 16; ++i) text += Format("%02x", report[i]);
            return text;
        }
        text += static_cast<char>(byte);
    }
    return text;
}

}  // namespace

// The HID class driver's PDO of a board's one top-level collection.
class HidBoards::Collection : public SimDevice {
public:
    Collection(HidBoards* owner, Board* board, size_t index) : owner_(owner), board_(board), index_(index) {}

    NTSTATUS Dispatch(PIRP irp) override {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        switch (location->MajorFunction) {
        case IRP_MJ_CREATE:
            if (gone_) return Complete(irp, STATUS_DELETE_PENDING);
            opens_.insert(location->FileObject);
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MJ_CLEANUP: return Complete(irp, STATUS_SUCCESS);
        case IRP_MJ_CLOSE:
            opens_.erase(location->FileObject);
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MJ_DEVICE_CONTROL: return DeviceControl(irp, location);
        case IRP_MJ_WRITE: return Write(irp, location);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            if (location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER)
                return Complete(irp, STATUS_SUCCESS);
            return CompleteUnchanged(irp);
        case IRP_MJ_PNP: return Pnp(irp, location);
        default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
        }
    }

private:
    NTSTATUS DeviceControl(PIRP irp, PIO_STACK_LOCATION location) {
        auto& control = location->Parameters.DeviceIoControl;
        switch (control.IoControlCode) {
        case IOCTL_HID_GET_COLLECTION_INFORMATION: {
            if (control.OutputBufferLength < sizeof(HID_COLLECTION_INFORMATION))
                return Complete(irp, STATUS_INVALID_BUFFER_SIZE);
            HID_COLLECTION_INFORMATION information{};
            information.DescriptorSize = kPreparsedSize;
            information.VendorID = board_->spec.vendorId;
            information.ProductID = board_->spec.productId;
            information.VersionNumber = 0x0100;
            std::memcpy(irp->AssociatedIrp.SystemBuffer, &information, sizeof(information));
            return Complete(irp, STATUS_SUCCESS, sizeof(information));
        }
        case IOCTL_HID_GET_COLLECTION_DESCRIPTOR: {
            // METHOD_NEITHER: the caller's buffer itself.
            if (control.OutputBufferLength < kPreparsedSize || !irp->UserBuffer)
                return Complete(irp, STATUS_INVALID_BUFFER_SIZE);
            HIDP_CAPS caps{};
            caps.UsagePage = 0xFF00;  // vendor-defined
            caps.Usage = 0x0001;
            caps.InputReportByteLength = board_->spec.outputReportLength;
            caps.OutputReportByteLength = board_->spec.outputReportLength;
            caps.NumberLinkCollectionNodes = 1;
            auto* out = static_cast<uint8_t*>(irp->UserBuffer);
            std::memcpy(out, kPreparsedSignature, sizeof(kPreparsedSignature));
            if (board_->spec.corruptDescriptor) out[0] = 'X';
            std::memcpy(out + sizeof(kPreparsedSignature), &caps, sizeof(caps));
            return Complete(irp, STATUS_SUCCESS, kPreparsedSize);
        }
        default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
        }
    }

    // As the HID class driver writes a report: a whole output report, through
    // the request's MDL, on a file opened on the collection.
    NTSTATUS Write(PIRP irp, PIO_STACK_LOCATION location) {
        if (!opens_.count(location->FileObject)) return Complete(irp, STATUS_INVALID_PARAMETER);
        ULONG length = location->Parameters.Write.Length;
        if (length != board_->spec.outputReportLength) return Complete(irp, STATUS_INVALID_BUFFER_SIZE);
        if (!irp->MdlAddress || irp->MdlAddress->ByteCount < length)
            Violation("a write of %u bytes reached the HID collection of board '%s' with %s; the HID class driver "
                      "reads the report through the request's MDL",
                      length, board_->spec.name.c_str(),
                      irp->MdlAddress ? Format("an MDL of only %u bytes", irp->MdlAddress->ByteCount).c_str()
                                      : "no MDL");
        auto* bytes = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        std::vector<uint8_t> report(bytes, bytes + length);
        board_->writes.push_back(report);
        board_->lastCommand = Describe(report);
        if (!board_->spec.powers.empty()) {
            if (StartsWith(report, kOnCommand, sizeof(kOnCommand))) owner_->power_(board_->spec.powers, true);
            if (StartsWith(report, kOffCommand, sizeof(kOffCommand))) owner_->power_(board_->spec.powers, false);
        }
        return Complete(irp, STATUS_SUCCESS, length);
    }

    NTSTATUS Pnp(PIRP irp, PIO_STACK_LOCATION location) {
        switch (location->MinorFunction) {
        case IRP_MN_QUERY_ID: {
            std::wstring id = ToWide(Format("HID\\VID_%04X&PID_%04X", board_->spec.vendorId, board_->spec.productId));
            PWCHAR buffer = nullptr;
            switch (location->Parameters.QueryId.IdType) {
            case BusQueryDeviceID: buffer = IdBuffer({id}, false); break;
            case BusQueryInstanceID: buffer = IdBuffer({ToWide(Format("7&%zx&0&0000", index_))}, false); break;
            case BusQueryHardwareIDs: buffer = IdBuffer({id, L"HID_DEVICE"}, true); break;
            default: return CompleteUnchanged(irp);
            }
            if (!buffer) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(buffer));
        }
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES capabilities = location->Parameters.DeviceCapabilities.Capabilities;
            capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            capabilities->RawDeviceOK = TRUE;  // no function driver: the collection runs raw
            capabilities->Removable = TRUE;
            capabilities->SurpriseRemovalOK = TRUE;
            return Complete(irp, STATUS_SUCCESS);
        }
        case IRP_MN_START_DEVICE:
            if (!link_.Buffer) {
                UNICODE_STRING link{};
                if (!NT_SUCCESS(IoRegisterDeviceInterface(device, &kHidInterfaceClass, nullptr, &link)))
                    return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
                link_ = link;
                board_->interfaceLink = FromUnicodeString(&link);
            }
            if (NT_SUCCESS(IoSetDeviceInterfaceState(&link_, TRUE))) enabled_ = true;
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_SURPRISE_REMOVAL:
            gone_ = true;
            Disable();
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_REMOVE_DEVICE:
            Disable();
            RtlFreeUnicodeString(&link_);
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE: return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (location->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                PDEVICE_RELATIONS relations = TargetRelationOf(device, kRelationsTag);
                if (!relations) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
                return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
            }
            return CompleteUnchanged(irp);
        default: return CompleteUnchanged(irp);
        }
    }

    void Disable() {
        if (!enabled_) return;
        enabled_ = false;
        IoSetDeviceInterfaceState(&link_, FALSE);
    }

    HidBoards* owner_;
    Board* board_;
    size_t index_;
    UNICODE_STRING link_{};
    bool enabled_ = false;
    bool gone_ = false;
    std::set<PFILE_OBJECT> opens_;
};

HidBoards::HidBoards(const std::vector<HidBoardSpec>& specs, PowerSwitch power)
    : driver_(CreateSimDriver(L"\\Driver\\HidUsb")), power_(std::move(power)) {
    for (const HidBoardSpec& spec : specs) {
        auto board = std::make_unique<Board>();
        board->spec = spec;
        boards_.push_back(std::move(board));
    }
}

HidBoards::~HidBoards() = default;

HidBoards::Board* HidBoards::Find(const std::string& name) {
    for (auto& board : boards_)
        if (board->spec.name == name) return board.get();
    return nullptr;
}

void HidBoards::Plug(const std::string& name) {
    Board* board = Find(name);
    if (!board) Violation("the machine has no HID board named '%s'", name.c_str());
    if (board->present) return;
    board->present = true;
    size_t index = static_cast<size_t>(std::find_if(boards_.begin(), boards_.end(),
                                                    [board](auto& one) { return one.get() == board; }) -
                                       boards_.begin());
    Kernel::Current().Pnp().Queue([this, board, index] {
        auto* owner = new Collection(this, board, index);
        PDEVICE_OBJECT pdo = CreateSimDevice(driver_, owner, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME);
        pdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
        pdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
        board->pdo = pdo;
        PnpManager::BusInfo info;
        info.name = "HID board '" + board->spec.name + "'";
        info.property = [](DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) { return STATUS_INVALID_PARAMETER_2; };
        info.release = [board, pdo, owner] {
            IoDeleteDevice(pdo);
            delete owner;
            if (board->pdo == pdo) board->pdo = nullptr;
        };
        Kernel::Current().Pnp().Announce(pdo, std::move(info));
        Kernel::Current().Pnp().AddDevice(pdo, nullptr);
    });
}

void HidBoards::Unplug(const std::string& name) {
    Board* board = Find(name);
    if (!board || !board->present) return;
    board->present = false;
    Kernel::Current().Pnp().Queue([board] {
        if (auto* node = board->pdo ? Kernel::Current().Pnp().FindByPdo(board->pdo) : nullptr)
            Kernel::Current().Pnp().SurpriseRemove(node);
    });
}

void HidBoards::Eject(const std::string& name) {
    Board* board = Find(name);
    lastVeto_.clear();
    if (!board || !board->present) return;
    Kernel::Current().Pnp().Queue([this, board] {
        auto* node = board->pdo ? Kernel::Current().Pnp().FindByPdo(board->pdo) : nullptr;
        if (!node) return;
        PnpManager::Outcome outcome = Kernel::Current().Pnp().Remove(node);
        if (outcome.done)
            board->present = false;
        else
            lastVeto_ = outcome.veto;
    });
}

}  // namespace sim

using sim::Kernel;

extern "C" NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) {
    sim::KernelEntry inKernel;
    sim::RequireIrql("HidP_GetCaps");
    auto* bytes = reinterpret_cast<const uint8_t*>(preparsed);
    size_t offset = 0, size = 0;
    if (!bytes || !Kernel::Current().Memory().FindBlock(bytes, &offset, &size) || size - offset < sim::kPreparsedSize ||
        std::memcmp(bytes, sim::kPreparsedSignature, sizeof(sim::kPreparsedSignature)) != 0)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    std::memcpy(caps, bytes + sizeof(sim::kPreparsedSignature), sizeof(HIDP_CAPS));
    return HIDP_STATUS_SUCCESS;
}
