// The controlled scheduler and its strategies, the schedule texts, and the
// bounded search over runs.
//
// Every simulated thread keeps its OS thread, but only the one that has the
// turn runs: the others wait on their condition variables. At a scheduling
// point the thread with the turn asks the strategy who runs next; a thread
// that blocks, ends or finds a spin lock held gives the turn away. Virtual
// time moves only when no thread can run, as in the threaded mode. All of
// it is under Sched, so each hand-over also orders memory between the two
// threads.
#include "sim/kernel/Controlled.h"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <unordered_map>

namespace sim {

thread_local constinit unsigned tlsHostLocks = 0;

// ---------------------------------------------------------------------------
// Schedule texts
// ---------------------------------------------------------------------------
namespace {

bool ParseNumber(std::string_view Text, uint64_t &Value)
{
    if (Text.empty()) {
        return false;
    }
    auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    return ec == std::errc() && end == Text.data() + Text.size();
}

std::vector<std::string_view> Split(std::string_view Text, char Separator)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t at = Text.find(Separator, start);
        parts.push_back(Text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) {
            return parts;
        }
        start = at + 1;
    }
}

}  // namespace

std::string SchedulePlan::Text() const
{
    switch (Kind) {
    case ScheduleKind::Threaded: return "threaded";
    case ScheduleKind::Random: return "random";
    case ScheduleKind::Pct:
        return "pct:" + std::to_string(Depth) + (Steps != kDefaultPctSteps ? ":" + std::to_string(Steps) : "");
    case ScheduleKind::Exhaustive: return "exhaustive:" + std::to_string(Bound);
    case ScheduleKind::Replay: {
        std::string text = "replay:";
        for (size_t i = 0; i < Choices.size(); ++i) {
            text += (i ? "," : "") + std::to_string(Choices[i].Step) + "." + std::to_string(Choices[i].Option);
        }
        return text;
    }
    }
    return "";
}

std::optional<SchedulePlan> ParseSchedule(std::string_view Text, std::string &Error)
{
    const char *usage = "threaded, random, pct:DEPTH[:STEPS], exhaustive:BOUND or replay:STEP.OPTION,...";
    std::vector<std::string_view> parts = Split(Text, ':');
    std::string_view name = parts[0];
    SchedulePlan plan;
    auto fail = [&](const std::string &what) {
        Error = "schedule '" + std::string(Text) + "': " + what;
        return std::nullopt;
    };
    if (name == "threaded" || name == "random") {
        if (parts.size() != 1) {
            return fail(std::string(name) + " takes no parameter");
        }
        plan.Kind = name == "random" ? ScheduleKind::Random : ScheduleKind::Threaded;
        return plan;
    }
    if (name == "pct") {
        uint64_t depth = 0, steps = kDefaultPctSteps;
        if (parts.size() < 2 || parts.size() > 3 || !ParseNumber(parts[1], depth)) {
            return fail("pct needs a depth, as in pct:3 (or pct:3:20000 with the run's length in steps)");
        }
        if (depth == 0) {
            return fail("the depth is at least 1 (1: no priority change; a bug of depth d needs pct:d)");
        }
        if (depth > kMaxPctDepth) {
            return fail("a depth above " + std::to_string(kMaxPctDepth) + " finds nothing a smaller one would not");
        }
        if (parts.size() == 3 && (!ParseNumber(parts[2], steps) || steps == 0)) {
            return fail("the number of steps is a positive integer");
        }
        plan.Kind = ScheduleKind::Pct;
        plan.Depth = static_cast<unsigned>(depth);
        plan.Steps = steps;
        return plan;
    }
    if (name == "exhaustive") {
        uint64_t bound = 0;
        if (parts.size() != 2 || !ParseNumber(parts[1], bound)) {
            return fail("exhaustive needs a preemption bound, as in exhaustive:1");
        }
        if (bound > kMaxExhaustiveBound) {
            return fail("a bound above " + std::to_string(kMaxExhaustiveBound) +
                        " is too large for any scenario: the schedules grow as steps^bound");
        }
        plan.Kind = ScheduleKind::Exhaustive;
        plan.Bound = static_cast<unsigned>(bound);
        return plan;
    }
    if (name == "replay") {
        if (parts.size() != 2) {
            return fail("replay lists STEP.OPTION pairs, as in replay:1204.1,1310.2");
        }
        plan.Kind = ScheduleKind::Replay;
        if (parts[1].empty()) {
            return plan;
        }
        for (std::string_view item : Split(parts[1], ',')) {
            size_t dot = item.find('.');
            uint64_t step = 0, option = 0;
            if (dot == std::string_view::npos || !ParseNumber(item.substr(0, dot), step) ||
                !ParseNumber(item.substr(dot + 1), option) || step == 0 || option > 0xFFFF) {
                return fail("'" + std::string(item) + "' is not STEP.OPTION");
            }
            if (!plan.Choices.empty() && plan.Choices.back().Step >= step) {
                return fail("the steps must increase");
            }
            plan.Choices.push_back({step, static_cast<uint32_t>(option)});
        }
        return plan;
    }
    return fail("unknown strategy '" + std::string(name) + "'; use " + usage);
}

// ---------------------------------------------------------------------------
// The bounded search
// ---------------------------------------------------------------------------
bool ScheduleExplorer::Next(const ScheduleRecord &Last, std::vector<ScheduleChoice> &Choices) const
{
    // Each choice other than the default's costs one, at a preemption or at
    // a block alike: the schedules within a bound grow as steps^bound, not
    // as the product of every block's choices.
    const auto &b = Last.Branches;
    unsigned used = 0;
    for (const auto &branch : b) {
        used += branch.Chosen != 0 ? 1 : 0;
    }
    for (size_t i = b.size(); i-- > 0;) {
        used -= b[i].Chosen != 0 ? 1 : 0;  // the cost of the choices before i
        const uint32_t next = b[i].Chosen + 1;
        if (next >= b[i].Options || used + 1 > bound_) {
            continue;
        }
        Choices.clear();
        for (size_t j = 0; j < i; ++j) {
            if (b[j].Chosen != 0) {
                Choices.push_back({b[j].Step, b[j].Chosen});
            }
        }
        Choices.push_back({b[i].Step, next});
        return true;
    }
    return false;
}

double ScheduleExplorer::Estimate(const ScheduleRecord &First, unsigned Bound)
{
    constexpr double kMost = 1e18;
    const double branches = static_cast<double>(First.Branches.size());
    double alternatives = 0;
    for (const auto &branch : First.Branches) {
        alternatives += branch.Options - 1;
    }
    const double each = branches > 0 ? alternatives / branches : 0;
    double sum = 0, term = 1;  // C(branches, b) * each^b
    for (unsigned b = 0; b <= Bound; ++b) {
        sum = std::min(kMost, sum + term);
        term = std::min(kMost, term * (branches - b) / (b + 1) * each);
        if (term <= 0) {
            break;
        }
    }
    return sum;
}

// ---------------------------------------------------------------------------
// Strategies
// ---------------------------------------------------------------------------
namespace {

class RandomWalk : public Strategy {
public:
    explicit RandomWalk(uint64_t Seed) : rng_(Seed) {}
    uint32_t Pick(const std::vector<SimThread *> &Options, bool, uint64_t) override
    {
        return static_cast<uint32_t>(rng_() % Options.size());
    }

private:
    std::mt19937_64 rng_;
};

// Burckhardt et al., "A randomized scheduler with probabilistic guarantees
// of finding bugs" (ASPLOS 2010): every thread gets a random priority when
// it starts, the highest-priority thread that can run runs, and at d - 1
// random steps the running thread drops below every other.
class Pct : public Strategy {
public:
    Pct(unsigned Depth, uint64_t Steps, uint64_t Seed) : depth_(Depth), rng_(Seed)
    {
        for (unsigned i = 1; i < Depth; ++i) {
            changes_.push_back(1 + rng_() % Steps);
        }
        std::sort(changes_.begin(), changes_.end());
    }
    void ThreadStarted(SimThread *T) override { priority_[T->Id] = depth_ + (rng_() >> 8); }
    uint32_t Pick(const std::vector<SimThread *> &Options, bool Preemptive, uint64_t Step) override
    {
        // The thread that ran the step drops: below the starting
        // priorities, and below the earlier change points' threads.
        while (next_ < changes_.size() && changes_[next_] <= Step) {
            if (Preemptive) {
                priority_[Options[0]->Id] = depth_ - 1 - (next_ + 1);
            }
            ++next_;
        }
        uint32_t best = 0;
        for (uint32_t i = 1; i < Options.size(); ++i) {
            if (Priority(Options[i]) > Priority(Options[best])) {
                best = i;
            }
        }
        return best;
    }

private:
    uint64_t Priority(const SimThread *T)
    {
        auto it = priority_.find(T->Id);
        if (it == priority_.end()) {
            it = priority_.emplace(T->Id, depth_ + (rng_() >> 8)).first;
        }
        return it->second;
    }

    uint64_t depth_;
    std::mt19937_64 rng_;
    std::vector<uint64_t> changes_;
    size_t next_ = 0;
    std::unordered_map<uint64_t, uint64_t> priority_;
};

// The default scheduler, except at the listed steps.
class Listed : public Strategy {
public:
    Listed(std::vector<ScheduleChoice> Choices, ScheduleRecord &Record) : choices_(std::move(Choices)), record_(Record)
    {
    }
    uint32_t Pick(const std::vector<SimThread *> &Options, bool, uint64_t Step) override
    {
        if (next_ >= choices_.size() || choices_[next_].Step != Step) {
            return 0;
        }
        const uint32_t option = choices_[next_++].Option;
        if (option < Options.size()) {
            return option;
        }
        if (record_.Diverged.empty()) {
            record_.Diverged = "step " + std::to_string(Step) + " had " + std::to_string(Options.size()) +
                               " option(s), the schedule names option " + std::to_string(option);
        }
        return 0;
    }

private:
    std::vector<ScheduleChoice> choices_;
    ScheduleRecord &record_;
    size_t next_ = 0;
};

uint64_t Mix(uint64_t Hash, uint64_t Value)
{
    Hash ^= Value + 0x9E3779B97F4A7C15ull + (Hash << 6) + (Hash >> 2);
    Hash *= 0x100000001B3ull;
    return Hash;
}

}  // namespace

// ---------------------------------------------------------------------------
// The controller
// ---------------------------------------------------------------------------
Controller::Controller(Machine::Impl &K, const SchedulePlan &Plan, uint64_t Seed,
                       std::shared_ptr<ScheduleRecord> Record, uint64_t BreakAt)
    : k_(K), plan_(Plan), record_(Record ? std::move(Record) : std::make_shared<ScheduleRecord>()), breakAt_(BreakAt)
{
    record_->Hash = 0xCBF29CE484222325ull;
    // The strategy's own generator: the machine's stays the bus models' and
    // the fault injector's, drawn in the same order whatever the strategy.
    const uint64_t seed = Seed * 0x9E3779B97F4A7C15ull + 0x5C4EDu;
    switch (plan_.Kind) {
    case ScheduleKind::Random: strategy_ = std::make_unique<RandomWalk>(seed); break;
    case ScheduleKind::Pct:
        strategy_ = std::make_unique<Pct>(plan_.Depth, plan_.Steps ? plan_.Steps : kDefaultPctSteps, seed);
        break;
    case ScheduleKind::Threaded:
    case ScheduleKind::Exhaustive:
    case ScheduleKind::Replay: strategy_ = std::make_unique<Listed>(plan_.Choices, *record_); break;
    }
    record_->KeepBranches = record_->KeepBranches || plan_.Kind == ScheduleKind::Exhaustive;
}

bool Controller::Enabled(const SimThread *T) const
{
    return !T->Blocked && !T->Finished && T->SpinningOn == nullptr && !T->Attaching;
}

void Controller::Note(SimThread *T, const char *What, const void *Object, uint64_t Next)
{
    T->Trail[T->TrailCount % SimThread::kTrail] = SimThread::Decision{step_, What, Object, Next};
    ++T->TrailCount;
}

SimThread *Controller::ChooseLocked(SimThread *Current, const char *What, const void *Object)
{
    k_.FireDue();
    const bool preemptive = Current != nullptr && Enabled(Current) &&
                            std::find(k_.Threads.begin(), k_.Threads.end(), Current) != k_.Threads.end();
    options_.clear();
    for (SimThread *t : k_.Threads) {
        if (t != Current && Enabled(t)) {
            options_.push_back(t);
        }
    }
    std::sort(options_.begin(), options_.end(), [](const SimThread *a, const SimThread *b) { return a->Id < b->Id; });
    if (preemptive) {
        options_.insert(options_.begin(), Current);
    }
    if (options_.empty()) {
        return nullptr;
    }
    if (settling_) {
        // The machine's own threads settle before the first bound thread
        // joins: not part of any schedule.
        return options_[0];
    }
    ++step_;
    const uint32_t chosen = strategy_->Pick(options_, preemptive, step_);
    SimThread *next = options_[chosen];
    ScheduleRecord &r = *record_;
    r.Steps = step_;
    r.Hash = Mix(Mix(r.Hash, Current != nullptr ? Current->Id : 0), next->Id);
    if (next != Current) {
        ++r.Switches;
    }
    if (preemptive && chosen != 0) {
        ++r.Preemptions;
    }
    if (r.KeepBranches && options_.size() > 1) {
        r.Branches.push_back({step_, static_cast<uint32_t>(options_.size()), chosen, preemptive});
    }
    if (Current != nullptr) {
        Note(Current, What, Object, next->Id);
    }
    static FILE *dbg = std::getenv("VXTRACE") ? std::fopen(std::getenv("VXTRACE"), "w") : nullptr;
    if (dbg)
        std::fprintf(dbg, "%llu t=%llu cur=%s what=%s n=%zu next=%s\n", (unsigned long long)step_,
                     (unsigned long long)k_.Now(), Current ? Current->Name.c_str() : "-", What, options_.size(),
                     next->Name.c_str());
    if (step_ == breakAt_) {
        std::fprintf(stderr, "vextora sim: step %llu: thread '%s' takes the turn; SIGTRAP\n",
                     static_cast<unsigned long long>(step_), next->Name.c_str());
        trap_ = next;
    }
    return next;
}

void Controller::TrapIfAsked(std::unique_lock<std::mutex> &Lock, SimThread *Me)
{
    if (trap_ != Me) {
        return;
    }
    trap_ = nullptr;
    Lock.unlock();
    std::raise(SIGTRAP);
    Lock.lock();
}

bool Controller::AdvanceClockLocked()
{
    const uint64_t limit = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(k_.Opt.UntimedWaitLimit).count() / 100);
    uint64_t limitAt = UINT64_MAX;
    SimThread *limitThread = nullptr;
    for (SimThread *t : k_.Threads) {
        if (t->Kind == ThreadKind::Normal && t->Blocked && t->CurrentWait != nullptr && !t->CurrentWait->HasDeadline &&
            t->WaitStart + limit < limitAt) {
            limitAt = t->WaitStart + limit;
            limitThread = t;
        }
    }
    const uint64_t next = k_.Deadlines.empty() ? UINT64_MAX : k_.Deadlines.begin()->first;
    if (next == UINT64_MAX) {
        k_.Hang("every thread is blocked and nothing is due");
    }
    if (next > limitAt) {
        k_.VirtualNow.store(limitAt, std::memory_order_release);
        k_.Hang("thread '" + limitThread->Name + "' has waited without a time-out for longer than the limit");
    }
    if (next > k_.VirtualNow.load()) {
        k_.VirtualNow.store(next, std::memory_order_release);
    }
    return true;
}

void Controller::PassTurnLocked(SimThread *Leaving, const char *What, const void *Object)
{
    for (;;) {
        SimThread *next = ChooseLocked(Leaving, What, Object);
        if (next != nullptr) {
            running_ = next;
            next->Cv.notify_all();
            return;
        }
        // A thread bound from outside (ThreadScope) joins once every
        // simulated thread is blocked, wherever its OS thread arrived: the
        // runs before it are the same either way.
        for (SimThread *t : k_.Threads) {
            if (t->Attaching) {
                running_ = t;
                t->Cv.notify_all();
                return;
            }
        }
        running_ = nullptr;
        if (k_.NormalThreads == 0 || k_.Stopping) {
            // As in the threaded mode, time stands still without a normal
            // thread; the next thread bound to the machine takes the turn.
            return;
        }
        AdvanceClockLocked();
    }
}

void Controller::AwaitTurnLocked(std::unique_lock<std::mutex> &Lock, SimThread *Me, const bool *Done)
{
    for (;;) {
        const bool ready = Done == nullptr || *Done;
        if (ready && (running_ == Me || !active_)) {
            break;
        }
        Me->Cv.wait(Lock);
    }
    TrapIfAsked(Lock, Me);
}

void Controller::AttachLocked(std::unique_lock<std::mutex> &Lock, SimThread *Me)
{
    strategy_->ThreadStarted(Me);
    if (!active_) {
        return;
    }
    Me->Attaching = true;
    if (running_ == nullptr) {
        // Threads started before it (the machine's service threads) run
        // until they block, in the order they started.
        settling_ = step_ == 0;
        PassTurnLocked(nullptr, "a thread bound from outside", Me);
    }
    while (running_ != Me && active_) {
        Me->Cv.wait(Lock);
    }
    Me->Attaching = false;
    settling_ = false;
}

void Controller::StartedLocked(SimThread *T) { strategy_->ThreadStarted(T); }

void Controller::Point(SimThread *Me, const char *What, const void *Object)
{
    if (tlsHostLocks != 0) {
        ++record_->Suppressed;
        return;
    }
    std::unique_lock lock(k_.Sched);
    if (!active_ || running_ != Me) {
        if (active_ && std::getenv("VXDBG")) {
            std::fprintf(stderr, "UNOWNED point by %s at %s (running %s)\n", Me->Name.c_str(), What,
                         running_ ? running_->Name.c_str() : "none");
            std::abort();
        }
        return;
    }
    SimThread *next = ChooseLocked(Me, What, Object);
    if (next != Me) {
        running_ = next;
        next->Cv.notify_all();
    }
    AwaitTurnLocked(lock, Me);
}

bool Controller::Spin(SimThread *Me, PKSPIN_LOCK Lock, ULONG_PTR Token)
{
    std::unique_lock lock(k_.Sched);
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(Lock, &expected, Token, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return true;
        }
        if (!active_ || running_ != Me) {
            return false;
        }
        Me->SpinningOn = Lock;
        PassTurnLocked(Me, "a spin lock another thread holds", Lock);
        while ((running_ != Me || Me->SpinningOn != nullptr) && active_) {
            Me->Cv.wait(lock);
        }
        Me->SpinningOn = nullptr;
        TrapIfAsked(lock, Me);
    }
}

void Controller::WatchLocked()
{
    static const long limit = [] {
        const char *env = std::getenv("VEXTORA_TURN_TIMEOUT");
        return env != nullptr && *env != '\0' ? std::strtol(env, nullptr, 10) : 300L;
    }();
    const auto now = std::chrono::steady_clock::now();
    if (running_ == nullptr || step_ != watchedStep_) {
        watchedStep_ = step_;
        watchedSince_ = now;
        return;
    }
    if (now - watchedSince_ < std::chrono::seconds(limit)) {
        return;
    }
    std::fprintf(stderr,
                 "vextora sim: thread '%s' has had the turn for %ld s of wall time without reaching a scheduling "
                 "point: it waits outside the scheduler (a host lock or a host wait) or loops without calling "
                 "the kernel\n%s",
                 running_->Name.c_str(), limit, TrailLocked().c_str());
    std::fflush(stderr);
    std::abort();
}

void ControlledPoint(Machine::Impl &I, SimThread *Me, const char *What, const void *Object)
{
    I.Ctl->Point(Me, What, Object);
}

void Controller::Released(PKSPIN_LOCK Lock)
{
    std::unique_lock lock(k_.Sched);
    for (SimThread *t : k_.Threads) {
        if (t->SpinningOn == Lock) {
            t->SpinningOn = nullptr;
        }
    }
}

void Controller::StopLocked()
{
    active_ = false;
    running_ = nullptr;
    for (SimThread *t : k_.Threads) {
        t->Cv.notify_all();
    }
}

std::string Controller::TrailLocked() const
{
    std::ostringstream out;
    const ScheduleRecord &r = *record_;
    char hash[24];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(r.Hash));
    out << "  schedule " << plan_.Text() << ", step " << step_ << ", decision hash " << hash << "\n";
    std::unordered_map<uint64_t, const SimThread *> byId;
    for (const SimThread *t : k_.Threads) {
        byId[t->Id] = t;
    }
    for (const SimThread *t : k_.Threads) {
        out << "  thread '" << t->Name << "' (" << t->Id << "), last scheduling decisions:";
        if (t->TrailCount == 0) {
            out << " none\n";
            continue;
        }
        out << "\n";
        const unsigned n = std::min(t->TrailCount, SimThread::kTrail);
        for (unsigned i = t->TrailCount - n; i < t->TrailCount; ++i) {
            const SimThread::Decision &d = t->Trail[i % SimThread::kTrail];
            out << "    step " << d.Step << ", at " << d.What;
            if (d.Object != nullptr) {
                out << " " << Hex(reinterpret_cast<uintptr_t>(d.Object));
            }
            if (d.Next == t->Id) {
                out << ": went on\n";
            } else {
                auto it = byId.find(d.Next);
                out << ": the turn went to " << (it != byId.end() ? "'" + it->second->Name + "'" : "a thread now ended")
                    << "\n";
            }
        }
    }
    return out.str();
}

// ---------------------------------------------------------------------------
// The verifier's look at memory being freed
// ---------------------------------------------------------------------------
void CheckSyncObjectsIn(Machine::Impl &I, const void *Base, size_t Size, PDEVICE_OBJECT Device,
                        const std::function<std::string()> &What)
{
    if (!I.Ctl) {
        return;
    }
    const auto lo = reinterpret_cast<uintptr_t>(Base);
    const auto hi = lo + Size;
    auto inside = [&](const void *p) {
        auto a = reinterpret_cast<uintptr_t>(p);
        return a >= lo && a < hi;
    };
    std::vector<std::pair<std::string_view, std::string>> found;
    {
        std::unique_lock lock(I.Sched);
        for (SimThread *t : I.Threads) {
            for (PKSPIN_LOCK *l = t->Held.begin(); l != t->Held.end(); ++l) {
                if (inside(*l)) {
                    found.emplace_back(checks::FreedWithSpinLockHeld,
                                       "thread '" + t->Name + "' still holds the spin lock at " +
                                           Hex(reinterpret_cast<uintptr_t>(*l)) + " in it");
                }
            }
            if (t->SpinningOn != nullptr && inside(t->SpinningOn)) {
                found.emplace_back(checks::FreedWithSpinLockHeld,
                                   "thread '" + t->Name + "' is acquiring the spin lock at " +
                                       Hex(reinterpret_cast<uintptr_t>(t->SpinningOn)) + " in it");
            }
            if (t->InEventCall != nullptr && inside(t->InEventCall)) {
                found.emplace_back(checks::FreedDuringEventCall,
                                   "thread '" + t->Name + "' is still inside a set, clear or wait of the event at " +
                                       Hex(reinterpret_cast<uintptr_t>(t->InEventCall)) + " in it");
            }
        }
    }
    for (const auto &[check, detail] : found) {
        I.M.ReportViolation(check, nullptr, Device, What() + " while " + detail);
    }
}

}  // namespace sim

extern "C" {

unsigned SimControlledMachines = 0;

void SimInterlockedPoint(const volatile void *Target)
{
    sim::SimThread *t = sim::SelfOrNull();
    if (t != nullptr && t->I->Ctl) {
        t->I->Ctl->Point(t, "an interlocked operation", const_cast<const void *>(Target));
    }
}

}  // extern "C"
