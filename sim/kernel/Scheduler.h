// Simulated threads on a virtual clock.
//
// Every simulated thread is a real thread, but only one runs at a time: control
// passes only where a kernel thread could block (a wait, a delay, a thread start
// or end), to a thread picked by a seeded random generator, so a run is
// reproducible from its seed and different seeds try different interleavings.
//
// Virtual time moves only when every thread is blocked and at least one waits
// for time (a delay, a wait with a time-out, or the test's Advance). It then
// jumps to the earliest moment due, firing timers on the way. A thread that
// waits on a timer without a time-out does not move time by itself.
//
// Each thread has a current IRQL. A thread at DISPATCH_LEVEL never gives up
// the processor: it may not block, and control passes nowhere until it lowers.
// Deferred procedure calls run in their own thread at DISPATCH_LEVEL.
//
// In the parallel mode (SchedulerMode::Parallel) simulated threads truly run at
// once: every thread that is not blocked runs, and a wait, a delay or a thread
// start passes control nowhere. The simulated kernel's own state is kept whole
// by the kernel lock (KernelLock.h), which a thread lets go while it runs
// driver code or is blocked. Time still moves only when every thread is
// blocked, and the test's Advance resumes only once the others are blocked
// again. A thread at DISPATCH_LEVEL still may not block.
//
// Work that takes time without blocking (a configuration access on the bus)
// is Spend: the clock moves on for the running thread, timers due on the way
// fire and time-outs that pass make their threads ready, but control passes
// nowhere, so it is allowed at any IRQL.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "sim/ddk/wdm.h"

namespace sim {

// 100-nanosecond units, as the kernel counts time.
constexpr int64_t kMillisecond = 10'000;
constexpr int64_t kSecond = 1'000 * kMillisecond;

// A wait that blocked its thread, reported once the thread runs again.
struct WaitSpan {
    enum class Kind { Delay, Wait, Advance, Idle };
    Kind kind;
    int thread;          // the waiting thread's id
    std::string what;    // what it waited on
    int64_t begin;       // virtual time it blocked at
    int64_t end;         // and ran again at
    NTSTATUS status;     // how the wait ended (STATUS_TIMEOUT, STATUS_SUCCESS)
};

enum class SchedulerMode {
    Cooperative,  // one thread at a time, picked by the seed
    Parallel,     // every thread that is not blocked runs at once
};

// The mode VOXEN_SCHEDULER names ("cooperative" or "parallel"); cooperative
// when it is not set. Any other value stops the program.
SchedulerMode SchedulerModeFromEnvironment();
const char* SchedulerModeName(SchedulerMode mode);

class Scheduler {
public:
    using WaitObserver = std::function<void(const WaitSpan&)>;

    explicit Scheduler(uint64_t seed, SchedulerMode mode = SchedulerMode::Cooperative);
    SchedulerMode Mode() const { return mode_; }
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Makes the calling thread the running simulated thread (the test's own).
    void AdoptCurrentThread(const std::string& name);
    bool IsSimulatedThread() const;
    std::string CurrentThreadName() const;
    // The calling thread's id (1 for the adopted thread), 0 outside the simulation.
    int CurrentThreadId() const;
    // Called on the waiting thread, with nothing locked, after every wait that
    // blocked it (a worker loop's wait for work excepted).
    void SetWaitObserver(WaitObserver observer);

    // Kernel services.
    // `watched`: a thread of the machine itself, whose request must end; one
    // left blocked when the machine is idle is reported as a hang.
    void StartThread(const std::string& name, std::function<void()> body, bool watched = false);
    // A watched thread of the simulated machine itself (hardware, the kernel's
    // own workers): ready to run, but the caller keeps the processor.
    void Spawn(const std::string& name, std::function<void()> body);
    [[noreturn]] void ExitCurrentThread();
    // `forWork`: the wait of a worker loop for its next item (the Plug and Play
    // manager's, the DPC thread's). Such a thread blocked at idle is not hung.
    NTSTATUS Wait(DISPATCHER_HEADER* object, const LARGE_INTEGER* timeout, const std::string& what,
                  bool forWork = false);
    void Delay(const LARGE_INTEGER& interval);
    // The running thread spends `duration` of virtual time working; it keeps
    // the processor (see above).
    void Spend(int64_t duration);
    void Yield();
    // KeEnterCriticalRegion and KeLeaveCriticalRegion must pair up on each thread.
    void EnterCriticalRegion();
    void LeaveCriticalRegion();
    int CriticalRegions() const;  // entered and not yet left on the calling thread
    LONG SetEvent(KEVENT* event);
    // KeResetEvent: the previous state.
    LONG ResetEvent(KEVENT* event);
    LONG ReadState(DISPATCHER_HEADER* object) const;
    BOOLEAN SetTimer(KTIMER* timer, LARGE_INTEGER dueTime, KDPC* dpc);
    BOOLEAN CancelTimer(KTIMER* timer);
    bool IsTimerArmedWithin(const void* begin, size_t size) const;
    int64_t Now() const;

    // The calling thread's IRQL, and changing it (KeRaiseIrql, KeLowerIrql,
    // spin locks). Changes are checked by their callers.
    KIRQL Irql() const;
    void SetIrql(KIRQL irql);

    // KeInsertQueueDpc: FALSE when the DPC is already queued.
    BOOLEAN QueueDpc(KDPC* dpc, PVOID argument1, PVOID argument2);
    BOOLEAN RemoveDpc(KDPC* dpc);

    // For tests and voxen-sim, from the adopted thread.
    // Lets the other threads run until all are blocked with nothing waiting for
    // time. Stops the program as a hang when that takes more than `budget`.
    void RunUntilIdle(int64_t budget = 3600 * kSecond);
    // Lets `duration` of virtual time pass, then runs until idle at that moment.
    void Advance(int64_t duration);
    // Ends every thread still blocked (shutdown). Returns their names.
    std::vector<std::string> TerminateAll();
    std::string Describe() const;

private:
    struct Thread;
    struct Terminated {};

    Thread* Current() const;
    Thread* SpawnLocked(const std::string& name, std::function<void()> body, bool watched);
    void QueueDpcLocked(KDPC* dpc);
    void RunDpcs();
    void CheckForHungThreads() const;
    const Thread* Culprit() const;
    Thread* Self(const char* service) const;
    void SwitchAway(std::unique_lock<std::mutex>& lock, Thread* self);
    void SwitchAwayParallel(std::unique_lock<std::mutex>& lock, Thread* self);
    void Settle();
    void Block(std::unique_lock<std::mutex>& lock, Thread* self);
    Thread* PickReady();
    bool WakeIdleWaiter();
    bool AdvanceClock();
    void FireDueLocked();
    void Report(std::unique_lock<std::mutex>& lock, Thread* self, WaitSpan::Kind kind, int64_t begin);
    void WakeThread(Thread* thread, NTSTATUS status);
    void Signal(DISPATCHER_HEADER* object);
    bool TryConsume(DISPATCHER_HEADER* object);
    int64_t DueTime(const LARGE_INTEGER& time) const;
    std::string DescribeLocked() const;

    const SchedulerMode mode_;
    const bool parallel_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Thread>> threads_;
    std::vector<KTIMER*> timers_;  // armed timers
    std::vector<KDPC*> dpcs_;      // queued, in order
    KEVENT dpcsQueued_{};
    Thread* dpcThread_ = nullptr;
    Thread* running_ = nullptr;
    Thread* adopted_ = nullptr;
    int64_t now_ = 0;
    int nextId_ = 1;
    std::mt19937_64 random_;
    WaitObserver waitObserver_;
};

}  // namespace sim
