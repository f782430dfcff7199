#include "sim/kernel/Pool.h"

#include <cstdlib>

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace sim {

namespace {
// Fresh pool is not zeroed on Windows; this pattern makes reads of
// uninitialised fields visible.
constexpr unsigned char kFreshPoolByte = 0xBD;
constexpr unsigned char kFreedPoolByte = 0xDF;
// The kernel keeps a lookaside list at its default depth of at least four.
constexpr USHORT kLookasideDepth = 4;
}  // namespace

std::string TagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name;
}

Pool::~Pool() {
    for (auto& [block, info] : blocks_) {
        (void)info;
        std::free(block);
    }
}

void* Pool::Allocate(POOL_TYPE type, size_t size, ULONG tag, bool mayFail) {
    if (tag == 0) Violation("ExAllocatePoolWithTag with a zero tag");
    ++sequence_;
    if (mayFail && ((failAt_ && sequence_ == failAt_) || failingTags_.count(tag))) return nullptr;
    void* block = std::malloc(size ? size : 1);
    if (!block) Violation("the host ran out of memory");
    std::memset(block, kFreshPoolByte, size);
    blocks_[block] = Block{size, tag, type, sequence_, resident_};
    TagUsage& usage = usage_[tag];
    ++usage.allocations;
    ++usage.liveBlocks;
    usage.liveBytes += static_cast<int64_t>(size);
    if (type == PagedPool) usage.livePagedBytes += static_cast<int64_t>(size);
    return block;
}

bool Pool::IsPaged(const void* block) const {
    auto it = blocks_.find(const_cast<void*>(block));
    return it == blocks_.end() || it->second.type == PagedPool;
}

size_t Pool::SizeOf(const void* block) const {
    auto it = blocks_.find(const_cast<void*>(block));
    return it == blocks_.end() ? 0 : it->second.size;
}

bool Pool::IsPagedAddress(const void* address) const {
    size_t offset = 0, size = 0;
    if (!FindBlock(address, &offset, &size)) return false;
    return blocks_.at(const_cast<char*>(static_cast<const char*>(address)) - offset).type == PagedPool;
}

bool Pool::FindBlock(const void* address, size_t* offset, size_t* size) const {
    auto* at = static_cast<const char*>(address);
    for (auto& [block, info] : blocks_) {
        auto* first = static_cast<const char*>(block);
        if (at >= first && at < first + (info.size ? info.size : 1)) {
            *offset = static_cast<size_t>(at - first);
            *size = info.size;
            return true;
        }
    }
    return false;
}

void Pool::CheckNothingRegisteredWithin(void* block, size_t size, const char* service) const {
    auto* first = static_cast<char*>(block);
    for (auto& [list, info] : lookasides_) {
        (void)info;
        auto* at = reinterpret_cast<char*>(list);
        if (at >= first && at < first + size)
            Violation("%s frees pool that holds a lookaside list still registered with the kernel "
                      "(delete it first with ExDeletePagedLookasideList)",
                      service);
    }
    if (Kernel::Current().Threads().IsTimerArmedWithin(block, size))
        Violation("%s frees pool that holds an armed timer", service);
    if (Kernel::Current().Io().IsLockedWithin(block, size))
        Violation("%s frees pool whose pages an MDL still holds locked (a device may still be reading or writing "
                  "them)",
                  service);
}

void Pool::Free(void* block, ULONG tag, bool checkTag, const char* service, bool keepMemory) {
    if (!block) Violation("%s of a null pointer", service);
    auto it = blocks_.find(block);
    if (it == blocks_.end())
        Violation("%s of %p, which is not an allocated pool block (freed twice, or never allocated)", service,
                  block);
    if (checkTag && it->second.tag != tag)
        Violation("%s with tag '%s' of a block allocated with tag '%s'", service, TagName(tag).c_str(),
                  TagName(it->second.tag).c_str());
    CheckNothingRegisteredWithin(block, it->second.size, service);
    TagUsage& usage = usage_[it->second.tag];
    ++usage.frees;
    --usage.liveBlocks;
    usage.liveBytes -= static_cast<int64_t>(it->second.size);
    if (it->second.type == PagedPool) usage.livePagedBytes -= static_cast<int64_t>(it->second.size);
    size_t size = it->second.size;
    blocks_.erase(it);
    std::memset(block, kFreedPoolByte, size);
    if (keepMemory) {
        ASAN_POISON_MEMORY_REGION(block, size);
        return;
    }
    std::free(block);
}

void Pool::ReleaseKept(void* block, size_t size) {
    ASAN_UNPOISON_MEMORY_REGION(block, size);
    std::free(block);
}

void Pool::RevokeResidency() {
    for (auto& [block, info] : blocks_) {
        (void)block;
        info.resident = false;
    }
    for (auto& [list, info] : lookasides_) {
        (void)list;
        info.resident = false;
    }
}

void Pool::FailTag(ULONG tag, bool fail) {
    if (fail)
        failingTags_.insert(tag);
    else
        failingTags_.erase(tag);
}

TagUsage Pool::Usage(ULONG tag) const {
    auto it = usage_.find(tag);
    return it == usage_.end() ? TagUsage{} : it->second;
}

void Pool::InitializeLookaside(PAGED_LOOKASIDE_LIST* list, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                               size_t size, ULONG tag) {
    if (lookasides_.count(list)) Violation("ExInitializePagedLookasideList on a list that is already registered");
    if (size < sizeof(SINGLE_LIST_ENTRY)) Violation("lookaside entry size %zu is smaller than a list link", size);
    list->Cache.Next = nullptr;
    list->Depth = kLookasideDepth;
    list->CachedCount = 0;
    list->Type = PagedPool;
    list->Tag = tag;
    list->Size = static_cast<ULONG>(size);
    list->Allocate = allocate;
    list->Free = free;
    lookasides_[list] = Lookaside{resident_};
}

void Pool::DeleteLookaside(PAGED_LOOKASIDE_LIST* list) {
    if (!lookasides_.count(list)) Violation("ExDeletePagedLookasideList on a list that is not registered");
    lookasides_.erase(list);
    while (SINGLE_LIST_ENTRY* entry = list->Cache.Next) {
        list->Cache.Next = entry->Next;
        if (list->Free)
            list->Free(entry);
        else
            Free(entry, 0, false, "ExDeletePagedLookasideList");
    }
    list->CachedCount = 0;
}

void* Pool::AllocateFromLookaside(PAGED_LOOKASIDE_LIST* list) {
    if (!lookasides_.count(list))
        Violation("ExAllocateFromPagedLookasideList on a list that is not registered (never initialised, "
                  "or deleted)");
    if (SINGLE_LIST_ENTRY* entry = list->Cache.Next) {
        list->Cache.Next = entry->Next;
        --list->CachedCount;
        return entry;
    }
    return list->Allocate ? list->Allocate(list->Type, list->Size, list->Tag)
                          : Allocate(list->Type, list->Size, list->Tag);
}

void Pool::FreeToLookaside(PAGED_LOOKASIDE_LIST* list, void* entry) {
    if (!lookasides_.count(list))
        Violation("ExFreeToPagedLookasideList on a list that is not registered (never initialised, or deleted)");
    if (!entry) Violation("ExFreeToPagedLookasideList of a null entry");
    if (list->CachedCount < list->Depth) {
        auto* link = static_cast<SINGLE_LIST_ENTRY*>(entry);
        link->Next = list->Cache.Next;
        list->Cache.Next = link;
        ++list->CachedCount;
        return;
    }
    if (list->Free)
        list->Free(entry);
    else
        Free(entry, 0, false, "ExFreeToPagedLookasideList");
}

std::vector<std::string> Pool::Leaks(const std::set<ULONG>& reportedElsewhere) const {
    std::set<const void*> cached;
    for (auto& [list, info] : lookasides_) {
        (void)info;
        for (SINGLE_LIST_ENTRY* entry = list->Cache.Next; entry; entry = entry->Next) cached.insert(entry);
    }
    std::vector<std::string> leaks;
    for (auto& [list, info] : lookasides_)
        if (!info.resident)
            leaks.push_back(Format("lookaside list at %p (tag '%s') was never deleted", static_cast<void*>(list),
                                   TagName(list->Tag).c_str()));
    std::map<uint64_t, std::string> ordered;
    for (auto& [block, info] : blocks_) {
        if (info.resident || cached.count(block) || reportedElsewhere.count(info.tag)) continue;
        ordered[info.sequence] = Format("pool block %p of %zu bytes, tag '%s', allocation #%llu, was never freed",
                                        block, info.size, TagName(info.tag).c_str(),
                                        static_cast<unsigned long long>(info.sequence));
    }
    for (auto& [sequence, text] : ordered) leaks.push_back(text);
    return leaks;
}

}  // namespace sim
