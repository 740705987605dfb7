// A system thread of a manager: runs queued jobs one at a time, in order, at
// PASSIVE_LEVEL. Jobs may be queued from any bound thread at IRQL <=
// DISPATCH_LEVEL; waiting goes through the scheduler (KEVENTs), so the
// virtual clock sees the thread as blocked while it has nothing to do.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <atomic>
#include <thread>

#include "sim/kernel/HostLock.h"
#include "sim/kernel/Machine.h"

namespace sim {

class ManagerThread {
public:
    ManagerThread(Machine &machine, std::string name);
    // Runs what is queued, then ends the thread.
    ~ManagerThread();
    ManagerThread(const ManagerThread &) = delete;
    ManagerThread &operator=(const ManagerThread &) = delete;

    void Post(std::function<void()> job);
    // Runs the job in the thread and waits for it; inline when called from
    // the thread itself. PASSIVE_LEVEL, bound thread.
    void Run(std::function<void()> job);
    // Waits until nothing is queued or running. Not from the thread itself.
    void WaitIdle();
    bool InThread() const { return std::this_thread::get_id() == id_.load(); }
    void Stop();

private:
    void Body();

    Machine &machine_;
    sim::HostMutex mutex_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    KEVENT work_;  // synchronization
    KEVENT idle_;  // notification
    SimThread *thread_ = nullptr;
    std::atomic<std::thread::id> id_{};
};

}  // namespace sim
