// The scheduler's parallel mode: simulated threads truly at once, spin locks
// as real mutual exclusion, virtual time still moved only by an idle machine.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "sim/kernel/Kernel.h"
#include "tests/support/TestDriver.h"

namespace {

using sim::kMillisecond;

const auto kStopped = ::testing::ExitedWithCode(sim::kViolationExitCode);

sim::KernelConfig Parallel() {
    sim::KernelConfig config;
    config.scheduler = sim::SchedulerMode::Parallel;
    return config;
}

LARGE_INTEGER Relative(int64_t duration) {
    LARGE_INTEGER value;
    value.QuadPart = -duration;
    return value;
}

TEST(ParallelThreads, RunAtOnce) {
    // Each waits, without a kernel call, for the other to have started: one
    // thread at a time would spin for ever.
    sim::Kernel kernel(Parallel());
    std::atomic<int> started{0};
    int finished = 0;
    for (const char* name : {"left", "right"})
        kernel.Threads().StartThread(name, [&] {
            sim::DriverCode driver;
            ++started;
            while (started.load() < 2) {
            }
            sim::KernelEntry back;
            ++finished;
        });
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(finished, 2);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

// Driver code updating a count under a spin lock from four threads at once:
// no update is lost and no two threads are ever inside together.
TEST(ParallelThreads, SpinLocksExcludeEachOther) {
    sim::Kernel kernel(Parallel());
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long count = 0;
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    constexpr int kThreads = 4, kRounds = 500;
    std::atomic<int> started{0};
    for (int i = 0; i < kThreads; ++i)
        kernel.Threads().StartThread("worker", [&] {
            sim::DriverCode driver;
            ++started;
            while (started.load() < kThreads) {
            }
            for (int round = 0; round < kRounds; ++round) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                int now = ++inside;
                if (now > most.load()) most.store(now);
                long seen = count;
                std::this_thread::yield();  // the holder loses its processor for a while
                count = seen + 1;
                --inside;
                KeReleaseSpinLock(&lock, old);
            }
        });
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(count, kThreads * kRounds);
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(lock, 0u);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

// While one thread runs, however long, the clock stands still; it moves when
// every thread is blocked, to the moment the next one is due.
TEST(ParallelThreads, TimeMovesOnlyWhenEveryThreadIsBlocked) {
    sim::Kernel kernel(Parallel());
    std::atomic<bool> sleeperDone{false};
    int64_t wokeAt = -1;
    bool clockStood = true;
    kernel.Threads().StartThread("sleeper", [&] {
        LARGE_INTEGER delay = Relative(10 * kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        wokeAt = static_cast<int64_t>(KeQueryInterruptTime());
        sleeperDone = true;
    });
    kernel.Threads().StartThread("busy", [&] {
        for (int i = 0; i < 20000; ++i)
            if (KeQueryInterruptTime() != 0) clockStood = false;
        EXPECT_FALSE(sleeperDone.load()) << "the sleeper ran on before the busy thread blocked";
    });
    kernel.Threads().RunUntilIdle();
    EXPECT_TRUE(clockStood);
    EXPECT_EQ(wokeAt, 10 * kMillisecond);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

// An event really blocks its waiter until another thread sets it, and Advance
// comes back only once the threads it woke are blocked again.
TEST(ParallelThreads, EventsWakeTheirWaitersAndAdvanceWaitsForThem) {
    sim::Kernel kernel(Parallel());
    KEVENT ready;
    KeInitializeEvent(&ready, SynchronizationEvent, FALSE);
    int woken = 0;
    kernel.Threads().StartThread("waiter", [&] {
        for (int i = 0; i < 3; ++i) {
            KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
            ++woken;
        }
    });
    kernel.Threads().StartThread("setter", [&] {
        for (int i = 0; i < 3; ++i) {
            LARGE_INTEGER delay = Relative(kMillisecond);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
        }
    });
    kernel.Threads().Advance(2 * kMillisecond);
    EXPECT_EQ(woken, 2);
    kernel.Threads().Advance(5 * kMillisecond);
    EXPECT_EQ(woken, 3);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

struct Forwarded {
    KEVENT returned;
};

NTSTATUS WakeTheWaiterAndLinger(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(&static_cast<Forwarded*>(context)->returned, IO_NO_INCREMENT, FALSE);
    for (int i = 0; i < 100; ++i) std::this_thread::yield();  // the waiter runs on meanwhile
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A filter waits for the IRP it forwarded, woken by its completion routine,
// and completes the IRP again while that routine, on another thread, has not
// returned yet: the I/O manager is done with the IRP by then, as on a
// multiprocessor, and nothing is completed twice.
TEST(ParallelThreads, AWaiterMayCompleteAgainBeforeTheRoutineThatWokeItReturns) {
    sim::Kernel kernel(Parallel());
    {
        test::TestDriver driver;
        PDEVICE_OBJECT bottom = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            sim::Kernel::Current().Threads().StartThread("late", [irp] {
                irp->IoStatus.Status = STATUS_SUCCESS;
                IofCompleteRequest(irp, IO_NO_INCREMENT);
            });
            return STATUS_PENDING;
        });
        driver.AddDevice(
            [bottom](PDEVICE_OBJECT, PIRP irp) {
                Forwarded forwarded;
                KeInitializeEvent(&forwarded.returned, NotificationEvent, FALSE);
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, WakeTheWaiterAndLinger, &forwarded, TRUE, TRUE, TRUE);
                if (IoCallDriver(bottom, irp) == STATUS_PENDING)
                    KeWaitForSingleObject(&forwarded.returned, Executive, KernelMode, FALSE, nullptr);
                NTSTATUS status = irp->IoStatus.Status;
                IofCompleteRequest(irp, IO_NO_INCREMENT);
                return status;
            },
            bottom);
        for (int i = 0; i < 50; ++i) EXPECT_EQ(test::SendBuiltRequest(IRP_MJ_FLUSH_BUFFERS, bottom).block.Status, STATUS_SUCCESS);
        kernel.Threads().RunUntilIdle();
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(ParallelThreadsDeathTest, BlockingAtDispatchLevelStops) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel(Parallel());
            kernel.Threads().StartThread("raised", [] {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                LARGE_INTEGER delay = Relative(kMillisecond);
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
            });
            kernel.Threads().RunUntilIdle();
        },
        kStopped, "IRQL_NOT_LESS_OR_EQUAL: KeDelayExecutionThread called at DISPATCH_LEVEL");
}

TEST(ParallelThreadsDeathTest, ASpinLockTakenTwiceByItsHolderStops) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel(Parallel());
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        kStopped, "a spin lock acquired while it is held, by the thread that holds it");
}

TEST(ParallelThreadsDeathTest, ASpinLockReleasedByAnotherThreadStops) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel(Parallel());
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            std::atomic<bool> held{false};
            kernel.Threads().StartThread("holder", [&] {
                sim::DriverCode driver;
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                held = true;
                for (;;) {
                }
            });
            kernel.Threads().StartThread("other", [&] {
                sim::DriverCode driver;
                while (!held.load()) {
                }
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                KeReleaseSpinLockFromDpcLevel(&lock);
            });
            kernel.Threads().RunUntilIdle();
        },
        kStopped, "a spin lock released that the releasing thread does not hold");
}

TEST(ParallelThreadsDeathTest, EveryThreadBlockedForEverIsAHang) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel(Parallel());
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            kernel.Threads().StartThread("waiter", [&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        kStopped, "hang: every simulated thread is blocked");
}

TEST(SchedulerModeDeathTest, AnUnknownModeStops) {
    EXPECT_EXIT(
        {
            setenv("VOXEN_SCHEDULER", "sometimes", 1);
            sim::Kernel kernel;
        },
        kStopped, "VOXEN_SCHEDULER=sometimes: the scheduler modes are cooperative and parallel");
}

}  // namespace
