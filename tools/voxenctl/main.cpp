// voxenctl: talks to the VoxenPCI control device as the power-management
// service does.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "control/Protocol.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: voxenctl COMMAND\n"
                 "commands:\n"
                 "  status    open the control device and report whether the driver is loaded\n");
    return 2;
}

int Status() {
    HANDLE device = CreateFileW(VOXEN_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::printf("VoxenPCI control device not available (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("VoxenPCI control device is open\n");
    CloseHandle(device);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return Usage();
    if (std::wcscmp(argv[1], L"status") == 0) return Status();
    return Usage();
}
