#include "sim/hw/PciFunction.h"

#include <cstdio>
#include <cstring>

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

std::string PciLocation::Text() const { return Format("%02x:%02x.%x", bus, device, function); }

bool ParseLocation(const std::string& text, PciLocation* location) {
    unsigned bus = 0, device = 0, function = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%x:%x.%x%c", &bus, &device, &function, &tail) != 3 || bus > 0xFF || device > 31 ||
        function > 7)
        return false;
    location->bus = static_cast<uint8_t>(bus);
    location->device = static_cast<uint16_t>(device);
    location->function = static_cast<uint16_t>(function);
    return true;
}

PciFunction::PciFunction(const PciFunctionSpec& spec) : spec_(spec) {
    Set16(0x00, spec.vendorId);
    Set16(0x02, spec.deviceId);
    config_[0x09] = spec.progIf;
    config_[0x0A] = spec.subClass;
    config_[0x0B] = spec.baseClass;
    config_[0x0E] = spec.IsBridge() ? 0x01 : 0x00;  // header type
    // Command register and the six base address registers (or a bridge's two
    // and its bus numbers and windows) are what software programs.
    writable_[0x04] = 0xFF;
    writable_[0x05] = 0x07;
    for (ULONG offset = 0x10; offset < (spec.IsBridge() ? 0x18u : 0x28u); ++offset) writable_[offset] = 0xFF;
    writable_[0x3C] = 0xFF;  // interrupt line
    if (spec.IsBridge()) {
        config_[0x18] = spec.location.bus;
        config_[0x19] = spec.secondaryBus;
        config_[0x1A] = spec.secondaryBus;
        for (ULONG offset = 0x18; offset < 0x30; ++offset) writable_[offset] = 0xFF;
    }

    // Capability list: the other capabilities first, the PCI Express capability last.
    ULONG next = 0x40;
    std::vector<std::pair<uint8_t, ULONG>> list;
    for (uint8_t id : spec.capabilities) {
        list.emplace_back(id, next);
        next += 0x10;
    }
    if (spec.pciExpress) list.emplace_back(uint8_t{0x10}, next);
    if (!list.empty() && list.back().second > 0xF0)
        Violation("PCI function %s has %zu capabilities: from 0x40, 16 bytes each, they do not fit below 0x100",
                  spec.location.Text().c_str(), list.size());
    if (!list.empty()) {
        config_[0x06] |= 0x10;  // status: capabilities list
        config_[0x34] = static_cast<uint8_t>(list.front().second);
        for (size_t i = 0; i < list.size(); ++i) {
            config_[list[i].second] = list[i].first;
            config_[list[i].second + 1] = i + 1 < list.size() ? static_cast<uint8_t>(list[i + 1].second) : 0;
        }
    }
    if (spec.pciExpress && spec.extendedCapability) Set32(0x100, 0x00010000u | spec.extendedCapability);
    powerOn_ = config_;
}

void PciFunction::Set16(ULONG offset, uint16_t value) { std::memcpy(&config_[offset], &value, 2); }

void PciFunction::Set32(ULONG offset, uint32_t value) { std::memcpy(&config_[offset], &value, 4); }

void PciFunction::SwitchPower(bool on) {
    if (on == powered_) return;
    powered_ = on;
    Kernel::Current().Pnp().Tell(Location().Text() + " " + spec_.name + ": power " +
                                 (on ? "restored: its registers are at their power-on values" : "cut"));
    if (!on) {
        silentUntil_ = INT64_MAX;
        return;
    }
    config_ = powerOn_;
    silentUntil_ = spec_.answersAfter < 0 ? INT64_MAX : Kernel::Current().Threads().Now() + spec_.answersAfter;
    retryUntil_ = silentUntil_ == INT64_MAX ? 0 : silentUntil_ + spec_.retryFor;
}

bool PciFunction::Answers() const { return Kernel::Current().Threads().Now() >= silentUntil_; }

bool PciFunction::Retrying() const { return Answers() && Kernel::Current().Threads().Now() < retryUntil_; }

void PciFunction::Read(ULONG offset, void* buffer, ULONG length) const {
    auto* out = static_cast<uint8_t*>(buffer);
    bool answers = Answers();
    if (Retrying()) {
        static constexpr uint8_t kRetryVendorId[2] = {0x01, 0x00};
        for (ULONG i = 0; i < length; ++i) out[i] = offset + i < 2 ? kRetryVendorId[offset + i] : 0xFF;
        return;
    }
    for (ULONG i = 0; i < length; ++i) out[i] = answers && offset + i < config_.size() ? config_[offset + i] : 0xFF;
}

void PciFunction::Write(ULONG offset, const void* buffer, ULONG length) {
    if (!Answers() || Retrying()) return;
    auto* in = static_cast<const uint8_t*>(buffer);
    for (ULONG i = 0; i < length && offset + i < config_.size(); ++i) {
        uint8_t mask = writable_[offset + i];
        config_[offset + i] = static_cast<uint8_t>((config_[offset + i] & ~mask) | (in[i] & mask));
    }
}

void PciFunction::Poke8(ULONG offset, uint8_t value) { config_[offset] = value; }

uint32_t PciFunction::Peek32(ULONG offset) const {
    uint32_t value;
    std::memcpy(&value, &config_[offset], 4);
    return value;
}

void PciFunction::AssignResources() {
    if (spec_.IsBridge() || !Answers()) return;
    // A 16 MB window per function below 4 GB, placed by its location.
    uint32_t base = 0xC0000000u | static_cast<uint32_t>(spec_.location.bus) << 24 |
                    static_cast<uint32_t>(spec_.location.device) << 19 | static_cast<uint32_t>(spec_.location.function) << 16;
    uint32_t values[] = {base, base + 0x8000, 0};
    Write(0x10, &values[0], 4);
    Write(0x14, &values[1], 4);
    uint8_t line = static_cast<uint8_t>(0x10 + spec_.location.function);
    Write(0x3C, &line, 1);
    uint16_t command = 0x0006;  // memory space, bus master
    Write(0x04, &command, 2);
}

std::vector<ULONG> PciFunction::ChangedDwords() const {
    std::vector<ULONG> changed;
    for (ULONG offset = 0; offset < config_.size(); offset += 4)
        if (std::memcmp(&config_[offset], &powerOn_[offset], 4) != 0) changed.push_back(offset);
    return changed;
}

}  // namespace sim
