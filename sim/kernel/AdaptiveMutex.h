// A mutex that spins a little before it sleeps.
#pragma once

#include <pthread.h>

#include "sim/kernel/HostLock.h"

namespace sim {

// The simulator's own locks guard a few dozen instructions each, and the
// thread holding one is almost always running on the other processor: a
// waiter that sleeps in the kernel at once pays two system calls and a
// context switch for a wait that spinning ends in well under a microsecond.
// Meets Lockable, for std::lock_guard and std::unique_lock; not for
// std::condition_variable, which needs std::mutex.
class AdaptiveMutex {
public:
    AdaptiveMutex()
    {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
        pthread_mutex_init(&mutex_, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~AdaptiveMutex() { pthread_mutex_destroy(&mutex_); }
    AdaptiveMutex(const AdaptiveMutex &) = delete;
    AdaptiveMutex &operator=(const AdaptiveMutex &) = delete;

    void lock()
    {
        pthread_mutex_lock(&mutex_);
        HostLockTaken();
    }
    bool try_lock()
    {
        if (pthread_mutex_trylock(&mutex_) != 0) {
            return false;
        }
        HostLockTaken();
        return true;
    }
    void unlock()
    {
        HostLockReleased();
        pthread_mutex_unlock(&mutex_);
    }

private:
    pthread_mutex_t mutex_;
};

}  // namespace sim
