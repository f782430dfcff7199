// The control protocol between the service (or voxenctl) and the driver.
// Shared by the driver and user-mode clients: plain integers only.
#pragma once

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
static_assert(IOCTL_SET_CHILD_POWER == 0x80000020u, "request code");
static_assert(IOCTL_ARM_BOOT_GUARD == 0x80000200u, "request code");

// The path user mode opens.
#define VOXEN_USER_DEVICE_PATH L"\\\\.\\VoxenPCI"
