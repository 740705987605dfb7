// A lock with a one-instruction fast path that spins politely, then sleeps.
#pragma once

#include <atomic>
#include <cstdint>

#include "sim/kernel/HostLock.h"

namespace sim {

// For the simulator's short critical sections on hot paths. Uncontended,
// a pthread mutex still pays its type dispatch and owner bookkeeping on
// every lock and unlock; this lock pays one atomic operation each way.
// Contended, it waits by reading the lock word (so the line stays shared
// until the holder lets go) with a pause between reads, and tries the
// exchange only when the lock looks free; after a while it sleeps on a
// futex (through std::atomic::wait). Used where two processors meet on
// every operation (a USB port's transfers); where a thread nearly always
// finds the lock free, YieldingLock also saves the atomic release. Meets
// Lockable.
//
// States: 0 free, 1 held, 2 held and a thread may be asleep on it.
class FutexLock {
public:
    void lock()
    {
        uint32_t expected = 0;
        if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            LockContended();
        }
        HostLockTaken();
    }

    bool try_lock()
    {
        uint32_t expected = 0;
        if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return false;
        }
        HostLockTaken();
        return true;
    }

    void unlock()
    {
        HostLockReleased();
        if (state_.exchange(0, std::memory_order_release) == 2) {
            state_.notify_one();
        }
    }

private:
    [[gnu::noinline]] void LockContended()
    {
        for (int spins = 0; spins < 128; ++spins) {
            uint32_t expected = 0;
            if (state_.load(std::memory_order_relaxed) == 0 &&
                state_.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
                return;
            }
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        // Announce a sleeper: whoever unlocks from state 2 wakes one. A
        // thread that takes the lock here takes it in state 2, which at
        // worst costs one needless wake.
        while (state_.exchange(2, std::memory_order_acquire) != 0) {
            state_.wait(2, std::memory_order_relaxed);
        }
    }

    std::atomic<uint32_t> state_{0};
};

}  // namespace sim
