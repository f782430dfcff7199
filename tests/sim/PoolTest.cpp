// Pool allocations, their accounting and fault injection, and paged lookaside lists.
#include <gtest/gtest.h>

#include "sim/kernel/Kernel.h"

namespace {

using sim::MakeTag;

const auto kStopped = ::testing::ExitedWithCode(sim::kViolationExitCode);

TEST(Pool, CountsLiveBlocksAndBytesPerTag) {
    sim::Kernel kernel;
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, MakeTag("Vxnd"));
    void* b = ExAllocatePoolWithTag(PagedPool, 28, MakeTag("Vxnd"));
    void* c = ExAllocatePoolWithTag(PagedPool, 16, MakeTag("DNXV"));
    sim::TagUsage usage = kernel.Memory().Usage(MakeTag("Vxnd"));
    EXPECT_EQ(usage.liveBlocks, 2);
    EXPECT_EQ(usage.liveBytes, 128);
    ExFreePoolWithTag(a, MakeTag("Vxnd"));
    ExFreePool(b);
    ExFreePoolWithTag(c, MakeTag("DNXV"));
    usage = kernel.Memory().Usage(MakeTag("Vxnd"));
    EXPECT_EQ(usage.allocations, 2u);
    EXPECT_EQ(usage.frees, 2u);
    EXPECT_EQ(usage.liveBlocks, 0);
    EXPECT_EQ(usage.liveBytes, 0);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(PoolFaults, FailsTheNthAllocationOnly) {
    sim::Kernel kernel;
    kernel.Memory().FailAllocationNumber(2);
    void* first = ExAllocatePoolWithTag(PagedPool, 8, MakeTag("Test"));
    void* second = ExAllocatePoolWithTag(PagedPool, 8, MakeTag("Test"));
    void* third = ExAllocatePoolWithTag(PagedPool, 8, MakeTag("Test"));
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    ExFreePoolWithTag(first, MakeTag("Test"));
    ExFreePoolWithTag(third, MakeTag("Test"));
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(PoolFaults, FailsEveryAllocationWithATagUntilCleared) {
    sim::Kernel kernel;
    kernel.Memory().FailTag(MakeTag("Vxnd"), true);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, MakeTag("Vxnd")), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, MakeTag("Vxnd")), nullptr);
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, MakeTag("DNXV"));
    EXPECT_NE(other, nullptr);
    kernel.Memory().FailTag(MakeTag("Vxnd"), false);
    void* again = ExAllocatePoolWithTag(NonPagedPoolNx, 8, MakeTag("Vxnd"));
    EXPECT_NE(again, nullptr);
    ExFreePool(other);
    ExFreePool(again);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(PoolDeathTest, FreeingTwice) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            void* block = ExAllocatePoolWithTag(PagedPool, 8, MakeTag("Test"));
            ExFreePoolWithTag(block, MakeTag("Test"));
            ExFreePoolWithTag(block, MakeTag("Test"));
        },
        kStopped, "not an allocated pool block");
}

TEST(PoolDeathTest, FreeingWithAnotherTag) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 8, MakeTag("Vxnd")), MakeTag("DNXV"));
        },
        kStopped, "with tag 'DNXV' of a block allocated with tag 'Vxnd'");
}

TEST(PoolDeathTest, FreeingMemoryThatHoldsARegisteredLookasideList) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            auto* list = static_cast<PPAGED_LOOKASIDE_LIST>(
                ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PAGED_LOOKASIDE_LIST), MakeTag("Vxnd")));
            ExInitializePagedLookasideList(list, nullptr, nullptr, 0, 24, MakeTag("DNXV"), 0);
            ExFreePoolWithTag(list, MakeTag("Vxnd"));
        },
        kStopped, "lookaside list still registered");
}

TEST(Lookaside, CachesUpToItsDepthAndReturnsTheRestToPool) {
    sim::Kernel kernel;
    PAGED_LOOKASIDE_LIST list;
    ExInitializePagedLookasideList(&list, nullptr, nullptr, 0, 24, MakeTag("DNXV"), 0);
    void* entries[6];
    for (void*& entry : entries) entry = ExAllocateFromPagedLookasideList(&list);
    EXPECT_EQ(kernel.Memory().Usage(MakeTag("DNXV")).liveBlocks, 6);
    for (void* entry : entries) ExFreeToPagedLookasideList(&list, entry);
    EXPECT_EQ(kernel.Memory().Usage(MakeTag("DNXV")).liveBlocks, list.Depth) << "the rest went back to pool";
    void* reused = ExAllocateFromPagedLookasideList(&list);
    EXPECT_EQ(kernel.Memory().Usage(MakeTag("DNXV")).allocations, 6u) << "served from the cache";
    ExFreeToPagedLookasideList(&list, reused);
    ExDeletePagedLookasideList(&list);
    EXPECT_EQ(kernel.Memory().Usage(MakeTag("DNXV")).liveBlocks, 0);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(Lookaside, AListNeverDeletedIsALeak) {
    sim::Kernel kernel;
    PAGED_LOOKASIDE_LIST list;
    ExInitializePagedLookasideList(&list, nullptr, nullptr, 0, 24, MakeTag("DNXV"), 0);
    ExFreeToPagedLookasideList(&list, ExAllocateFromPagedLookasideList(&list));
    std::vector<std::string> leaks = kernel.Shutdown();
    ASSERT_EQ(leaks.size(), 1u) << "the cached entry is the list's, not a leak of its own";
    EXPECT_NE(leaks[0].find("was never deleted"), std::string::npos);
}

TEST(LookasideDeathTest, AllocatingFromADeletedList) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            PAGED_LOOKASIDE_LIST list;
            ExInitializePagedLookasideList(&list, nullptr, nullptr, 0, 24, MakeTag("DNXV"), 0);
            ExDeletePagedLookasideList(&list);
            ExAllocateFromPagedLookasideList(&list);
        },
        kStopped, "not registered");
}

}  // namespace
