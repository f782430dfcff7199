// The checks that stop the simulated machine, each provoked by a deliberately
// broken driver, and the leak report at shutdown.
#include <gtest/gtest.h>

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

}  // namespace
