// The control protocol between the service (or voxenctl) and the driver.
// Shared by the driver and user-mode clients: plain integers only.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Requests use the buffered method and any access; all fields are little-endian.
#define VOXEN_CTL_CODE(function) ((0x8000u << 16) | ((function) << 2))

#define IOCTL_GET_BRIDGE_COUNT VOXEN_CTL_CODE(0x001)   // 0x80000004
#define IOCTL_GET_BRIDGE_INFO VOXEN_CTL_CODE(0x002)    // 0x80000008
#define IOCTL_SET_BRIDGE_POWER VOXEN_CTL_CODE(0x003)   // 0x8000000C
#define IOCTL_QUERY_BRIDGE_POWER VOXEN_CTL_CODE(0x004) // 0x80000010
#define IOCTL_GET_CHILD_INFO VOXEN_CTL_CODE(0x005)     // 0x80000014
#define IOCTL_RESERVED_6 VOXEN_CTL_CODE(0x006)         // 0x80000018
#define IOCTL_RESERVED_7 VOXEN_CTL_CODE(0x007)         // 0x8000001C
#define IOCTL_SET_CHILD_POWER VOXEN_CTL_CODE(0x008)    // 0x80000020
#define IOCTL_ARM_BOOT_GUARD VOXEN_CTL_CODE(0x080)     // 0x80000200

static_assert(IOCTL_GET_BRIDGE_COUNT == 0x80000004u, "request code");
static_assert(IOCTL_GET_BRIDGE_INFO == 0x80000008u, "request code");
static_assert(IOCTL_SET_BRIDGE_POWER == 0x8000000Cu, "request code");
static_assert(IOCTL_QUERY_BRIDGE_POWER == 0x80000010u, "request code");
static_assert(IOCTL_GET_CHILD_INFO == 0x80000014u, "request code");
static_assert(IOCTL_RESERVED_6 == 0x80000018u, "request code");
static_assert(IOCTL_RESERVED_7 == 0x8000001Cu, "request code");
static_assert(IOCTL_SET_CHILD_POWER == 0x80000020u, "request code");
static_assert(IOCTL_ARM_BOOT_GUARD == 0x80000200u, "request code");

// Device power states as the protocol carries them.
#define VOXEN_STATE_D0 1u
#define VOXEN_STATE_D3 4u

#pragma pack(push, 1)

// IOCTL_GET_BRIDGE_INFO: in a bridge index, out this.
struct VoxenBridgeInfo {
    uint16_t VendorId;
    uint16_t DeviceId;
    uint32_t BusNumber;    // zero-extended
    uint8_t Reserved[8];   // zeros
    uint32_t ChildCount;
};
static_assert(offsetof(VoxenBridgeInfo, VendorId) == 0, "layout");
static_assert(offsetof(VoxenBridgeInfo, DeviceId) == 2, "layout");
static_assert(offsetof(VoxenBridgeInfo, BusNumber) == 4, "layout");
static_assert(offsetof(VoxenBridgeInfo, Reserved) == 8, "layout");
static_assert(offsetof(VoxenBridgeInfo, ChildCount) == 16, "layout");
static_assert(sizeof(VoxenBridgeInfo) == 20, "layout");

// IOCTL_SET_BRIDGE_POWER.
struct VoxenBridgePowerRequest {
    uint32_t BridgeIndex;
    uint32_t State;  // 1 (D0) to 4 (D3)
};
static_assert(offsetof(VoxenBridgePowerRequest, State) == 4, "layout");
static_assert(sizeof(VoxenBridgePowerRequest) == 8, "layout");

// IOCTL_GET_CHILD_INFO: in this, out a VoxenChildInfo.
struct VoxenChildInfoRequest {
    uint32_t BridgeIndex;
    uint32_t ChildIndex;
};
static_assert(offsetof(VoxenChildInfoRequest, ChildIndex) == 4, "layout");
static_assert(sizeof(VoxenChildInfoRequest) == 8, "layout");

struct VoxenChildInfo {
    uint16_t VendorId;
    uint16_t DeviceId;
    uint8_t BusNumber;
    uint8_t Reserved;  // zero
};
static_assert(offsetof(VoxenChildInfo, DeviceId) == 2, "layout");
static_assert(offsetof(VoxenChildInfo, BusNumber) == 4, "layout");
static_assert(offsetof(VoxenChildInfo, Reserved) == 5, "layout");
static_assert(sizeof(VoxenChildInfo) == 6, "layout");

// IOCTL_SET_CHILD_POWER.
struct VoxenChildPowerRequest {
    uint32_t Bus;
    uint32_t Device;
    uint32_t Function;
    uint32_t State;
    uint32_t Mode;    // 0 power IRPs, 1 platform switch, other: nothing
    uint32_t Method;  // for mode 1: 0 automatic, 1 RTS low is on, 2 RTS high is on
};
static_assert(offsetof(VoxenChildPowerRequest, Device) == 4, "layout");
static_assert(offsetof(VoxenChildPowerRequest, Function) == 8, "layout");
static_assert(offsetof(VoxenChildPowerRequest, State) == 12, "layout");
static_assert(offsetof(VoxenChildPowerRequest, Mode) == 16, "layout");
static_assert(offsetof(VoxenChildPowerRequest, Method) == 20, "layout");
static_assert(sizeof(VoxenChildPowerRequest) == 24, "layout");

#pragma pack(pop)

#define VOXEN_CHILD_POWER_BY_IRP 0u
#define VOXEN_CHILD_POWER_BY_PLATFORM 1u

// The path user mode opens.
#define VOXEN_USER_DEVICE_PATH L"\\\\.\\VoxenPCI"
