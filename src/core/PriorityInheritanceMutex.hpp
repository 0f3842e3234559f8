// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <pthread.h>

#include <cerrno>
#include <system_error>

namespace velorin {

// A mutex whose holder inherits the priority of the highest-priority thread
// waiting for it. The engine's and the sequencer reader's threads run at
// realtime priority and share a few short critical sections with threads that
// do not (the window's, the settings writer, the log's publisher). With a plain
// mutex, a holder at normal priority preempted by any busy process keeps the
// realtime thread waiting for a whole time slice, milliseconds; with this one
// the kernel runs the holder at the waiter's priority until it unlocks.
// Meets Lockable: use it with std::lock_guard, std::unique_lock and
// std::condition_variable_any.
class PriorityInheritanceMutex {
public:
    PriorityInheritanceMutex() {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
        const int status = pthread_mutex_init(&mutex_, &attributes);
        pthread_mutexattr_destroy(&attributes);
        if (status != 0) throw std::system_error(status, std::generic_category(), "pthread_mutex_init");
    }
    ~PriorityInheritanceMutex() { pthread_mutex_destroy(&mutex_); }
    PriorityInheritanceMutex(const PriorityInheritanceMutex&) = delete;
    PriorityInheritanceMutex& operator=(const PriorityInheritanceMutex&) = delete;

    void lock() {
        if (const int status = pthread_mutex_lock(&mutex_); status != 0)
            throw std::system_error(status, std::generic_category(), "pthread_mutex_lock");
    }
    bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }
    void unlock() { pthread_mutex_unlock(&mutex_); }

private:
    pthread_mutex_t mutex_;
};

}  // namespace velorin
