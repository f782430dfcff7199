// The saved image of a device's whole configuration space.
#include "common/DriverGlobals.h"
#include "common/PoolTags.h"
#include "filter/FilterDevice.h"
#include "pci/Config.h"

namespace {

constexpr ULONG ConfigSpaceSize = 4096;
constexpr ULONG DeviceSilent = 0xFFFFFFFF;
constexpr ULONG CommandDword = 0x04;  // command and status registers

bool EnsureBuffer(FilterDevice* Filter) {
    if (Filter->ConfigBuffer == nullptr)
        Filter->ConfigBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverGlobals.NonPagedPoolType, ConfigSpaceSize, TagObject));
    return Filter->ConfigBuffer != nullptr;
}

// The command register and the base address registers: all ones there would
// turn a device loose on the bus (or ask it for its sizes), never restore it.
bool IsProgrammingRegister(ULONG Offset) { return Offset == 0x04 || (Offset >= 0x10 && Offset <= 0x24); }

// Power came back and the device lost its programming: a write that found no
// IRP (pool short) is tried again after a pause, a few times, before the
// register is given up. Both callers run at passive level.
constexpr ULONG RestoreAttempts = 4;
constexpr LONGLONG RestorePause = -10000LL;  // 1 ms, relative, in units of 100 ns

void RestoreRegister(PDEVICE_OBJECT Pdo, ULONG Offset, ULONG Value) {
    NTSTATUS status = WriteConfig32(Pdo, Offset, Value);
    for (ULONG attempt = 1; status == STATUS_INSUFFICIENT_RESOURCES && attempt < RestoreAttempts; ++attempt) {
        LARGE_INTEGER pause;
        pause.QuadPart = RestorePause;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        status = WriteConfig32(Pdo, Offset, Value);
    }
    if (!NT_SUCCESS(status))
        DbgPrint("VoxenPCI: configuration register 0x%03x could not be restored (0x%08X)\n", Offset,
                 static_cast<unsigned>(status));
}

}  // namespace

void FilterDevice::SaveConfigSpace() {
    if (!EnsureBuffer(this)) return;
    auto* image = reinterpret_cast<PULONG>(ConfigBuffer);
    // A device that does not answer has nothing to save; the image saved while
    // it answered stays. A read that never reached the device (no IRP) is no
    // answer at all: an image missing a register, or older than the device's
    // programming, is no image to restore.
    ULONG first = DeviceSilent;
    if (!NT_SUCCESS(PciConfigRead(Pdo, 0, &first, sizeof(first)))) {
        ConfigSaved = FALSE;
        return;
    }
    if (first == DeviceSilent) return;
    image[0] = first;
    for (ULONG offset = sizeof(ULONG); offset < ConfigSpaceSize; offset += sizeof(ULONG)) {
        if (!NT_SUCCESS(PciConfigRead(Pdo, offset, &image[offset / sizeof(ULONG)], sizeof(ULONG)))) {
            ConfigSaved = FALSE;
            return;
        }
    }
    ConfigSaved = TRUE;
}

void FilterDevice::RestoreConfigSpace() {
    if (!EnsureBuffer(this)) return;
    if (!ConfigSaved) return;
    auto* image = reinterpret_cast<PULONG>(ConfigBuffer);
    auto restore = [&](ULONG offset) {
        ULONG value = image[offset / sizeof(ULONG)];
        if (value == DeviceSilent && IsProgrammingRegister(offset)) return;
        RestoreRegister(Pdo, offset, value);  // read-only registers ignore the write
    };
    // The command register last: decoding and bus mastering come back only
    // once the base address registers, which the power loss cleared, are back.
    for (ULONG offset = 0; offset < ConfigSpaceSize; offset += sizeof(ULONG))
        if (offset != CommandDword) restore(offset);
    restore(CommandDword);
}
