// Pool tags, written as their four characters appear in memory.
#pragma once

#include "platform/platform.h"

constexpr ULONG PoolTag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

// FilterDevice objects, configuration-space images, the HID board record, _DSM buffers.
constexpr ULONG TagObject = PoolTag("Vxnd");
// List nodes and the saved registry path.
constexpr ULONG TagNode = PoolTag("DNXV");
// HID command buffers.
constexpr ULONG TagHidCommand = PoolTag("POOP");
// HID preparsed data.
constexpr ULONG TagHidPreparsed = PoolTag("lUSB");
