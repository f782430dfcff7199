#include "tools/voxen-sim/CtlChannel.h"

#include "control/Protocol.h"

voxenctl::Channel::OpenResult SimChannel::Open(std::string* detail) {
    NTSTATUS status = kernel_.Io().Open(VOXEN_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, caller_, &file_);
    if (NT_SUCCESS(status)) return OpenResult::Opened;
    file_ = nullptr;
    *detail = voxenctl::StatusText(static_cast<uint32_t>(status));
    if (status == STATUS_ACCESS_DENIED) return OpenResult::AccessDenied;
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return OpenResult::NotFound;
    return OpenResult::Failed;
}

voxenctl::Channel::Reply SimChannel::Control(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) {
    std::vector<uint8_t> output(outputLength);
    ULONG_PTR information = 0;
    NTSTATUS status = kernel_.Io().DeviceIoControl(file_, code, input.empty() ? nullptr : input.data(),
                                                   static_cast<ULONG>(input.size()),
                                                   output.empty() ? nullptr : output.data(), outputLength, &information);
    output.resize(information <= outputLength ? information : 0);
    Reply reply;
    reply.status = static_cast<uint32_t>(status);
    reply.bytes = output;
    return reply;
}

void SimChannel::Close() {
    if (file_) kernel_.Io().CloseHandle(file_);
    file_ = nullptr;
}
