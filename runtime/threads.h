#pragma once

#include <cstdint>
#include <pthread.h>

class Mutex {
public:
    enum { NORMAL = 0, RECURSIVE = 1 };

    explicit Mutex(int type = Mutex::NORMAL);
    virtual ~Mutex();

    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    pthread_mutex_t* get() { return &_mutex; }

private:
    pthread_mutex_t _mutex;
};

// A mutex its holder may take again; released after as many unlocks as locks.
class RecurciveMutex : public Mutex {
public:
    RecurciveMutex() : Mutex(Mutex::RECURSIVE) {}
};

// Scoped holder of a Mutex. is_locked() is true exactly while this Lock holds the mutex.
class Lock {
public:
    enum Defer { DEFER };

    explicit Lock(Mutex& mutex);  // blocks until the mutex is held
    Lock(Mutex& mutex, Defer);    // starts without the mutex
    ~Lock();

    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock();
    void unlock();
    bool try_lock();
    // Waits at most 10 ms for the mutex; on time-out is_locked() stays false and nothing is thrown.
    void timed_lock();
    bool is_locked() const { return _locked; }

private:
    friend class Condition;

    bool _locked;
    Mutex& _mutex;
};

class Condition {
public:
    Condition();
    ~Condition();

    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    // The Lock must hold the mutex guarding the state this condition signals. Wake-ups may be spurious:
    // callers re-test their predicate in a loop.
    void wait(Lock& lock);
    // Waits at most the given time, measured on the monotonic clock. False when the time ran out.
    bool timed_wait(Lock& lock, uint64_t nanoseconds);
    void notify_one();
    void notify_all();

private:
    pthread_cond_t _condition;
};

class Thread {
public:
    typedef void* (*start_proc_t)(void*);

    // The thread starts at once.
    Thread(start_proc_t start, void* arg);
    // A thread never joined is detached here, so its resources are not lost.
    ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    void join();

private:
    pthread_t _thread;
    bool _joinable;
};

// Holds the locks of two drawables for a copy from src into dest. Takes dest, then src by try-lock or
// a 10 ms timed lock; when both fail it releases dest and starts again. It never blocks on src while
// holding dest, so copies in opposite directions cannot deadlock. A copy within one drawable (the same
// mutex twice) takes it once.
class LockPair {
public:
    LockPair(Mutex& dest, Mutex& src);

    LockPair(const LockPair&) = delete;
    LockPair& operator=(const LockPair&) = delete;

private:
    Lock _dest;
    Lock _src;
};
