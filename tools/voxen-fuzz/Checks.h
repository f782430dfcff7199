// What must hold for every answer the control device gives a user-mode
// caller, whatever the request was.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/ddk/wdm.h"
#include "tools/voxen-fuzz/Step.h"

namespace fuzz {

// The caller's output buffer is filled with this before a request, with
// kGuard more bytes past its end: what the I/O manager did not copy back stays.
constexpr uint8_t kCallerFill = 0x5A;
constexpr size_t kGuard = 16;

struct Reply {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;  // outputLength + kGuard bytes, as the call left them
};

// Empty when every rule held, else the first one broken:
// - the call is finished (never STATUS_PENDING);
// - Information never exceeds the output length, and a failed request reports none;
// - nothing is written past Information bytes, or past the buffer;
// - of a buffered request, no returned byte past the input is the system
//   buffer's poison: every one was written by the driver.
std::string CheckReply(const Request& request, const Reply& reply);

}  // namespace fuzz
