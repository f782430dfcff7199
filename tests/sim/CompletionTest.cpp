// The I/O manager's completion rules, each shown by a small stack of test drivers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TestDriver.h"
#include "tests/support/CaseName.h"

namespace {

using test::CompleteWith;
using test::Handler;
using test::TestDriver;

struct Flags {
    bool onSuccess, onError, onCancel;
};

struct Observed {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
};

NTSTATUS ObservingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* observed = static_cast<Observed*>(context);
    ++observed->calls;
    observed->device = device;
    observed->pendingReturned = irp->PendingReturned;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

// A filter that forwards with a completion routine registered with `flags`.
Handler ForwardObserved(PDEVICE_OBJECT* lower, Observed* observed, Flags flags) {
    return [=](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, ObservingRoutine, observed, flags.onSuccess, flags.onError, flags.onCancel);
        return IoCallDriver(*lower, irp);
    };
}

struct InvokeCase {
    const char* name;
    NTSTATUS status;
    bool cancelled;
    Flags flags;
    bool invoked;
};

class CompletionRoutineInvocation : public ::testing::TestWithParam<InvokeCase> {};

TEST_P(CompletionRoutineInvocation, FollowsTheInvokeFlags) {
    const InvokeCase& c = GetParam();
    sim::Kernel kernel;
    {
        TestDriver driver;
        PDEVICE_OBJECT bottom = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
            irp->Cancel = c.cancelled ? TRUE : FALSE;
            irp->IoStatus.Status = c.status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return c.status;
        });
        Observed observed;
        PDEVICE_OBJECT filter = driver.AddDevice(ForwardObserved(&bottom, &observed, c.flags), bottom);

        test::Outcome outcome = test::SendBuiltRequest(IRP_MJ_FLUSH_BUFFERS, filter);

        EXPECT_EQ(outcome.block.Status, c.status);
        EXPECT_EQ(observed.calls, c.invoked ? 1 : 0);
        if (c.invoked) {
            EXPECT_EQ(observed.device, filter) << "the routine gets its own driver's device";
        }
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, CompletionRoutineInvocation,
    ::testing::Values(InvokeCase{"SuccessOnSuccess", STATUS_SUCCESS, false, {true, false, false}, true},
                      InvokeCase{"SuccessOnErrorAndCancel", STATUS_SUCCESS, false, {false, true, true}, false},
                      InvokeCase{"ErrorOnError", STATUS_UNSUCCESSFUL, false, {false, true, false}, true},
                      InvokeCase{"ErrorOnSuccess", STATUS_UNSUCCESSFUL, false, {true, false, false}, false},
                      InvokeCase{"WarningCountsAsError", STATUS_BUFFER_OVERFLOW, false, {false, true, false}, true},
                      InvokeCase{"CancelledOnCancel", STATUS_CANCELLED, true, {false, false, true}, true},
                      InvokeCase{"CancelledOnSuccessOnly", STATUS_CANCELLED, true, {true, false, false}, false},
                      InvokeCase{"CancelFlagEvenOnSuccess", STATUS_SUCCESS, true, {false, false, true}, true}),
    test::CaseName());

struct PendCase {
    const char* name;
    bool lowerPends;
};

class PendingReturnedSeenAbove : public ::testing::TestWithParam<PendCase> {};

TEST_P(PendingReturnedSeenAbove, ByTheRoutineOfTheLocationAbove) {
    sim::Kernel kernel;
    {
        TestDriver driver;
        bool pends = GetParam().lowerPends;
        PDEVICE_OBJECT bottom = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
            if (!pends) return CompleteWith(STATUS_SUCCESS)(nullptr, irp);
            IoMarkIrpPending(irp);
            sim::Kernel::Current().Threads().StartThread("completer", [irp] {
                LARGE_INTEGER delay;
                delay.QuadPart = -sim::kMillisecond;
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            });
            return STATUS_PENDING;
        });
        Observed observed;
        PDEVICE_OBJECT filter = driver.AddDevice(ForwardObserved(&bottom, &observed, {true, true, true}), bottom);

        test::Outcome outcome = test::SendBuiltRequest(IRP_MJ_FLUSH_BUFFERS, filter);

        EXPECT_EQ(outcome.returned, pends ? STATUS_PENDING : STATUS_SUCCESS);
        EXPECT_EQ(outcome.block.Status, STATUS_SUCCESS);
        ASSERT_EQ(observed.calls, 1);
        EXPECT_EQ(observed.pendingReturned, pends ? TRUE : FALSE);
        kernel.Threads().RunUntilIdle();
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, PendingReturnedSeenAbove,
                         ::testing::Values(PendCase{"LowerPends", true}, PendCase{"LowerCompletesAtOnce", false}),
                         test::CaseName());

NTSTATUS TakeBack(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<std::vector<std::string>*>(context)->push_back("middle routine: more processing");
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS RecordTop(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    static_cast<std::vector<std::string>*>(context)->push_back("top routine");
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

TEST(MoreProcessingRequired, StopsCompletionUntilTheOwnerCompletesAgain) {
    sim::Kernel kernel;
    {
        TestDriver driver;
        std::vector<std::string> events;
        PDEVICE_OBJECT bottom = driver.AddDevice(CompleteWith(STATUS_SUCCESS, 7));
        PDEVICE_OBJECT middle = driver.AddDevice(
            [&](PDEVICE_OBJECT, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, TakeBack, &events, TRUE, TRUE, TRUE);
                IoCallDriver(bottom, irp);
                events.push_back("middle owns the IRP again, information " +
                                 std::to_string(irp->IoStatus.Information));
                irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_UNSUCCESSFUL;
            },
            bottom);
        PDEVICE_OBJECT top = driver.AddDevice(
            [&](PDEVICE_OBJECT, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, RecordTop, &events, TRUE, TRUE, TRUE);
                return IoCallDriver(middle, irp);
            },
            middle);

        test::Outcome outcome = test::SendBuiltRequest(IRP_MJ_FLUSH_BUFFERS, top);

        EXPECT_EQ(outcome.block.Status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(events, (std::vector<std::string>{"middle routine: more processing",
                                                    "middle owns the IRP again, information 7", "top routine"}));
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

NTSTATUS FreeOwnIrp(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    *static_cast<PDEVICE_OBJECT*>(context) = device;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(TopLocationRoutine, GetsNoDeviceObjectAndMayFreeTheIrp) {
    sim::Kernel kernel;
    {
        TestDriver driver;
        PDEVICE_OBJECT bottom = driver.AddDevice(CompleteWith(STATUS_SUCCESS));
        PIRP irp = IoAllocateIrp(bottom->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        PDEVICE_OBJECT seen = bottom;
        IoSetCompletionRoutine(irp, FreeOwnIrp, &seen, TRUE, TRUE, TRUE);

        EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_SUCCESS);
        EXPECT_EQ(seen, nullptr);
        EXPECT_FALSE(kernel.Io().IsLive(irp));
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

}  // namespace
