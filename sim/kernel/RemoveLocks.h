// Remove locks as the kernel keeps them: a count biased at one, and an event
// the final release sets once the lock is marked removed. As with Driver
// Verifier's remove-lock tracking, every release names a tag that an acquire
// of the same lock used.
#pragma once

#include <map>
#include <vector>

#include "sim/ddk/wdm.h"

namespace sim {

class RemoveLocks {
public:
    void Initialize(PIO_REMOVE_LOCK lock);
    NTSTATUS Acquire(PIO_REMOVE_LOCK lock, PVOID tag);
    void Release(PIO_REMOVE_LOCK lock, PVOID tag);
    void ReleaseAndWait(PIO_REMOVE_LOCK lock, PVOID tag);

private:
    // Tags of the acquires not yet released, per lock.
    std::vector<PVOID>& Held(PIO_REMOVE_LOCK lock, const char* service);
    void ForgetTag(PIO_REMOVE_LOCK lock, PVOID tag, const char* service);

    std::map<PIO_REMOVE_LOCK, std::vector<PVOID>> held_;
};

}  // namespace sim
