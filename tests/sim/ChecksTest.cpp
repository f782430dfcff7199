// The checks that stop the simulated machine, each provoked by a deliberately
// broken driver, and the leak report at shutdown.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/CaseName.h"
#include "tests/support/TestDriver.h"

namespace {

using test::CompleteWith;
using test::TestDriver;

const auto kStopped = ::testing::ExitedWithCode(sim::kViolationExitCode);

void SendFlush(test::Handler handler) {
    sim::Kernel kernel;
    TestDriver driver;
    PDEVICE_OBJECT device = driver.AddDevice(std::move(handler));
    test::SendBuiltRequest(IRP_MJ_FLUSH_BUFFERS, device);
}

TEST(KernelChecksDeathTest, CompletingTwice) {
    EXPECT_EXIT(SendFlush([](PDEVICE_OBJECT, PIRP irp) {
                    irp->IoStatus.Status = STATUS_SUCCESS;
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                    return STATUS_SUCCESS;
                }),
                kStopped, "already completed");
}

TEST(KernelChecksDeathTest, CompletingWithStatusPending) {
    EXPECT_EXIT(SendFlush([](PDEVICE_OBJECT, PIRP irp) {
                    irp->IoStatus.Status = STATUS_PENDING;
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                    return STATUS_PENDING;
                }),
                kStopped, "IofCompleteRequest with STATUS_PENDING");
}

TEST(KernelChecksDeathTest, ReturningPendingWithoutMarking) {
    EXPECT_EXIT(SendFlush([](PDEVICE_OBJECT, PIRP irp) {
                    sim::Kernel::Current().Threads().StartThread("late", [irp] {
                        irp->IoStatus.Status = STATUS_SUCCESS;
                        IoCompleteRequest(irp, IO_NO_INCREMENT);
                    });
                    return STATUS_PENDING;
                }),
                kStopped, "returned STATUS_PENDING without marking the IRP pending");
}

TEST(KernelChecksDeathTest, MarkingPendingButReturningSuccess) {
    EXPECT_EXIT(SendFlush([](PDEVICE_OBJECT, PIRP irp) {
                    IoMarkIrpPending(irp);
                    irp->IoStatus.Status = STATUS_SUCCESS;
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                    return STATUS_SUCCESS;
                }),
                kStopped, "marked the IRP pending but returned 0x00000000");
}

TEST(KernelChecksDeathTest, UsingAnIrpAfterItsCompletion) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver driver;
            PDEVICE_OBJECT lower = driver.AddDevice(CompleteWith(STATUS_SUCCESS));
            PDEVICE_OBJECT upper = driver.AddDevice(
                [&](PDEVICE_OBJECT, PIRP irp) {
                    IoSkipCurrentIrpStackLocation(irp);
                    IoCallDriver(lower, irp);
                    return IoCallDriver(lower, irp);  // the IRP is gone
                },
                lower);
            test::SendBuiltRequest(IRP_MJ_FLUSH_BUFFERS, upper);
        },
        kStopped, "already completed and freed");
}

TEST(KernelChecksDeathTest, RunningOutOfStackLocations) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver driver;
            PDEVICE_OBJECT other = driver.AddDevice(CompleteWith(STATUS_SUCCESS));
            // Passes the IRP on without skipping or copying its location, to a
            // device outside its own stack: the IRP was sized for one location.
            PDEVICE_OBJECT device = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) { return IoCallDriver(other, irp); });
            test::SendBuiltRequest(IRP_MJ_FLUSH_BUFFERS, device);
        },
        kStopped, "no stack location left");
}

TEST(KernelChecksDeathTest, ReachingBelowTheFirstStackLocation) {
    EXPECT_EXIT(SendFlush([](PDEVICE_OBJECT, PIRP irp) {
                    IoCopyCurrentIrpStackLocationToNext(irp);  // a one-location IRP has no next location
                    return STATUS_SUCCESS;
                }),
                kStopped, "stack location below the first");
}

TEST(KernelChecksDeathTest, AThreadEndingInsideACriticalRegion) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            kernel.Threads().StartThread("forgetful", [] { KeEnterCriticalRegion(); });
            kernel.Threads().RunUntilIdle();
        },
        kStopped, "ended inside 1 critical region");
}

TEST(KernelChecksDeathTest, PlugAndPlayIrpWithoutNotSupportedPreset) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice(CompleteWith(STATUS_SUCCESS));
            test::SendBuiltRequest(IRP_MJ_PNP, device);  // status left at 0
        },
        kStopped, "must preset STATUS_NOT_SUPPORTED");
}

TEST(KernelChecksDeathTest, DeletingADeviceStillAttached) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver driver;
            PDEVICE_OBJECT lower = driver.AddDevice(CompleteWith(STATUS_SUCCESS));
            PDEVICE_OBJECT upper = driver.AddDevice(CompleteWith(STATUS_SUCCESS), lower);
            IoDeleteDevice(upper);
        },
        kStopped, "still attached to");
}

TEST(KernelChecksDeathTest, ReleasingAReferenceNotHeld) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice(CompleteWith(STATUS_SUCCESS));
            ObfReferenceObject(device);
            ObfDereferenceObject(device);
            ObfDereferenceObject(device);  // the creation reference is the kernel's
        },
        kStopped, "released the creation reference");
}

// A completion routine that puts its own status on the IRP.
NTSTATUS Overrule(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    irp->IoStatus.Status = *static_cast<NTSTATUS*>(context);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

// A PDO of a test bus with one filter above it that answers the removal
// itself, after passing it down when `passDown`, with `answer`.
void RemoveStackWithAFilterThatAnswers(bool passDown, NTSTATUS answer) {
    sim::Kernel kernel;
    TestDriver bus(L"\\Driver\\bus");
    PDEVICE_OBJECT pdo = test::AddTestPdo(bus, "test device");
    sim::PnpManager::DeviceNode* node = kernel.Pnp().AddDevice(pdo, nullptr);
    TestDriver filters(L"\\Driver\\filter");
    filters.AddDevice(
        [&](PDEVICE_OBJECT self, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) {
                IoSkipCurrentIrpStackLocation(irp);
                return IoCallDriver(pdo, irp);
            }
            if (passDown) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, Overrule, &answer, TRUE, TRUE, TRUE);
                NTSTATUS status = IoCallDriver(pdo, irp);
                filters.Remove(self);
                return status;
            }
            filters.Remove(self);  // leaves the stack, but never tells the bus driver
            return CompleteWith(answer)(nullptr, irp);
        },
        pdo);
    kernel.Pnp().Remove(node);
}

TEST(KernelChecksDeathTest, ARemovalThatNeverReachesTheBusDriver) {
    EXPECT_EXIT(RemoveStackWithAFilterThatAnswers(false, STATUS_SUCCESS), kStopped,
                "IRP_MN_REMOVE_DEVICE of test device never reached the bus driver");
}

TEST(KernelChecksDeathTest, AFailedRemoval) {
    EXPECT_EXIT(RemoveStackWithAFilterThatAnswers(true, STATUS_UNSUCCESSFUL), kStopped,
                "IRP_MN_REMOVE_DEVICE of test device failed with 0xC0000001");
}

TEST(KernelChecksDeathTest, CorruptListEntryBugCheck) {
    EXPECT_EXIT(KeBugCheckEx(0x139, 3, 0, 0, 0), kStopped, "list entry's links are corrupt");
}

TEST(LeakReport, NamesPoolNeverFreedAndReferencesNeverReleased) {
    sim::Kernel kernel;
    std::vector<std::string> leaks;
    {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice(CompleteWith(STATUS_SUCCESS));
        void* kept = ExAllocatePoolWithTag(PagedPool, 24, sim::MakeTag("Leak"));
        ASSERT_NE(kept, nullptr);
        void* freed = ExAllocatePoolWithTag(PagedPool, 24, sim::MakeTag("Fine"));
        ExFreePoolWithTag(freed, sim::MakeTag("Fine"));
        ObfReferenceObject(device);  // never released
    }
    leaks = kernel.Shutdown();
    ASSERT_EQ(leaks.size(), 2u) << ::testing::PrintToString(leaks);
    EXPECT_NE(leaks[0].find("deleted but 1 reference(s) to it were never released"), std::string::npos) << leaks[0];
    EXPECT_NE(leaks[1].find("24 bytes, tag 'Leak'"), std::string::npos) << leaks[1];
}

TEST(LeakReport, IsEmptyWhenEverythingWasReleased) {
    sim::Kernel kernel;
    {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice(CompleteWith(STATUS_SUCCESS));
        ObfReferenceObject(device);
        ObfDereferenceObject(device);
        test::SendBuiltRequest(IRP_MJ_FLUSH_BUFFERS, device);
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(LeakReportDeathTest, StopsTheProgramWhenNobodyAskedForIt) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            ExAllocatePoolWithTag(NonPagedPoolNx, 8, sim::MakeTag("Lost"));
        },
        kStopped, "tag 'Lost'");
}

// A device the PnP manager knows as a PDO, and a filter above it that it does not.
TEST(KernelChecksDeathTest, DevicePropertyOfADeviceThatIsNoPdo) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver bus(L"\\Driver\\bus");
            PDEVICE_OBJECT pdo = test::AddTestPdo(bus, "test device");
            kernel.Pnp().AddDevice(pdo, nullptr);
            TestDriver filters(L"\\Driver\\filter");
            PDEVICE_OBJECT filter = filters.AddDevice(CompleteWith(STATUS_SUCCESS), pdo);
            ULONG length = 0;
            IoGetDeviceProperty(pdo, DevicePropertyAddress, 0, nullptr, &length);  // a PDO: answered
            std::fprintf(stderr, "the PDO's property was read\n");
            IoGetDeviceProperty(filter, DevicePropertyAddress, 0, nullptr, &length);
        },
        kStopped,
        "the PDO's property was read.*PNP_DETECTED_FATAL_ERROR \\(0xCA, invalid PDO\\): IoGetDeviceProperty with "
        ".*\\\\Driver\\\\filter");
}

TEST(KernelChecksDeathTest, ReleasingARemoveLockWithATagNeverAcquired) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            IO_REMOVE_LOCK lock;
            IoInitializeRemoveLock(&lock, sim::MakeTag("Test"), 0, 0);
            int acquired = 0;
            int other = 0;
            ASSERT_EQ(IoAcquireRemoveLock(&lock, &acquired), STATUS_SUCCESS);
            IoReleaseRemoveLock(&lock, &other);
        },
        kStopped, "IoReleaseRemoveLock with tag .*, which no IoAcquireRemoveLock of this lock holds");
}

// Pool types by the Windows release the machine runs.
struct PoolTypeCase {
    const char* name;
    sim::WindowsVersion version;
    POOL_TYPE type;
    const char* stops;  // null: allowed
};

class PoolTypeByVersion : public ::testing::TestWithParam<PoolTypeCase> {};

void AllocateOnce(const PoolTypeCase& c) {
    sim::Kernel kernel(sim::KernelConfig{1, 0, c.version});
    void* block = ExAllocatePoolWithTag(c.type, 16, sim::MakeTag("Test"));
    ASSERT_NE(block, nullptr);
    ExFreePoolWithTag(block, sim::MakeTag("Test"));
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST_P(PoolTypeByVersion, IsAllowedOrStopsTheMachine) {
    if (GetParam().stops == nullptr) {
        AllocateOnce(GetParam());
    } else {
        EXPECT_EXIT(AllocateOnce(GetParam()), kStopped, GetParam().stops);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PoolTypeByVersion,
    ::testing::Values(
        PoolTypeCase{"ExecutableOnWindows10", {10, 0, 19045}, NonPagedPool, "executable non-paged pool \\(NonPagedPool\\) on Windows 10.0"},
        PoolTypeCase{"ExecutableOnWindows8", {6, 2, 9200}, NonPagedPool, "executable non-paged pool"},
        PoolTypeCase{"NoExecuteOnWindows7", {6, 1, 7601}, NonPagedPoolNx, "BAD_POOL_CALLER: .*NonPagedPoolNx"},
        PoolTypeCase{"ExecutableOnWindows7", {6, 1, 7601}, NonPagedPool, nullptr},
        PoolTypeCase{"NoExecuteOnWindows81", {6, 3, 9600}, NonPagedPoolNx, nullptr},
        PoolTypeCase{"PagedEverywhere", {6, 1, 7601}, PagedPool, nullptr},
        PoolTypeCase{"NoSuchType", {10, 0, 19045}, static_cast<POOL_TYPE>(77), "BAD_POOL_CALLER: ExAllocatePoolWithTag with pool type 77"}),
    test::CaseName());

struct VersionCase {
    const char* name;
    sim::WindowsVersion version;
    ULONG ntddi;
    bool available;
};

class VersionQueries : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionQueries, AnswerFromTheMachinesRelease) {
    const VersionCase& c = GetParam();
    sim::Kernel kernel(sim::KernelConfig{1, 0, c.version});
    RTL_OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, c.version.major);
    EXPECT_EQ(info.dwMinorVersion, c.version.minor);
    EXPECT_EQ(info.dwBuildNumber, c.version.build);
    EXPECT_EQ(RtlIsNtDdiVersionAvailable(c.ntddi) != FALSE, c.available);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, VersionQueries,
                         ::testing::Values(VersionCase{"SevenAsksForEight", {6, 1, 7601}, 0x06020000, false},
                                           VersionCase{"SevenAsksForSeven", {6, 1, 7601}, 0x06010000, true},
                                           VersionCase{"EightOneAsksForEight", {6, 3, 9600}, 0x06020000, true},
                                           VersionCase{"TenAsksForTen", {10, 0, 19045}, 0x0A000000, true},
                                           VersionCase{"EightAsksForTen", {6, 2, 9200}, 0x0A000000, false}),
                         test::CaseName());

}  // namespace
