#include "tools/voxen-fuzz/Checks.h"

#include "sim/kernel/IoManager.h"
#include "sim/kernel/StatusNames.h"
#include "sim/kernel/Violation.h"

namespace fuzz {

std::string CheckReply(const Request& request, const Reply& reply) {
    const uint32_t length = request.outputLength;
    if (reply.output.size() != length + kGuard) return "the reply's buffer is not the request's";
    if (reply.status == STATUS_PENDING) return "the caller got STATUS_PENDING back from a synchronous request";
    if (reply.information > length)
        return sim::Format("Information %llu is more than the %u-byte output buffer",
                           static_cast<unsigned long long>(reply.information), length);
    // A failed request returns no bytes: the I/O manager copies nothing back
    // on an error status, whatever Information says.
    const size_t returned = NT_ERROR(reply.status) ? 0 : reply.information;
    for (size_t i = returned; i < reply.output.size(); ++i)
        if (reply.output[i] != kCallerFill) {
            if (returned != reply.information)
                return sim::Format("byte %zu came back from a request that failed with %s", i,
                                   sim::StatusName(reply.status).c_str());
            return sim::Format("byte %zu was written, past the %llu bytes Information reports%s", i,
                               static_cast<unsigned long long>(reply.information),
                               i >= length ? " and past the buffer" : "");
        }
    if ((request.code & 3) == METHOD_BUFFERED)
        for (size_t i = request.input.size(); i < reply.information; ++i)
            if (reply.output[i] == sim::kSystemBufferPoison)
                return sim::Format("returned byte %zu is the system buffer's poison: the driver never wrote it", i);
    return "";
}

}  // namespace fuzz
