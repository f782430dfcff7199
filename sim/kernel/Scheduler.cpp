#include "sim/kernel/Scheduler.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/kernel/FailurePoints.h"
#include "sim/kernel/Irql.h"
#include "sim/kernel/KernelLock.h"
#include "sim/kernel/Violation.h"

namespace sim {

struct Scheduler::Thread {
    enum class State { Ready, Running, Blocked, Done };

    const Scheduler* owner = nullptr;
    int id = 0;
    std::string name;
    State state = State::Ready;
    std::condition_variable wakeup;
    DISPATCHER_HEADER* waitObject = nullptr;
    bool timed = false;
    int64_t deadline = 0;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    bool lastResort = false;   // the test's own thread at its Advance horizon
    bool waitingIdle = false;  // the test's own thread in RunUntilIdle
    bool terminate = false;    // shutdown: unwind out of the next block
    int criticalRegions = 0;   // KeEnterCriticalRegion not yet left
    std::atomic<KIRQL> irql{PASSIVE_LEVEL};  // read by its own thread without the lock
    bool forWork = false;      // a worker loop waiting for its next item
    bool watched = false;      // the machine's own: blocked at idle, it is hung
    std::string what;          // what the thread is blocked on, for hang reports
    std::thread thread;
};

namespace {
thread_local void* tlsThread = nullptr;

bool IsEventType(UCHAR type) {
    return type == SimEventNotificationObject || type == SimEventSynchronizationObject;
}
bool IsTimerType(UCHAR type) {
    return type == SimTimerNotificationObject || type == SimTimerSynchronizationObject;
}
bool IsSynchronizationType(UCHAR type) {
    return type == SimEventSynchronizationObject || type == SimTimerSynchronizationObject;
}
const char* StateName(int state) {
    static const char* const names[] = {"ready", "running", "blocked", "done"};
    return names[state];
}
}  // namespace

SchedulerMode SchedulerModeFromEnvironment() {
    const char* name = std::getenv("VOXEN_SCHEDULER");
    if (!name || !*name || std::strcmp(name, "cooperative") == 0) return SchedulerMode::Cooperative;
    if (std::strcmp(name, "parallel") == 0) return SchedulerMode::Parallel;
    Violation("VOXEN_SCHEDULER=%s: the scheduler modes are cooperative and parallel", name);
}

const char* SchedulerModeName(SchedulerMode mode) {
    return mode == SchedulerMode::Parallel ? "parallel" : "cooperative";
}

Scheduler::Scheduler(uint64_t seed, SchedulerMode mode)
    : mode_(mode), parallel_(mode == SchedulerMode::Parallel), random_(seed) {}

Scheduler::~Scheduler() { TerminateAll(); }

void Scheduler::AdoptCurrentThread(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto thread = std::make_unique<Thread>();
    thread->owner = this;
    thread->id = nextId_++;
    thread->name = name;
    thread->state = Thread::State::Running;
    tlsThread = thread.get();
    running_ = thread.get();
    adopted_ = thread.get();
    threads_.push_back(std::move(thread));
}

Scheduler::Thread* Scheduler::Current() const {
    auto* thread = static_cast<Thread*>(tlsThread);
    return thread && thread->owner == this ? thread : nullptr;
}

Scheduler::Thread* Scheduler::Self(const char* service) const {
    Thread* thread = Current();
    if (!thread) Violation("%s called from a thread the simulated kernel does not know", service);
    return thread;
}

bool Scheduler::IsSimulatedThread() const { return Current() != nullptr; }

int Scheduler::CurrentThreadId() const {
    Thread* thread = Current();
    return thread ? thread->id : 0;
}

void Scheduler::SetWaitObserver(WaitObserver observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    waitObserver_ = std::move(observer);
}

void Scheduler::Report(std::unique_lock<std::mutex>& lock, Thread* self, WaitSpan::Kind kind, int64_t begin) {
    if (!waitObserver_) return;
    WaitSpan span{kind, self->id, self->what, begin, now_, self->waitStatus};
    WaitObserver observer = waitObserver_;
    // The thread is the running one: nothing else touches what the observer keeps.
    lock.unlock();
    observer(span);
    lock.lock();
}

std::string Scheduler::CurrentThreadName() const {
    Thread* thread = Current();
    return thread ? thread->name : std::string("(outside the simulation)");
}

Scheduler::Thread* Scheduler::SpawnLocked(const std::string& name, std::function<void()> body, bool watched) {
    auto owned = std::make_unique<Thread>();
    Thread* thread = owned.get();
    thread->watched = watched;
    thread->owner = this;
    thread->id = nextId_++;
    thread->name = name;
    // In the parallel mode a new thread runs at once, beside its creator.
    thread->state = parallel_ ? Thread::State::Running : Thread::State::Ready;
    threads_.push_back(std::move(owned));
    thread->thread = std::thread([this, thread, body = std::move(body)]() {
        {
            std::unique_lock<std::mutex> started(mutex_);
            tlsThread = thread;
            thread->wakeup.wait(started, [thread] {
                return thread->state == Thread::State::Running || thread->terminate;
            });
            if (thread->terminate) {
                thread->state = Thread::State::Done;
                return;
            }
        }
        // The simulator's code runs under the kernel lock (KernelLock.h).
        if (parallel_) KernelLock::Acquire();
        try {
            body();
        } catch (const Terminated&) {
            if (KernelLock::Held()) KernelLock::Release();
            std::unique_lock<std::mutex> ended(mutex_);
            if (thread->terminate) {  // shutdown: nobody is waiting for a handover
                thread->state = Thread::State::Done;
                return;
            }
        }
        if (KernelLock::Held()) KernelLock::Release();
        std::unique_lock<std::mutex> ended(mutex_);
        if (thread->criticalRegions != 0)
            Violation("thread '%s' ended inside %d critical region(s) (KeEnterCriticalRegion without KeLeaveCriticalRegion)",
                      thread->name.c_str(), thread->criticalRegions);
        if (thread->irql != PASSIVE_LEVEL)
            Violation("thread '%s' ended at %s; a system thread must end at PASSIVE_LEVEL", thread->name.c_str(),
                      IrqlName(thread->irql));
        thread->state = Thread::State::Done;
        SwitchAway(ended, thread);
    });
    return thread;
}

void Scheduler::StartThread(const std::string& name, std::function<void()> body, bool watched) {
    std::unique_lock<std::mutex> lock(mutex_);
    Thread* self = Self("PsCreateSystemThread");
    SpawnLocked(name, std::move(body), watched);
    // Starting a thread is a point where control may pass.
    self->state = Thread::State::Ready;
    SwitchAway(lock, self);
}

void Scheduler::Spawn(const std::string& name, std::function<void()> body) {
    std::lock_guard<std::mutex> lock(mutex_);
    SpawnLocked(name, std::move(body), true);
}

void Scheduler::ExitCurrentThread() {
    Thread* self = Self("PsTerminateSystemThread");
    if (self == adopted_) Violation("PsTerminateSystemThread called on a thread it did not create");
    throw Terminated{};
}

void Scheduler::SwitchAway(std::unique_lock<std::mutex>& lock, Thread* self) {
    if (parallel_) return SwitchAwayParallel(lock, self);
    // Nothing preempts a thread at DISPATCH_LEVEL, and it must not block.
    if (self->irql >= DISPATCH_LEVEL && self->state != Thread::State::Done) {
        if (self->state == Thread::State::Blocked)
            Violation("thread '%s' blocked on %s at %s (a wait needs IRQL <= APC_LEVEL)", self->name.c_str(),
                      self->what.c_str(), IrqlName(self->irql));
        self->state = Thread::State::Running;
        return;
    }
    Thread* next = nullptr;
    for (;;) {
        next = PickReady();
        if (next) break;
        if (WakeIdleWaiter()) continue;
        if (AdvanceClock()) continue;
        const Thread* culprit = Culprit();
        Violation("hang: every simulated thread is blocked and none waits for time: thread '%s' is blocked on %s, "
                  "and nothing left in the machine can wake it\n%s",
                  culprit->name.c_str(), culprit->what.c_str(), DescribeLocked().c_str());
    }
    running_ = next;
    next->state = Thread::State::Running;
    if (next != self) next->wakeup.notify_one();
    if (self->state == Thread::State::Done) return;
    self->wakeup.wait(lock, [self] { return self->state == Thread::State::Running || self->terminate; });
    if (self->terminate) throw Terminated{};
}

void Scheduler::SwitchAwayParallel(std::unique_lock<std::mutex>& lock, Thread* self) {
    if (self->irql >= DISPATCH_LEVEL && self->state == Thread::State::Blocked)
        Violation("thread '%s' blocked on %s at %s (a wait needs IRQL <= APC_LEVEL)", self->name.c_str(),
                  self->what.c_str(), IrqlName(self->irql));
    if (self->state == Thread::State::Ready) {  // a point where control may pass: it stays here
        self->state = Thread::State::Running;
        return;
    }
    Settle();
    if (self->state == Thread::State::Done) return;
    Block(lock, self);
}

// Parallel mode, when a thread stops running: if it was the last, the machine
// is idle at this moment; the test's thread at its Advance horizon resumes, or
// the test's RunUntilIdle, or else time moves on to the next moment due.
void Scheduler::Settle() {
    for (;;) {
        for (auto& thread : threads_)
            if (thread->state == Thread::State::Running) return;
        bool resumed = false;
        for (auto& thread : threads_) {
            if (thread->state != Thread::State::Ready) continue;
            thread->state = Thread::State::Running;
            thread->wakeup.notify_one();
            resumed = true;
        }
        if (resumed) return;
        if (WakeIdleWaiter()) continue;
        if (AdvanceClock()) continue;
        const Thread* culprit = Culprit();
        Violation("hang: every simulated thread is blocked and none waits for time: thread '%s' is blocked on %s, "
                  "and nothing left in the machine can wake it\n%s",
                  culprit->name.c_str(), culprit->what.c_str(), DescribeLocked().c_str());
    }
}

void Scheduler::Block(std::unique_lock<std::mutex>& lock, Thread* self) {
    // Blocked, the thread holds nothing of the simulated kernel's; it takes the
    // lock back before the scheduler's own (the order every thread keeps).
    bool held = KernelLock::Held();
    if (held) KernelLock::Release();
    self->wakeup.wait(lock, [self] { return self->state == Thread::State::Running || self->terminate; });
    if (held) {
        lock.unlock();
        KernelLock::Acquire();
        lock.lock();
    }
    if (self->terminate) throw Terminated{};
}

Scheduler::Thread* Scheduler::PickReady() {
    std::vector<Thread*> ready;
    for (auto& thread : threads_)
        if (thread->state == Thread::State::Ready && !thread->lastResort) ready.push_back(thread.get());
    if (ready.empty())
        for (auto& thread : threads_)
            if (thread->state == Thread::State::Ready) ready.push_back(thread.get());
    if (ready.empty()) return nullptr;
    return ready[random_() % ready.size()];
}

bool Scheduler::WakeIdleWaiter() {
    if (!adopted_ || adopted_->state != Thread::State::Blocked || !adopted_->waitingIdle) return false;
    for (auto& thread : threads_) {
        if (thread.get() == adopted_) continue;
        if (thread->state == Thread::State::Ready) return false;
        if (thread->state == Thread::State::Blocked && thread->timed) return false;
    }
    CheckForHungThreads();
    WakeThread(adopted_, STATUS_SUCCESS);
    return true;
}

// The thread whose wait names the hang best: the machine's own request that
// cannot end, or else the test's wait.
const Scheduler::Thread* Scheduler::Culprit() const {
    for (auto& thread : threads_)
        if (thread->watched && thread->state == Thread::State::Blocked && !thread->forWork) return thread.get();
    if (adopted_) return adopted_;
    return threads_.front().get();
}

void Scheduler::CheckForHungThreads() const {
    // The machine is idle. One of its own threads (the Plug and Play manager,
    // the power manager, a lower driver's worker) still blocked, not waiting for
    // its next item of work or on a timer that time could fire, waits for ever:
    // the request it carries never ends. A driver's own system thread may wait
    // for the next thing the test does, so only the machine's are judged.
    for (auto& thread : threads_) {
        if (!thread->watched || thread.get() == adopted_ || thread->state != Thread::State::Blocked ||
            thread->timed || thread->forWork)
            continue;
        bool onArmedTimer = std::find(timers_.begin(), timers_.end(), reinterpret_cast<KTIMER*>(thread->waitObject)) !=
                            timers_.end();
        if (onArmedTimer) continue;
        Violation("hang: thread '%s' is blocked on %s, and nothing left in the machine can wake it\n%s",
                  thread->name.c_str(), thread->what.c_str(), DescribeLocked().c_str());
    }
}

bool Scheduler::AdvanceClock() {
    int64_t next = LLONG_MAX;
    for (auto& thread : threads_)
        if (thread->state == Thread::State::Blocked && thread->timed) next = std::min(next, thread->deadline);
    if (next == LLONG_MAX) return false;
    for (KTIMER* timer : timers_) next = std::min(next, timer->DueTime);
    now_ = std::max(now_, next);
    FireDueLocked();
    return true;
}

// Fires every timer due by now and ends every time-out that has passed.
void Scheduler::FireDueLocked() {
    std::vector<KTIMER*> due;
    for (KTIMER* timer : timers_)
        if (timer->DueTime <= now_) due.push_back(timer);
    std::stable_sort(due.begin(), due.end(),
                     [](const KTIMER* a, const KTIMER* b) { return a->DueTime < b->DueTime; });
    for (KTIMER* timer : due) {
        timers_.erase(std::find(timers_.begin(), timers_.end(), timer));
        timer->Inserted = FALSE;
        Signal(&timer->Header);
        if (timer->Dpc) QueueDpcLocked(timer->Dpc);
    }
    for (auto& thread : threads_)
        if (thread->state == Thread::State::Blocked && thread->timed && thread->deadline <= now_)
            WakeThread(thread.get(), STATUS_TIMEOUT);
}

void Scheduler::WakeThread(Thread* thread, NTSTATUS status) {
    thread->state = Thread::State::Ready;
    thread->waitStatus = status;
    thread->waitObject = nullptr;
    thread->timed = false;
    thread->waitingIdle = false;
    thread->forWork = false;
    // In the parallel mode a woken thread runs at once; the test's at its
    // Advance horizon only once every other thread is blocked (Settle).
    if (parallel_ && !thread->lastResort) {
        thread->state = Thread::State::Running;
        thread->wakeup.notify_one();
    }
}

void Scheduler::Signal(DISPATCHER_HEADER* object) {
    if (IsSynchronizationType(object->Type)) {
        for (auto& thread : threads_) {
            if (thread->state == Thread::State::Blocked && thread->waitObject == object) {
                object->SignalState = 0;
                WakeThread(thread.get(), STATUS_SUCCESS);
                return;
            }
        }
        object->SignalState = 1;
        return;
    }
    object->SignalState = 1;
    for (auto& thread : threads_)
        if (thread->state == Thread::State::Blocked && thread->waitObject == object)
            WakeThread(thread.get(), STATUS_SUCCESS);
}

bool Scheduler::TryConsume(DISPATCHER_HEADER* object) {
    if (!IsEventType(object->Type) && !IsTimerType(object->Type))
        Violation("KeWaitForSingleObject on an object that is not an initialised event or timer");
    if (object->SignalState <= 0) return false;
    if (IsSynchronizationType(object->Type)) object->SignalState = 0;
    return true;
}

int64_t Scheduler::DueTime(const LARGE_INTEGER& time) const {
    // Negative: relative to now. Positive: absolute; the simulated system time
    // and interrupt time start together at zero.
    return time.QuadPart < 0 ? now_ - time.QuadPart : time.QuadPart;
}

NTSTATUS Scheduler::Wait(DISPATCHER_HEADER* object, const LARGE_INTEGER* timeout, const std::string& what,
                         bool forWork) {
    std::unique_lock<std::mutex> lock(mutex_);
    Thread* self = Self("KeWaitForSingleObject");
    if (TryConsume(object)) {
        self->state = Thread::State::Ready;
        SwitchAway(lock, self);
        return STATUS_SUCCESS;
    }
    if (timeout) {
        int64_t due = DueTime(*timeout);
        if (due <= now_) {
            self->state = Thread::State::Ready;
            SwitchAway(lock, self);
            return STATUS_TIMEOUT;
        }
        self->timed = true;
        self->deadline = due;
    }
    self->waitObject = object;
    self->what = what;
    self->forWork = forWork;
    self->state = Thread::State::Blocked;
    int64_t begin = now_;
    SwitchAway(lock, self);
    NTSTATUS status = self->waitStatus;
    if (!forWork) Report(lock, self, WaitSpan::Kind::Wait, begin);
    return status;
}

void Scheduler::Delay(const LARGE_INTEGER& interval) {
    std::unique_lock<std::mutex> lock(mutex_);
    Thread* self = Self("KeDelayExecutionThread");
    self->timed = true;
    self->deadline = std::max(DueTime(interval), now_);
    self->what = "KeDelayExecutionThread";
    self->state = Thread::State::Blocked;
    int64_t begin = now_;
    SwitchAway(lock, self);
    Report(lock, self, WaitSpan::Kind::Delay, begin);
}

void Scheduler::Spend(int64_t duration) {
    std::lock_guard<std::mutex> lock(mutex_);
    Self("a simulated device");
    if (duration <= 0) return;
    now_ += duration;
    FireDueLocked();
}

void Scheduler::Yield() {
    std::unique_lock<std::mutex> lock(mutex_);
    Thread* self = Self("a kernel service");
    self->state = Thread::State::Ready;
    SwitchAway(lock, self);
}

void Scheduler::EnterCriticalRegion() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++Self("KeEnterCriticalRegion")->criticalRegions;
}

void Scheduler::LeaveCriticalRegion() {
    std::lock_guard<std::mutex> lock(mutex_);
    Thread* self = Self("KeLeaveCriticalRegion");
    if (self->criticalRegions == 0) Violation("KeLeaveCriticalRegion without KeEnterCriticalRegion");
    --self->criticalRegions;
}

LONG Scheduler::SetEvent(KEVENT* event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!IsEventType(event->Header.Type)) Violation("KeSetEvent on an object that is not an initialised event");
    LONG previous = event->Header.SignalState;
    Signal(&event->Header);
    return previous;
}

LONG Scheduler::ResetEvent(KEVENT* event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!IsEventType(event->Header.Type)) Violation("KeClearEvent on an object that is not an initialised event");
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG Scheduler::ReadState(DISPATCHER_HEADER* object) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return object->SignalState;
}

int64_t Scheduler::Now() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

int Scheduler::CriticalRegions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Self("KeEnterCriticalRegion")->criticalRegions;
}

KIRQL Scheduler::Irql() const { return Self("KeGetCurrentIrql")->irql; }

void Scheduler::SetIrql(KIRQL irql) { Self("KeRaiseIrql")->irql = irql; }

BOOLEAN Scheduler::QueueDpc(KDPC* dpc, PVOID argument1, PVOID argument2) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (dpc->Inserted) return FALSE;
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    QueueDpcLocked(dpc);
    return TRUE;
}

BOOLEAN Scheduler::RemoveDpc(KDPC* dpc) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!dpc->Inserted) return FALSE;
    dpcs_.erase(std::find(dpcs_.begin(), dpcs_.end(), dpc));
    dpc->Inserted = FALSE;
    return TRUE;
}

void Scheduler::QueueDpcLocked(KDPC* dpc) {
    dpc->Inserted = TRUE;
    dpcs_.push_back(dpc);
    if (!dpcThread_) {
        dpcsQueued_.Header.Type = SimEventSynchronizationObject;
        dpcsQueued_.Header.SignalState = 0;
        dpcThread_ = SpawnLocked("DPC", [this] { RunDpcs(); }, true);
    }
    Signal(&dpcsQueued_.Header);
}

void Scheduler::RunDpcs() {
    for (;;) {
        Wait(&dpcsQueued_.Header, nullptr, "DPCs to run", true);
        for (;;) {
            KDPC* dpc = nullptr;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (dpcs_.empty()) break;
                dpc = dpcs_.front();
                dpcs_.erase(dpcs_.begin());
                dpc->Inserted = FALSE;
                dpcThread_->irql = DISPATCH_LEVEL;
            }
            {
                DriverScope scope(dpc->SimOwner);
                DriverCode driver;
                dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if (dpcThread_->irql != DISPATCH_LEVEL)
                Violation("a DPC routine returned at %s; it was called at DISPATCH_LEVEL", IrqlName(dpcThread_->irql));
            dpcThread_->irql = PASSIVE_LEVEL;
        }
    }
}

BOOLEAN Scheduler::SetTimer(KTIMER* timer, LARGE_INTEGER dueTime, KDPC* dpc) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!IsTimerType(timer->Header.Type)) Violation("KeSetTimer on an object that is not an initialised timer");
    timer->Dpc = dpc;
    BOOLEAN wasArmed = timer->Inserted;
    if (wasArmed) timers_.erase(std::find(timers_.begin(), timers_.end(), timer));
    timer->Header.SignalState = 0;
    timer->DueTime = std::max(DueTime(dueTime), now_);
    timer->Inserted = TRUE;
    timers_.push_back(timer);
    return wasArmed;
}

BOOLEAN Scheduler::CancelTimer(KTIMER* timer) {
    std::lock_guard<std::mutex> lock(mutex_);
    BOOLEAN wasArmed = timer->Inserted;
    if (wasArmed) timers_.erase(std::find(timers_.begin(), timers_.end(), timer));
    timer->Inserted = FALSE;
    return wasArmed;
}

bool Scheduler::IsTimerArmedWithin(const void* begin, size_t size) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto* first = static_cast<const char*>(begin);
    for (KTIMER* timer : timers_) {
        auto* at = reinterpret_cast<const char*>(timer);
        if (at >= first && at < first + size) return true;
    }
    return false;
}

void Scheduler::RunUntilIdle(int64_t budget) {
    std::unique_lock<std::mutex> lock(mutex_);
    Thread* self = Self("RunUntilIdle");
    if (self->criticalRegions != 0) Violation("the test thread is inside a critical region it never left");
    if (self != adopted_) Violation("RunUntilIdle called from a simulated kernel thread");
    self->waitingIdle = true;
    self->timed = true;
    self->deadline = now_ + budget;
    self->what = "the machine to become idle";
    self->state = Thread::State::Blocked;
    int64_t begin = now_;
    SwitchAway(lock, self);
    Report(lock, self, WaitSpan::Kind::Idle, begin);
    if (self->waitStatus == STATUS_TIMEOUT)
        Violation("hang: the machine is still busy after %lld ms of virtual time\n%s",
                  static_cast<long long>(budget / kMillisecond), DescribeLocked().c_str());
}

void Scheduler::Advance(int64_t duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    Thread* self = Self("Advance");
    if (self != adopted_) Violation("Advance called from a simulated kernel thread");
    self->timed = true;
    self->deadline = now_ + std::max<int64_t>(duration, 0);
    self->lastResort = true;
    self->what = "virtual time to pass";
    self->state = Thread::State::Blocked;
    int64_t begin = now_;
    SwitchAway(lock, self);
    self->lastResort = false;
    Report(lock, self, WaitSpan::Kind::Advance, begin);
}

std::vector<std::string> Scheduler::TerminateAll() {
    // The threads unwind through the simulator's code, which takes the lock.
    DriverCode joining;
    std::vector<std::string> ended;
    std::vector<std::thread*> joinable;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& thread : threads_) {
            if (thread.get() == adopted_ || !thread->thread.joinable()) continue;
            if (thread->state != Thread::State::Done) {
                ended.push_back(thread->name);
                thread->terminate = true;
                thread->wakeup.notify_one();
            }
            joinable.push_back(&thread->thread);
        }
    }
    for (std::thread* thread : joinable) thread->join();
    return ended;
}

std::string Scheduler::Describe() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return DescribeLocked();
}

std::string Scheduler::DescribeLocked() const {
    std::string out = Format("virtual time %lld.%04lld ms; threads:\n", static_cast<long long>(now_ / kMillisecond),
                             static_cast<long long>(now_ % kMillisecond));
    for (auto& thread : threads_) {
        out += Format("  #%d %s: %s", thread->id, thread->name.c_str(), StateName(static_cast<int>(thread->state)));
        if (thread->irql != PASSIVE_LEVEL) out += Format(" at %s", IrqlName(thread->irql));
        if (thread->state == Thread::State::Blocked) {
            out += " on " + thread->what;
            if (thread->timed)
                out += Format(" until %lld ms", static_cast<long long>(thread->deadline / kMillisecond));
        }
        out += "\n";
    }
    return out;
}

}  // namespace sim
