// voxenctl's commands, the same on Windows and on the simulated machine: what
// differs is only how a request reaches the control device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace voxenctl {

// How the control device is reached.
class Channel {
public:
    enum class OpenResult { Opened, AccessDenied, NotFound, Failed };
    struct Reply {
        uint32_t status = 0;          // the request's NTSTATUS
        std::vector<uint8_t> bytes;   // what came back, Information bytes
    };

    virtual ~Channel() = default;
    // `detail` names the failure for the message (an error or status code).
    virtual OpenResult Open(std::string* detail) = 0;
    virtual Reply Control(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) = 0;
    virtual void Close() = 0;
};

// Exit codes.
constexpr int kSucceeded = 0;
constexpr int kRefused = 1;  // the driver refused or failed the request
constexpr int kUsage = 2;    // a usage error, or the control device cannot be opened

// Runs one command line (without the program name); what it prints goes to
// `out`, messages for the person to `err`.
int Run(const std::vector<std::string>& args, Channel& channel, std::string* out, std::string* err);

// "STATUS_SUCCESS (0x00000000)": the name for the statuses the driver gives, hex for the rest.
std::string StatusText(uint32_t status);

}  // namespace voxenctl
