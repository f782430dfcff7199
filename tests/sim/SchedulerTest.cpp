// Simulated threads and the virtual clock.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/kernel/Kernel.h"

namespace {

using sim::kMillisecond;
using sim::kSecond;

LARGE_INTEGER Relative(int64_t duration) {
    LARGE_INTEGER value;
    value.QuadPart = -duration;
    return value;
}

TEST(VirtualTime, DelaysTakeNoRealTimeAndMoveTheClockExactly) {
    sim::Kernel kernel;
    int polls = 0;
    kernel.Threads().StartThread("poller", [&] {
        for (; polls < 1000; ++polls) {
            LARGE_INTEGER step = Relative(5 * kMillisecond);
            KeDelayExecutionThread(KernelMode, FALSE, &step);
        }
    });
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(polls, 1000);
    EXPECT_EQ(kernel.Threads().Now(), 5 * kSecond);
}

TEST(VirtualTime, ATimerWaitAloneDoesNotMoveTimeButAdvanceFiresIt) {
    sim::Kernel kernel;
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due = Relative(69 * kSecond);
    KeSetTimer(&timer, due, nullptr);
    int64_t wokeAt = -1;
    kernel.Threads().StartThread("waiter", [&] {
        KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
        wokeAt = static_cast<int64_t>(KeQueryInterruptTime());
    });
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(kernel.Threads().Now(), 0) << "idle: nothing waits for time";
    EXPECT_EQ(wokeAt, -1);

    kernel.Threads().Advance(68 * kSecond);
    EXPECT_EQ(wokeAt, -1);
    kernel.Threads().Advance(2 * kSecond);
    EXPECT_EQ(wokeAt, 69 * kSecond) << "the timer fired on the way, at its due time";
    EXPECT_EQ(kernel.Threads().Now(), 70 * kSecond);
}

TEST(VirtualTime, AWaitWithTimeoutEndsWithStatusTimeout) {
    sim::Kernel kernel;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(250 * kMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(kernel.Threads().Now(), 250 * kMillisecond);
}

// Work on the bus takes time but never blocks: at DISPATCH_LEVEL the clock
// moves on, timers fire on the way and time-outs end, and the running thread
// keeps the processor until it lowers its IRQL and lets others run.
TEST(VirtualTime, SpentTimeFiresTimersAndEndsTimeoutsWithoutASwitch) {
    sim::Kernel kernel;
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due = Relative(3 * kMillisecond);
    KeSetTimer(&timer, due, nullptr);
    int64_t delayEnded = -1;
    kernel.Threads().StartThread("poller", [&] {
        LARGE_INTEGER step = Relative(4 * kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &step);
        delayEnded = static_cast<int64_t>(KeQueryInterruptTime());
    });
    kernel.Threads().Advance(0);  // the poller is in its delay now
    ASSERT_EQ(kernel.Threads().Now(), 0);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    kernel.Threads().Spend(10 * kMillisecond);
    EXPECT_EQ(kernel.Threads().Now(), 10 * kMillisecond);
    EXPECT_EQ(KeReadStateTimer(&timer), TRUE) << "due on the way: fired";
    EXPECT_EQ(delayEnded, -1) << "ready, but the spending thread kept the processor";
    KeLowerIrql(old);
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(delayEnded, 10 * kMillisecond) << "its time-out ended during the work, it ran after it";
    EXPECT_EQ(kernel.Threads().Now(), 10 * kMillisecond);
}

// Three threads that each wait once for `event` and count themselves released.
void StartWaiters(sim::Kernel& kernel, KEVENT* event, int* released) {
    for (int i = 0; i < 3; ++i)
        kernel.Threads().StartThread("waiter", [event, released] {
            KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
            ++*released;
        });
    kernel.Threads().RunUntilIdle();
}

TEST(Events, SynchronizationEventReleasesOneWaiterPerSignal) {
    sim::Kernel kernel;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    int released = 0;
    StartWaiters(kernel, &event, &released);
    EXPECT_EQ(released, 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(released, 1);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(released, 3);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Events, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
    sim::Kernel kernel;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    int released = 0;
    StartWaiters(kernel, &event, &released);
    EXPECT_EQ(released, 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(released, 3);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

// The order in which three threads, each yielding at a delay, interleave.
// Only the cooperative mode picks one by the seed: in the parallel mode the
// host's own scheduler does.
std::string Interleaving(uint64_t seed) {
    sim::Kernel kernel(sim::KernelConfig{seed, 0, {}, sim::SchedulerMode::Cooperative});
    std::string order;
    for (char name : {'a', 'b', 'c'})
        kernel.Threads().StartThread(std::string(1, name), [&order, name] {
            for (int step = 0; step < 4; ++step) {
                order += name;
                LARGE_INTEGER zero = Relative(0);
                KeDelayExecutionThread(KernelMode, FALSE, &zero);
            }
        });
    kernel.Threads().RunUntilIdle();
    return order;
}

TEST(Interleavings, AreReproducibleFromTheSeedAndDifferAcrossSeeds) {
    EXPECT_EQ(Interleaving(7), Interleaving(7));
    std::set<std::string> seen;
    for (uint64_t seed = 1; seed <= 20; ++seed) seen.insert(Interleaving(seed));
    EXPECT_GT(seen.size(), 1u);
    for (const std::string& order : seen) EXPECT_EQ(order.size(), 12u);
}

TEST(SystemThreads, EndByReturningOrByPsTerminateSystemThread) {
    sim::Kernel kernel;
    std::vector<std::string> ran;
    HANDLE first = nullptr, second = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    static std::vector<std::string>* log = &ran;
    // The two may truly run at once (the parallel mode).
    static std::mutex logLock;
    ASSERT_EQ(PsCreateSystemThread(&first, GENERIC_ALL, &attributes, nullptr, nullptr,
                                   [](PVOID) {
                                       std::lock_guard<std::mutex> hold(logLock);
                                       log->push_back("returns");
                                   },
                                   nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(PsCreateSystemThread(&second, GENERIC_ALL, &attributes, nullptr, nullptr,
                                   [](PVOID) {
                                       {
                                           std::lock_guard<std::mutex> hold(logLock);
                                           log->push_back("terminates");
                                       }
                                       PsTerminateSystemThread(STATUS_SUCCESS);
                                   },
                                   nullptr),
              STATUS_SUCCESS);
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(ran.size(), 2u);
    ZwClose(first);
    ZwClose(second);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(SystemThreads, AnUnclosedThreadHandleIsALeak) {
    sim::Kernel kernel;
    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(PsCreateSystemThread(&handle, GENERIC_ALL, &attributes, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_SUCCESS);
    std::vector<std::string> leaks = kernel.Shutdown();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].find("thread handle"), std::string::npos);
}

TEST(SystemThreads, ThreadsStillWaitingAtShutdownAreEnded) {
    sim::Kernel kernel;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    kernel.Threads().StartThread("forever", [&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
    kernel.Threads().RunUntilIdle();
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(HangDeathTest, TheTestThreadWaitingForeverIsAHang) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        ::testing::ExitedWithCode(sim::kViolationExitCode), "hang: every simulated thread is blocked");
}

TEST(HangDeathTest, AMachineThatNeverSettlesIsAHang) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            kernel.Threads().StartThread("spinner", [] {
                for (;;) {
                    LARGE_INTEGER step = Relative(5 * kMillisecond);
                    KeDelayExecutionThread(KernelMode, FALSE, &step);
                }
            });
            kernel.Threads().RunUntilIdle(10 * kSecond);
        },
        ::testing::ExitedWithCode(sim::kViolationExitCode), "still busy after 10000 ms");
}

}  // namespace
