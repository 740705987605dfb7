// A lock whose release is a plain store: for critical sections that are
// short and nearly never contended.
#pragma once

#include <atomic>
#include <cstdint>

#include "sim/kernel/HostLock.h"
#include <thread>

namespace sim {

// On the processors the simulator runs on, an atomic read-modify-write
// costs as much as a few dozen plain instructions, and a lock that can put
// waiters to sleep needs one to take it and another to release it (to
// learn whether anyone sleeps). This one never sleeps, so releasing is a
// store. A waiter reads the lock word with a pause between reads and tries
// the exchange only when it looks free; after a while it yields its
// processor between tries, in case the holder was preempted. Used for the
// pool's per-thread shards, where the thread that owns a shard nearly
// always finds it free; where processors meet on every operation, use
// FutexLock. Meets Lockable.
class YieldingLock {
public:
    void lock()
    {
        bool expected = false;
        if (!held_.compare_exchange_strong(expected, true, std::memory_order_acquire, std::memory_order_relaxed)) {
            LockContended();
        }
        HostLockTaken();
    }

    bool try_lock()
    {
        bool expected = false;
        if (!held_.compare_exchange_strong(expected, true, std::memory_order_acquire, std::memory_order_relaxed)) {
            return false;
        }
        HostLockTaken();
        return true;
    }

    void unlock()
    {
        HostLockReleased();
        held_.store(false, std::memory_order_release);
    }

private:
    [[gnu::noinline]] void LockContended()
    {
        for (unsigned spins = 0;; ++spins) {
            bool expected = false;
            if (!held_.load(std::memory_order_relaxed) &&
                held_.compare_exchange_weak(expected, true, std::memory_order_acquire, std::memory_order_relaxed)) {
                return;
            }
            if (spins < 128) {
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#endif
            } else {
                std::this_thread::yield();
            }
        }
    }

    std::atomic<bool> held_{false};
};

}  // namespace sim
