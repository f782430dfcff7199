// IRQL as the simulated kernel keeps it: raised and lowered by drivers, spin
// locks and DPCs, the documented limit of each service, completion routines
// and power callbacks run at the IRQL of whoever completes.
#include <gtest/gtest.h>

#include "sim/kernel/Irql.h"
#include "sim/machine/Machine.h"
#include "tests/support/CaseName.h"
#include "tests/support/TestDriver.h"

namespace {

using test::CompleteWith;
using test::TestDriver;

const auto kStopped = ::testing::ExitedWithCode(sim::kViolationExitCode);

TEST(Irql, RaisingLoweringAndSpinLocksChangeTheCurrentIrql) {
    sim::Kernel kernel;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = 0;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);

    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL beforeLock = 0;
    KeAcquireSpinLock(&lock, &beforeLock);
    EXPECT_EQ(beforeLock, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, beforeLock);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);

    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

struct DpcRecord {
    int runs = 0;
    KIRQL irql = PASSIVE_LEVEL;
    PVOID context = nullptr;
};

void RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* record = static_cast<DpcRecord*>(context);
    ++record->runs;
    record->irql = KeGetCurrentIrql();
    record->context = context;
}

TEST(Dpcs, RunOnceAtDispatchLevelHoweverOftenTheyAreQueued) {
    sim::Kernel kernel;
    DpcRecord record;
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));  // already queued
    EXPECT_EQ(record.runs, 0);  // not before the queueing thread gives the processor up
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(record.runs, 1);
    EXPECT_EQ(record.irql, DISPATCH_LEVEL);
    EXPECT_EQ(record.context, &record);

    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(record.runs, 1);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(Dpcs, ATimerWithADpcQueuesItWhenItFires) {
    sim::Kernel kernel;
    DpcRecord record;
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -10 * sim::kMillisecond;
    KeSetTimer(&timer, due, &dpc);
    kernel.Threads().Advance(5 * sim::kMillisecond);
    EXPECT_EQ(record.runs, 0);
    kernel.Threads().Advance(5 * sim::kMillisecond);
    EXPECT_EQ(record.runs, 1);
    EXPECT_EQ(record.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

// A service called above its documented limit stops the machine with the
// service, the IRQL and the limit, as Driver Verifier's IRQL checking does.
struct LimitCase {
    const char* name;
    KIRQL at;
    std::function<void()> call;
    const char* says;
};

class IrqlLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(IrqlLimit, BrokenStopsTheMachineNamingServiceIrqlAndLimit) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            KIRQL old;
            KeRaiseIrql(GetParam().at, &old);
            GetParam().call();
        },
        kStopped, GetParam().says);
}

KEVENT gEvent;

INSTANTIATE_TEST_SUITE_P(
    Table, IrqlLimit,
    ::testing::Values(
        LimitCase{"PagedPool", DISPATCH_LEVEL, [] { ExAllocatePoolWithTag(PagedPool, 8, sim::MakeTag("Test")); },
                  "IRQL_NOT_LESS_OR_EQUAL: ExAllocatePoolWithTag \\(paged pool\\) called at DISPATCH_LEVEL; it may be "
                  "called at APC_LEVEL at most"},
        LimitCase{"Delay", DISPATCH_LEVEL,
                  [] {
                      LARGE_INTEGER interval;
                      interval.QuadPart = -1;
                      KeDelayExecutionThread(KernelMode, FALSE, &interval);
                  },
                  "KeDelayExecutionThread called at DISPATCH_LEVEL; it may be called at APC_LEVEL at most"},
        LimitCase{"WaitWithoutTimeout", DISPATCH_LEVEL,
                  [] {
                      KeInitializeEvent(&gEvent, NotificationEvent, TRUE);
                      KeWaitForSingleObject(&gEvent, Executive, KernelMode, FALSE, nullptr);
                  },
                  "KeWaitForSingleObject \\(no time-out, or a non-zero one\\) called at DISPATCH_LEVEL"},
        LimitCase{"CreateDevice", APC_LEVEL,
                  [] {
                      PDEVICE_OBJECT device;
                      IoCreateDevice(nullptr, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
                  },
                  "IoCreateDevice called at APC_LEVEL; it may be called at PASSIVE_LEVEL at most"},
        LimitCase{"SystemThread", APC_LEVEL,
                  [] {
                      HANDLE thread;
                      PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           [](PVOID) {}, nullptr);
                  },
                  "PsCreateSystemThread called at APC_LEVEL"},
        LimitCase{"RegistryOpen", APC_LEVEL,
                  [] {
                      HANDLE key;
                      ZwOpenKey(&key, KEY_READ, nullptr);
                  },
                  "ZwOpenKey called at APC_LEVEL"},
        LimitCase{"BuildFsdRequest", DISPATCH_LEVEL,
                  [] { IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, nullptr, nullptr, 0, nullptr, nullptr, nullptr); },
                  "IoBuildSynchronousFsdRequest called at DISPATCH_LEVEL"},
        LimitCase{"CloseAHandle", APC_LEVEL, [] { ZwClose(nullptr); },
                  "ZwClose called at APC_LEVEL; it may be called at PASSIVE_LEVEL at most"}),
    test::CaseName());

TEST(Irql, AtTheirLimitServicesAreFine) {
    sim::Kernel kernel;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, sim::MakeTag("Test"));
    ASSERT_NE(block, nullptr);
    ExFreePoolWithTag(block, sim::MakeTag("Test"));
    KeInitializeEvent(&gEvent, NotificationEvent, FALSE);
    KeSetEvent(&gEvent, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&gEvent, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    KeLowerIrql(old);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(IrqlDeathTest, ADispatchRoutineReturningAtAnotherIrql) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                KIRQL old;
                KeRaiseIrql(APC_LEVEL, &old);  // and never lowered
                return CompleteWith(STATUS_SUCCESS)(nullptr, irp);
            });
            test::SendBuiltRequest(IRP_MJ_FLUSH_BUFFERS, device);
        },
        kStopped, "returned at APC_LEVEL");
}

TEST(IrqlDeathTest, BlockingWhileHoldingASpinLock) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLock(&lock, &old);
        },
        kStopped, "a spin lock acquired while it is held");
}

// A lower device that completes every IRP from a DPC, as many hardware drivers
// do, and an upper one whose completion routine does what only PASSIVE_LEVEL or
// APC_LEVEL allows.
struct DpcCompleter {
    KDPC dpc;
    PIRP irp = nullptr;
};

void CompleteFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* completer = static_cast<DpcCompleter*>(context);
    completer->irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(completer->irp, IO_NO_INCREMENT);
}

void SendThroughARoutine(PIO_COMPLETION_ROUTINE routine, KIRQL* seen) {
    sim::Kernel kernel;
    {
        TestDriver driver;
        DpcCompleter completer;
        KeInitializeDpc(&completer.dpc, CompleteFromDpc, &completer);
        PDEVICE_OBJECT lower = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            completer.irp = irp;
            KeInsertQueueDpc(&completer.dpc, nullptr, nullptr);
            return STATUS_PENDING;
        });
        driver.AddDevice(
            [&](PDEVICE_OBJECT, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, routine, seen, TRUE, TRUE, TRUE);
                return IoCallDriver(lower, irp);
            },
            lower);
        test::SendBuiltRequest(IRP_MJ_FLUSH_BUFFERS, lower);
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

NTSTATUS NoteIrql(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    *static_cast<KIRQL*>(context) = KeGetCurrentIrql();
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS AllocatePaged(PDEVICE_OBJECT, PIRP irp, PVOID) {
    ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 16, sim::MakeTag("Test")), sim::MakeTag("Test"));
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS WaitForEvent(PDEVICE_OBJECT, PIRP irp, PVOID) {
    KeInitializeEvent(&gEvent, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * sim::kMillisecond;
    KeWaitForSingleObject(&gEvent, Executive, KernelMode, FALSE, &timeout);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

TEST(CompletionIrql, ARoutineRunsAtTheIrqlOfWhoeverCompletes) {
    KIRQL seen = PASSIVE_LEVEL;
    SendThroughARoutine(NoteIrql, &seen);
    EXPECT_EQ(seen, DISPATCH_LEVEL);
}

TEST(CompletionIrqlDeathTest, PagedPoolInARoutineCalledFromADpc) {
    EXPECT_EXIT(SendThroughARoutine(AllocatePaged, nullptr), kStopped,
                "ExAllocatePoolWithTag \\(paged pool\\) called at DISPATCH_LEVEL");
}

TEST(CompletionIrqlDeathTest, AWaitInARoutineCalledFromADpc) {
    EXPECT_EXIT(SendThroughARoutine(WaitForEvent, nullptr), kStopped,
                "KeWaitForSingleObject \\(no time-out, or a non-zero one\\) called at DISPATCH_LEVEL");
}

// Power: a machine whose audio function's stack is not pageable, the power
// manager calling it at DISPATCH_LEVEL, and a PoRequestPowerIrp callback at
// the IRQL at which its IRP completed.
struct PowerSeen {
    KIRQL dispatchedAt = PASSIVE_LEVEL;
    KIRQL calledBackAt = PASSIVE_LEVEL;
    bool waitInCallback = false;
};
PowerSeen gPower;

void PowerCallback(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
    gPower.calledBackAt = KeGetCurrentIrql();
    if (gPower.waitInCallback) {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10 * sim::kMillisecond;
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    }
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

// A filter for the machine that attaches nothing: the stacks are the machine's own.
NTSTATUS NoFilterEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

sim::MachineSpec AudioMachine(bool pageable) {
    sim::PciFunctionSpec audio = sim::Endpoint("01:00.1", "audio", 0x04);
    audio.pageable = pageable;
    audio.busDriverCompletesFromDpc = false;
    return sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1), audio}};
}

void RequestD3OfAudio(sim::Machine& machine) {
    PDEVICE_OBJECT pdo = machine.Stack(machine.Function("01:00.1")).front();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    ASSERT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, state, PowerCallback, &done, nullptr), STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

TEST(PowerIrql, ANonPageableStackIsCalledAtDispatchLevelAndCallsBackThere) {
    for (bool pageable : {true, false}) {
        gPower = {};
        sim::Machine machine(AudioMachine(pageable));
        ASSERT_EQ(machine.Boot(NoFilterEntry), STATUS_SUCCESS);
        PDEVICE_OBJECT pdo = machine.Stack(machine.Function("01:00.1")).front();
        EXPECT_EQ((pdo->Flags & DO_POWER_PAGABLE) != 0, pageable);
        RequestD3OfAudio(machine);
        EXPECT_EQ(gPower.calledBackAt, pageable ? PASSIVE_LEVEL : DISPATCH_LEVEL) << "pageable " << pageable;
        EXPECT_TRUE(machine.Shutdown().empty());
    }
}

TEST(PowerIrqlDeathTest, AWaitInAPowerCallbackRunAtDispatchLevel) {
    EXPECT_EXIT(
        {
            gPower = {};
            gPower.waitInCallback = true;
            sim::Machine machine(AudioMachine(false));
            machine.Boot(NoFilterEntry);
            RequestD3OfAudio(machine);
        },
        kStopped, "KeWaitForSingleObject \\(no time-out, or a non-zero one\\) called at DISPATCH_LEVEL");
}

// A pageable device below a non-pageable one: the upper driver would be called
// at DISPATCH_LEVEL and call the lower one there.
void RequestPowerOfAStack(ULONG lowerFlags, ULONG upperFlags) {
    sim::Kernel kernel;
    {
        TestDriver driver;
        PDEVICE_OBJECT lower = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
            PoStartNextPowerIrp(irp);
            return CompleteWith(STATUS_SUCCESS)(nullptr, irp);
        });
        PDEVICE_OBJECT upper = driver.AddDevice(test::PassDown(&lower), lower);
        lower->Flags = (lower->Flags & ~DO_POWER_PAGABLE) | lowerFlags;
        upper->Flags = (upper->Flags & ~DO_POWER_PAGABLE) | upperFlags;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        POWER_STATE state;
        state.DeviceState = PowerDeviceD3;
        gPower = {};
        ASSERT_EQ(PoRequestPowerIrp(lower, IRP_MN_SET_POWER, state, PowerCallback, &done, nullptr), STATUS_PENDING);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(PowerPaging, EitherBothPageableOrThePageableOneAbove) {
    RequestPowerOfAStack(DO_POWER_PAGABLE, DO_POWER_PAGABLE);
    EXPECT_EQ(gPower.calledBackAt, PASSIVE_LEVEL);
    RequestPowerOfAStack(0, DO_POWER_PAGABLE);
    EXPECT_EQ(gPower.calledBackAt, PASSIVE_LEVEL);
    RequestPowerOfAStack(0, 0);
    EXPECT_EQ(gPower.calledBackAt, DISPATCH_LEVEL);
}

TEST(PowerPagingDeathTest, APageableDeviceBelowANonPageableOne) {
    EXPECT_EXIT(RequestPowerOfAStack(DO_POWER_PAGABLE, 0), kStopped,
                "a power IRP was sent to a stack where .* has DO_POWER_PAGABLE below .*, which does not");
}

}  // namespace
