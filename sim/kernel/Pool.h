// Executive pool: tagged allocations with per-tag accounting, fault injection
// and the checks the kernel makes on frees; paged lookaside lists.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/ddk/wdm.h"

namespace sim {

// The four tag characters as they appear in memory ("Vxnd").
std::string TagName(ULONG tag);
constexpr ULONG MakeTag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

struct TagUsage {
    uint64_t allocations = 0;
    uint64_t frees = 0;
    int64_t liveBlocks = 0;
    int64_t liveBytes = 0;
    int64_t livePagedBytes = 0;  // of liveBytes, those in paged pool
};

class Pool {
public:
    Pool() = default;
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Kernel services.
    // `mayFail` false is for the kernel's own must-succeed allocations.
    void* Allocate(POOL_TYPE type, size_t size, ULONG tag, bool mayFail = true);
    // `checkTag` false is ExFreePool. `keepMemory` leaves the bytes allocated
    // (poisoned) for the caller to release later with ReleaseKept.
    void Free(void* block, ULONG tag, bool checkTag, const char* service, bool keepMemory = false);
    static void ReleaseKept(void* block, size_t size);
    bool IsLive(const void* block) const { return blocks_.count(const_cast<void*>(block)) != 0; }
    size_t SizeOf(const void* block) const;
    // The live block that holds `address`: its offset there and its size.
    bool FindBlock(const void* address, size_t* offset, size_t* size) const;
    // Paged pool, or a block that is no pool at all (whose free then stops the machine).
    bool IsPaged(const void* block) const;
    // An address inside a live paged-pool block.
    bool IsPagedAddress(const void* address) const;

    void InitializeLookaside(PAGED_LOOKASIDE_LIST* list, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                             size_t size, ULONG tag);
    void DeleteLookaside(PAGED_LOOKASIDE_LIST* list);
    void* AllocateFromLookaside(PAGED_LOOKASIDE_LIST* list);
    void FreeToLookaside(PAGED_LOOKASIDE_LIST* list, void* entry);
    bool IsLookasideRegistered(const PAGED_LOOKASIDE_LIST* list) const {
        return lookasides_.count(const_cast<PAGED_LOOKASIDE_LIST*>(list)) != 0;
    }

    // Allocations made while this is set belong to the driver for as long as it
    // is loaded (it has no unload routine), so they are not leaks.
    void SetResident(bool resident) { resident_ = resident; }
    // A load that failed: what it kept is no longer the driver's to keep.
    void RevokeResidency();

    // Fault injection: the `n`th allocation from now (1 = the next) fails.
    void FailAllocationNumber(uint64_t n) { failAt_ = n ? sequence_ + n : 0; }
    // Every allocation with this tag fails until cleared.
    void FailTag(ULONG tag, bool fail);

    TagUsage Usage(ULONG tag) const;
    std::map<ULONG, TagUsage> UsageByTag() const { return usage_; }
    // Blocks and lookaside lists that are neither resident nor cached by a
    // registered list. Blocks with a tag in `reportedElsewhere` hold objects
    // whose own leak is reported by their manager.
    std::vector<std::string> Leaks(const std::set<ULONG>& reportedElsewhere = {}) const;

private:
    struct Block {
        size_t size;
        ULONG tag;
        POOL_TYPE type;
        uint64_t sequence;
        bool resident;
    };
    struct Lookaside {
        bool resident;
    };

    void CheckNothingRegisteredWithin(void* block, size_t size, const char* service) const;

    std::unordered_map<void*, Block> blocks_;
    std::map<ULONG, TagUsage> usage_;
    std::map<PAGED_LOOKASIDE_LIST*, Lookaside> lookasides_;
    std::set<ULONG> failingTags_;
    uint64_t sequence_ = 0;
    uint64_t failAt_ = 0;
    bool resident_ = false;
};

}  // namespace sim
