#include "runtime/threads.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

#include "runtime/exception.h"

namespace {

using Clock = std::chrono::steady_clock;

long long elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Holds a mutex on its own thread until told to let go.
class Holder {
public:
    explicit Holder(Mutex& mutex) : _mutex(mutex), _thread(run, this) {
        Lock lock(_state_lock);
        while (!_holding) {
            _state_changed.wait(lock);
        }
    }

    ~Holder() {
        release();
        _thread.join();
    }

    void release() {
        Lock lock(_state_lock);
        _release = true;
        _state_changed.notify_all();
    }

private:
    static void* run(void* arg) {
        auto* self = static_cast<Holder*>(arg);
        Lock held(self->_mutex);
        Lock lock(self->_state_lock);
        self->_holding = true;
        self->_state_changed.notify_all();
        while (!self->_release) {
            self->_state_changed.wait(lock);
        }
        return nullptr;
    }

    Mutex& _mutex;
    Mutex _state_lock;
    Condition _state_changed;
    bool _holding = false;
    bool _release = false;
    Thread _thread;
};

struct TryLockArgs {
    Mutex* mutex;
    bool taken;
};

void* try_lock_on_other_thread(void* arg) {
    auto* args = static_cast<TryLockArgs*>(arg);
    Lock lock(*args->mutex, Lock::DEFER);
    args->taken = lock.try_lock();
    return nullptr;
}

bool free_for_other_threads(Mutex& mutex) {
    TryLockArgs args = {&mutex, false};
    Thread thread(try_lock_on_other_thread, &args);
    thread.join();
    return args.taken;
}

TEST(MutexTest, UnknownTypeThrowsWithPositionAndCodeOne) {
    try {
        Mutex mutex(2);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.get_error_code(), 1);
        EXPECT_THAT(e.what(), testing::MatchesRegex("invalid type 2\\{exception .*threads\\.cpp:[0-9]+\\}"));
    }
}

TEST(MutexTest, RecursiveMutexIsFreeAfterAsManyUnlocksAsLocks) {
    RecurciveMutex mutex;
    {
        Lock outer(mutex);
        {
            Lock inner(mutex);
            EXPECT_TRUE(inner.is_locked());
        }
        EXPECT_FALSE(free_for_other_threads(mutex));
    }
    EXPECT_TRUE(free_for_other_threads(mutex));
}

TEST(MutexTest, NormalMutexIsExclusiveWhileLocked) {
    Mutex mutex;
    {
        Lock lock(mutex);
        EXPECT_FALSE(free_for_other_threads(mutex));
    }
    EXPECT_TRUE(free_for_other_threads(mutex));
}

TEST(LockTest, DeferredLockHoldsNothingUntilLocked) {
    Mutex mutex;
    Lock lock(mutex, Lock::DEFER);
    EXPECT_FALSE(lock.is_locked());
    EXPECT_TRUE(free_for_other_threads(mutex));
    lock.lock();
    EXPECT_TRUE(lock.is_locked());
    EXPECT_FALSE(free_for_other_threads(mutex));
    lock.unlock();
    EXPECT_FALSE(lock.is_locked());
    EXPECT_TRUE(free_for_other_threads(mutex));
}

TEST(LockTest, TimedLockTakesAFreeMutex) {
    Mutex mutex;
    Lock lock(mutex, Lock::DEFER);
    lock.timed_lock();
    EXPECT_TRUE(lock.is_locked());
}

TEST(LockTest, TimedLockGivesUpOnAMutexHeldElsewhere) {
    Mutex mutex;
    Holder holder(mutex);
    Lock lock(mutex, Lock::DEFER);
    auto start = Clock::now();
    EXPECT_NO_THROW(lock.timed_lock());
    EXPECT_FALSE(lock.is_locked());
    EXPECT_GE(elapsed_ms(start), 9);
    EXPECT_LT(elapsed_ms(start), 2000);
}

TEST(LockTest, TimedLockOnAHeldLockKeepsIt) {
    Mutex mutex;
    Lock lock(mutex);
    lock.timed_lock();
    EXPECT_TRUE(lock.is_locked());
    EXPECT_TRUE(lock.try_lock());
}

struct Signal {
    Mutex mutex;
    Condition condition;
    bool raised = false;
};

void* raise_signal_later(void* arg) {
    auto* signal = static_cast<Signal*>(arg);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Lock lock(signal->mutex);
    signal->raised = true;
    signal->condition.notify_all();
    return nullptr;
}

TEST(ConditionTest, TimedWaitTimesOutWhenNobodySignals) {
    Signal signal;
    Lock lock(signal.mutex);
    auto start = Clock::now();
    EXPECT_FALSE(signal.condition.timed_wait(lock, 100 * 1000 * 1000));
    EXPECT_GE(elapsed_ms(start), 99);
    EXPECT_LT(elapsed_ms(start), 2000);
    EXPECT_TRUE(lock.is_locked());
}

// The longest delay must not wrap the deadline into the past: the wait lasts until the signal.
class ConditionSignalTest : public testing::TestWithParam<uint64_t> {};

TEST_P(ConditionSignalTest, TimedWaitWakesOnSignal) {
    Signal signal;
    Lock lock(signal.mutex);
    Thread thread(raise_signal_later, &signal);
    auto start = Clock::now();
    while (!signal.raised) {
        ASSERT_TRUE(signal.condition.timed_wait(lock, GetParam()));
    }
    EXPECT_LT(elapsed_ms(start), 2000);
    lock.unlock();
    thread.join();
}

INSTANTIATE_TEST_SUITE_P(Delays, ConditionSignalTest,
                         testing::Values(uint64_t(10) * 1000 * 1000 * 1000, UINT64_MAX,
                                         UINT64_MAX - 999999999));

TEST(ConditionTest, WaitWithoutTheMutexThrows) {
    Signal signal;
    Lock lock(signal.mutex, Lock::DEFER);
    EXPECT_THROW(signal.condition.wait(lock), Exception);
    EXPECT_THROW(signal.condition.timed_wait(lock, 1000), Exception);
}

// Waits up to 10 s for `done`.
template <typename Done>
bool within_10s(Done done) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!done() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// The waiter runs on a thread of its own, so that a wait which never wakes fails the test instead of hanging
// it (that thread is then left behind, with the state it shares).
TEST(ConditionTest, PlainWaitLetsGoOfTheMutexAndWakesOnSignalHoldingIt) {
    struct State {
        Signal signal;
        bool waiting = false;  // guarded by signal.mutex
        std::atomic<bool> woke{false};
        std::atomic<bool> held_on_waking{false};
        std::atomic<bool> looked{false};
    };
    auto state = std::make_shared<State>();
    std::thread waiter([state] {
        Lock lock(state->signal.mutex);
        state->waiting = true;
        while (!state->signal.raised) {
            state->signal.condition.wait(lock);
        }
        state->held_on_waking = lock.is_locked();
        state->woke = true;
        within_10s([&] { return state->looked.load(); });  // keeps the mutex until the test has tried it
    });

    // The mutex is free while the waiter waits: take it, raise and signal.
    Lock lock(state->signal.mutex, Lock::DEFER);
    bool taken_while_waiting = within_10s([&] {
        if (!lock.try_lock()) {
            return false;
        }
        if (!state->waiting) {
            lock.unlock();
            return false;
        }
        return true;
    });
    if (taken_while_waiting) {
        state->signal.raised = true;
        state->signal.condition.notify_all();
        lock.unlock();
    }
    bool woke = taken_while_waiting && within_10s([&] { return state->woke.load(); });
    Lock probe(state->signal.mutex, Lock::DEFER);
    bool free_after_waking = woke && probe.try_lock();
    state->looked = true;
    if (woke) {
        waiter.join();
    } else {
        waiter.detach();
    }
    EXPECT_TRUE(taken_while_waiting) << "the mutex stayed taken during the wait";
    EXPECT_TRUE(woke) << "the signal did not wake the wait";
    EXPECT_TRUE(state->held_on_waking.load());
    EXPECT_FALSE(free_after_waking) << "the wait returned without the mutex";
}

void* store_argument(void* arg) {
    static_cast<std::atomic<int>*>(arg)->store(42);
    return nullptr;
}

TEST(ThreadTest, RunsTheStartRoutineWithItsArgument) {
    std::atomic<int> value{0};
    Thread thread(store_argument, &value);
    thread.join();
    EXPECT_EQ(value.load(), 42);
}

// Two "drawables" whose contents copies move from one to the other.
struct Drawables {
    RecurciveMutex a_lock;
    RecurciveMutex b_lock;
    int a = 0;
    int b = 0;
};

const int COPIES_PER_THREAD = 2000;

void* copy_a_into_b(void* arg) {
    auto* d = static_cast<Drawables*>(arg);
    for (int n = 0; n < COPIES_PER_THREAD; n++) {
        LockPair locks(d->b_lock, d->a_lock);
        d->b++;
        d->a--;
    }
    return nullptr;
}

void* copy_b_into_a(void* arg) {
    auto* d = static_cast<Drawables*>(arg);
    for (int n = 0; n < COPIES_PER_THREAD; n++) {
        LockPair locks(d->a_lock, d->b_lock);
        d->a++;
        d->b--;
    }
    return nullptr;
}

struct CopyRun {
    Drawables drawables;
    Signal done;
};

void* run_opposite_copies(void* arg) {
    auto* run = static_cast<CopyRun*>(arg);
    Thread one(copy_a_into_b, &run->drawables);
    Thread two(copy_b_into_a, &run->drawables);
    one.join();
    two.join();
    Lock lock(run->done.mutex);
    run->done.raised = true;
    run->done.condition.notify_all();
    return nullptr;
}

TEST(LockPairTest, OppositeCopiesNeverDeadlock) {
    CopyRun run;
    Thread copies(run_opposite_copies, &run);
    {
        Lock lock(run.done.mutex);
        auto start = Clock::now();
        while (!run.done.raised && elapsed_ms(start) < 60000) {
            run.done.condition.timed_wait(lock, 100 * 1000 * 1000);
        }
        if (!run.done.raised) {
            // The copying threads still use this frame: there is no way back from a deadlock.
            fprintf(stderr, "copies in opposite directions deadlocked\n");
            abort();
        }
    }
    copies.join();
    EXPECT_EQ(run.drawables.a, 0);
    EXPECT_EQ(run.drawables.b, 0);
}

TEST(LockPairTest, HoldsBothUntilScopeEnds) {
    Mutex dest;
    Mutex src;
    {
        LockPair locks(dest, src);
        EXPECT_FALSE(free_for_other_threads(dest));
        EXPECT_FALSE(free_for_other_threads(src));
    }
    EXPECT_TRUE(free_for_other_threads(dest));
    EXPECT_TRUE(free_for_other_threads(src));
}

TEST(LockPairTest, CopyWithinOneDrawableTakesItsMutexOnce) {
    Mutex normal;
    {
        LockPair locks(normal, normal);
        EXPECT_FALSE(free_for_other_threads(normal));
    }
    EXPECT_TRUE(free_for_other_threads(normal));
}

}  // namespace
