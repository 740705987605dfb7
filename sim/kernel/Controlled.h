// The controlled scheduler: a turn passed between the simulated threads'
// OS threads, so that exactly one of them runs at a time, and the strategy
// that picks who has it next. Kernel core only (MachineImpl.h).
#pragma once

#include "sim/kernel/MachineImpl.h"
#include "sim/kernel/Schedule.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace sim {

// Picks the next thread from the options: Options[0] is the running thread
// when it can go on (Preemptive), else the enabled thread with the lowest
// id; the rest follow by id. Runs under Sched.
class Strategy {
public:
    virtual ~Strategy() = default;
    virtual uint32_t Pick(const std::vector<SimThread *> &Options, bool Preemptive, uint64_t Step) = 0;
    virtual void ThreadStarted(SimThread *) {}
};

class Controller {
public:
    Controller(Machine::Impl &K, const SchedulePlan &Plan, uint64_t Seed, std::shared_ptr<ScheduleRecord> Record,
               uint64_t BreakAt);

    // A scheduling point of the calling thread, which has the turn. Sched
    // not held. No effect while the thread holds a host lock.
    void Point(SimThread *Me, const char *What, const void *Object);
    // Gives the turn away: Leaving can no longer run (blocked, finished,
    // spinning or unbound). When no thread can run, virtual time moves to
    // the next deadline; with nothing due, a hang. Sched held.
    void PassTurnLocked(SimThread *Leaving, const char *What, const void *Object);
    // Waits until Me has the turn (and, for a wait, until it is satisfied).
    void AwaitTurnLocked(std::unique_lock<std::mutex> &Lock, SimThread *Me, const bool *Done = nullptr);
    // A thread bound by a ThreadScope: it takes the turn when nobody has it.
    void AttachLocked(std::unique_lock<std::mutex> &Lock, SimThread *Me);
    // A thread started by StartThread (the strategy gives it a priority).
    void StartedLocked(SimThread *T);
    // A spin lock another thread holds: waits for its release without the
    // turn, and takes it. False once the controlled mode has stopped: the
    // caller spins as in the threaded mode.
    bool Spin(SimThread *Me, PKSPIN_LOCK Lock, ULONG_PTR Token);
    // A spin lock was released: its spinners may run again.
    void Released(PKSPIN_LOCK Lock);
    // The machine stops its services: every thread runs freely from now on.
    void StopLocked();

    bool Active() const { return active_; }
    // True when T has the turn (or nobody is controlled any more). Sched held.
    bool Holds(const SimThread *T) const { return active_ && running_ == T; }
    // Called about once a second by the clock thread: a turn that has not
    // moved for minutes is a thread waiting outside the scheduler.
    void WatchLocked();
    uint64_t Step() const { return step_; }
    const SchedulePlan &Plan() const { return plan_; }
    // The step, hash and each thread's last decisions. Sched held.
    std::string TrailLocked() const;
    ScheduleRecord &Record() { return *record_; }

private:
    bool Enabled(const SimThread *T) const;
    SimThread *ChooseLocked(SimThread *Current, const char *What, const void *Object);
    bool AdvanceClockLocked();
    void Note(SimThread *T, const char *What, const void *Object, uint64_t Next);
    // Raises SIGTRAP in the thread that took the turn at BreakAtStep.
    void TrapIfAsked(std::unique_lock<std::mutex> &Lock, SimThread *Me);

    Machine::Impl &k_;
    SchedulePlan plan_;
    std::unique_ptr<Strategy> strategy_;
    std::shared_ptr<ScheduleRecord> record_;
    bool active_ = true;
    SimThread *running_ = nullptr;
    uint64_t step_ = 0;
    uint64_t breakAt_ = 0;
    SimThread *trap_ = nullptr;
    bool settling_ = false;
    uint64_t watchedStep_ = 0;
    std::chrono::steady_clock::time_point watchedSince_ = std::chrono::steady_clock::now();
    std::vector<SimThread *> options_;
};

}  // namespace sim
