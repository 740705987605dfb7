// The simulator's own (host) locks count themselves per thread, so that the
// controlled scheduler never hands the turn to another simulated thread
// while the thread giving it up holds one: the other thread could need the
// same lock and would then wait outside the scheduler for ever.
#pragma once

#include <mutex>

namespace sim {

// Host locks the calling thread holds now. One increment and one decrement
// per lock, on a thread-local word.
extern thread_local constinit unsigned tlsHostLocks;

inline void HostLockTaken() { ++tlsHostLocks; }
inline void HostLockReleased() { --tlsHostLocks; }

// std::mutex that counts itself (managers and the bus driver). Lockable;
// waits on it need std::condition_variable_any.
class HostMutex {
public:
    void lock()
    {
        mutex_.lock();
        HostLockTaken();
    }
    bool try_lock()
    {
        if (!mutex_.try_lock()) {
            return false;
        }
        HostLockTaken();
        return true;
    }
    void unlock()
    {
        HostLockReleased();
        mutex_.unlock();
    }

private:
    std::mutex mutex_;
};

}  // namespace sim
