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

}  // namespace

void FilterDevice::SaveConfigSpace() {
    if (!EnsureBuffer(this)) return;
    auto* image = reinterpret_cast<PULONG>(ConfigBuffer);
    // A device that does not answer has nothing to save; the image saved while
    // it answered stays.
    ULONG first = ReadConfig32(Pdo, 0);
    if (first == DeviceSilent) return;
    image[0] = first;
    for (ULONG offset = sizeof(ULONG); offset < ConfigSpaceSize; offset += sizeof(ULONG))
        image[offset / sizeof(ULONG)] = ReadConfig32(Pdo, offset);
    ConfigSaved = TRUE;
}

void FilterDevice::RestoreConfigSpace() {
    if (!EnsureBuffer(this)) return;
    if (!ConfigSaved) return;
    auto* image = reinterpret_cast<PULONG>(ConfigBuffer);
    auto restore = [&](ULONG offset) {
        ULONG value = image[offset / sizeof(ULONG)];
        if (value == DeviceSilent && IsProgrammingRegister(offset)) return;
        WriteConfig32(Pdo, offset, value);  // read-only registers ignore the write
    };
    // The command register last: decoding and bus mastering come back only
    // once the base address registers, which the power loss cleared, are back.
    for (ULONG offset = 0; offset < ConfigSpaceSize; offset += sizeof(ULONG))
        if (offset != CommandDword) restore(offset);
    restore(CommandDword);
}
