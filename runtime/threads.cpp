#include "runtime/threads.h"

#include <cerrno>
#include <time.h>

#include "runtime/exception.h"

namespace {

const uint64_t NSEC_PER_SEC = 1000000000ull;
const uint64_t TIMED_LOCK_NANOSECONDS = 10 * 1000 * 1000;

// An absolute CLOCK_MONOTONIC time the given delay from now, so that changes of the wall clock do not
// lengthen or shorten a wait. Saturates instead of wrapping for delays beyond any real wait.
timespec monotonic_deadline(uint64_t delay_nanoseconds) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t seconds = delay_nanoseconds / NSEC_PER_SEC;
    uint64_t nanoseconds = static_cast<uint64_t>(now.tv_nsec) + delay_nanoseconds % NSEC_PER_SEC;
    if (nanoseconds >= NSEC_PER_SEC) {
        nanoseconds -= NSEC_PER_SEC;
        ++seconds;
    }
    // Beyond 2^62 seconds a deadline is as good as never; this keeps the sum within time_t.
    const uint64_t max_seconds = uint64_t(1) << 62;
    uint64_t total = static_cast<uint64_t>(now.tv_sec) + (seconds < max_seconds ? seconds : max_seconds);
    timespec deadline;
    deadline.tv_sec = static_cast<time_t>(total);
    deadline.tv_nsec = static_cast<long>(nanoseconds);
    return deadline;
}

}  // namespace

Mutex::Mutex(int type) {
    int pthread_type;
    switch (type) {
        case NORMAL:
            pthread_type = PTHREAD_MUTEX_NORMAL;
            break;
        case RECURSIVE:
            pthread_type = PTHREAD_MUTEX_RECURSIVE;
            break;
        default:
            THROW("invalid type %d", type);
    }
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, pthread_type);
    int result = pthread_mutex_init(&_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (result != 0) {
        THROW("int failed %d", result);
    }
}

Mutex::~Mutex() {
    pthread_mutex_destroy(&_mutex);
}

Lock::Lock(Mutex& mutex) : _locked(false), _mutex(mutex) {
    lock();
}

Lock::Lock(Mutex& mutex, Defer) : _locked(false), _mutex(mutex) {}

Lock::~Lock() {
    unlock();
}

void Lock::lock() {
    if (_locked) {
        return;
    }
    int result = pthread_mutex_lock(_mutex.get());
    if (result != 0) {
        THROW("lock failed %d", result);
    }
    _locked = true;
}

void Lock::unlock() {
    if (_locked) {
        pthread_mutex_unlock(_mutex.get());
        _locked = false;
    }
}

bool Lock::try_lock() {
    if (!_locked) {
        _locked = pthread_mutex_trylock(_mutex.get()) == 0;
    }
    return _locked;
}

void Lock::timed_lock() {
    if (_locked) {
        return;
    }
    timespec deadline = monotonic_deadline(TIMED_LOCK_NANOSECONDS);
    int result = pthread_mutex_clocklock(_mutex.get(), CLOCK_MONOTONIC, &deadline);
    if (result == 0) {
        _locked = true;
    } else if (result != ETIMEDOUT) {
        THROW("failed %d", result);
    }
}

Condition::Condition() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int result = pthread_cond_init(&_condition, &attr);
    pthread_condattr_destroy(&attr);
    if (result != 0) {
        THROW("init failed %d", result);
    }
}

Condition::~Condition() {
    pthread_cond_destroy(&_condition);
}

void Condition::wait(Lock& lock) {
    if (!lock.is_locked()) {
        THROW("lock not held");
    }
    pthread_cond_wait(&_condition, lock._mutex.get());
}

bool Condition::timed_wait(Lock& lock, uint64_t nanoseconds) {
    if (!lock.is_locked()) {
        THROW("lock not held");
    }
    timespec deadline = monotonic_deadline(nanoseconds);
    int result = pthread_cond_timedwait(&_condition, lock._mutex.get(), &deadline);
    if (result == 0) {
        return true;
    }
    if (result == ETIMEDOUT) {
        return false;
    }
    THROW("failed %d", result);
}

void Condition::notify_one() {
    pthread_cond_signal(&_condition);
}

void Condition::notify_all() {
    pthread_cond_broadcast(&_condition);
}

Thread::Thread(start_proc_t start, void* arg) : _joinable(false) {
    int result = pthread_create(&_thread, nullptr, start, arg);
    if (result != 0) {
        THROW("failed %d", result);
    }
    _joinable = true;
}

Thread::~Thread() {
    if (_joinable) {
        pthread_detach(_thread);
    }
}

void Thread::join() {
    if (_joinable) {
        pthread_join(_thread, nullptr);
        _joinable = false;
    }
}

LockPair::LockPair(Mutex& dest, Mutex& src) : _dest(dest), _src(src, Lock::DEFER) {
    if (&src == &dest) {
        return;
    }
    for (;;) {
        if (_src.try_lock()) {
            return;
        }
        _src.timed_lock();
        if (_src.is_locked()) {
            return;
        }
        _dest.unlock();
        _dest.lock();
    }
}
