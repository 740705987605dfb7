// A lock for data that one thread nearly always has to itself.
#pragma once

#include <atomic>
#include <cstdint>

namespace sim {

// The pool's shards are picked by thread id, so the thread that takes a
// shard's lock almost never finds it held. For that case a pthread mutex
// still pays its type dispatch and owner bookkeeping on every lock and
// unlock; this lock pays one atomic operation each way, spins briefly when
// the lock is held, and only then sleeps on a futex (through
// std::atomic::wait). Meets Lockable.
//
// States: 0 free, 1 held, 2 held and a thread may be asleep on it.
class ShardLock {
public:
    void lock()
    {
        uint32_t expected = 0;
        if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            LockContended();
        }
    }

    bool try_lock()
    {
        uint32_t expected = 0;
        return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
    }

    void unlock()
    {
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
