// voxenctl on Windows: the control device through \\.\VoxenPCI. Requests go
// through NtDeviceIoControlFile so that the driver's own status is shown.
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "control/Protocol.h"
#include "tools/voxenctl/Commands.h"

namespace {

class Win32Channel : public voxenctl::Channel {
public:
    OpenResult Open(std::string* detail) override {
        device_ = CreateFileW(VOXEN_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (device_ != INVALID_HANDLE_VALUE) return OpenResult::Opened;
        DWORD error = GetLastError();
        *detail = "error " + std::to_string(error);
        if (error == ERROR_ACCESS_DENIED) return OpenResult::AccessDenied;
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return OpenResult::NotFound;
        return OpenResult::Failed;
    }

    Reply Control(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) override {
        std::vector<uint8_t> in(input);
        std::vector<uint8_t> out(outputLength);
        IO_STATUS_BLOCK block{};
        NTSTATUS status = NtDeviceIoControlFile(device_, nullptr, nullptr, nullptr, &block, code,
                                                in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
                                                out.empty() ? nullptr : out.data(), outputLength);
        Reply reply;
        reply.status = static_cast<uint32_t>(status);
        out.resize(block.Information <= outputLength ? block.Information : 0);
        reply.bytes = out;
        return reply;
    }

    void Close() override {
        if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
        device_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE device_ = INVALID_HANDLE_VALUE;
};

std::string Narrow(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], size, nullptr, nullptr);
    return narrow;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv[i]));
    Win32Channel channel;
    std::string out, err;
    int code = voxenctl::Run(args, channel, &out, &err);
    std::fputs(out.c_str(), stdout);
    std::fputs(err.c_str(), stderr);
    return code;
}
