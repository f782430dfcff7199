// DbgPrint formats as the kernel does and keeps its output line by line.
#include <gtest/gtest.h>

#include "sim/kernel/Kernel.h"

namespace {

TEST(DbgPrint, FormatsLikeTheKernel) {
    sim::Kernel kernel;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\VoxenPCI");
    DbgPrint(",Objects[%d]=0x%p ", 2, reinterpret_cast<void*>(0xFFFFE0001234ABCDull));
    DbgPrint("****\n");
    DbgPrint("%u %lu %x %08X %I64x %llx %hd\n", 4000000000u, 0xFFFFFFFFu, 255u, 0xBEEFu, 0x123456789ull, 0xAull, 70000);
    DbgPrint("[%s] [%-5s] [%5s] [%ws] [%wZ] [%c%%]\n", "a", "ab", "ab", L"wide", &name, 'z');
    DbgPrint("no newline yet");
    ASSERT_EQ(kernel.Debug().Lines().size(), 3u);
    EXPECT_EQ(kernel.Debug().Lines()[0], ",Objects[2]=0xFFFFE0001234ABCD ****");
    EXPECT_EQ(kernel.Debug().Lines()[1], "4000000000 4294967295 ff 0000BEEF 123456789 a 4464");
    EXPECT_EQ(kernel.Debug().Lines()[2], "[a] [ab   ] [   ab] [wide] [\\Device\\VoxenPCI] [z%]");
    EXPECT_EQ(kernel.Debug().Partial(), "no newline yet");
}

}  // namespace
