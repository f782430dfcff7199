// voxenctl: talks to the VoxenPCI control device as the power-management
// service does.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

#include "control/Protocol.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: voxenctl COMMAND\n"
                 "commands:\n"
                 "  status    open the control device and report whether the driver is loaded\n"
                 "  list      list the bridges the driver filters and the children behind each\n");
    return 2;
}

HANDLE OpenControlDevice() {
    HANDLE device = CreateFileW(VOXEN_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        std::printf("VoxenPCI control device not available (error %lu)\n", GetLastError());
    return device;
}

uint16_t Word(const unsigned char* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

uint32_t Dword(const unsigned char* bytes) { return Word(bytes) | static_cast<uint32_t>(Word(bytes + 2)) << 16; }

void PutDword(unsigned char* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

// One request of the protocol: the reply must have exactly the length asked for.
bool Request(HANDLE device, DWORD code, const char* name, const unsigned char* in, DWORD inLength,
             unsigned char* out, DWORD outLength) {
    DWORD returned = 0;
    if (!DeviceIoControl(device, code, const_cast<unsigned char*>(in), inLength, out, outLength, &returned,
                         nullptr)) {
        std::printf("the driver refused %s (error %lu)\n", name, GetLastError());
        return false;
    }
    if (returned != outLength) {
        std::printf("%s answered %lu bytes, not %lu\n", name, returned, outLength);
        return false;
    }
    return true;
}

int Status() {
    HANDLE device = OpenControlDevice();
    if (device == INVALID_HANDLE_VALUE) return 1;
    std::printf("VoxenPCI control device is open\n");
    CloseHandle(device);
    return 0;
}

int List() {
    HANDLE device = OpenControlDevice();
    if (device == INVALID_HANDLE_VALUE) return 1;

    int result = 1;
    unsigned char count[4] = {};
    if (Request(device, IOCTL_GET_BRIDGE_COUNT, "IOCTL_GET_BRIDGE_COUNT", nullptr, 0, count, sizeof count)) {
        uint32_t bridges = Dword(count);
        std::printf("bridges: %u\n", bridges);
        result = 0;
        for (uint32_t bridge = 0; bridge < bridges && result == 0; ++bridge) {
            unsigned char index[4];
            PutDword(index, bridge);
            unsigned char info[20] = {};
            if (!Request(device, IOCTL_GET_BRIDGE_INFO, "IOCTL_GET_BRIDGE_INFO", index, sizeof index, info,
                         sizeof info)) {
                result = 1;
                break;
            }
            uint32_t children = Dword(info + 16);
            std::printf("bridge %u: %04x:%04x, bus %u, children: %u\n", bridge, Word(info), Word(info + 2),
                        Dword(info + 4), children);
            for (uint32_t child = 0; child < children; ++child) {
                unsigned char indices[8];
                PutDword(indices, bridge);
                PutDword(indices + 4, child);
                unsigned char childInfo[6] = {};
                if (!Request(device, IOCTL_GET_CHILD_INFO, "IOCTL_GET_CHILD_INFO", indices, sizeof indices,
                             childInfo, sizeof childInfo)) {
                    result = 1;
                    break;
                }
                std::printf("  child %u: %04x:%04x, bus %u\n", child, Word(childInfo), Word(childInfo + 2),
                            childInfo[4]);
            }
        }
    }
    CloseHandle(device);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return Usage();
    if (std::wcscmp(argv[1], L"status") == 0) return Status();
    if (std::wcscmp(argv[1], L"list") == 0) return List();
    return Usage();
}
