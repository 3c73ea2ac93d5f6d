#include "runtime/base_mutex.h"

#include <gtest/gtest.h>

#include "runtime/threads.h"

namespace {

class Tracked : public baseobj {
public:
    explicit Tracked(bool& destroyed) : _destroyed(destroyed) {}

protected:
    ~Tracked() override { _destroyed = true; }

private:
    bool& _destroyed;
};

TEST(BaseobjTest, StartsAtOneAndDeletesItselfAtZero) {
    bool destroyed = false;
    auto* obj = new Tracked(destroyed);
    EXPECT_EQ(obj->GetRefCount(), 1);
    EXPECT_EQ(obj->AddRef(), 2);
    EXPECT_EQ(obj->Release(), 1);
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(obj->Release(), 0);
    EXPECT_TRUE(destroyed);
}

struct TryLockArgs {
    BaseMutex* mutex;
    int taken;
};

void* try_lock_on_other_thread(void* arg) {
    auto* args = static_cast<TryLockArgs*>(arg);
    args->taken = args->mutex->TryLock();
    if (args->taken) {
        args->mutex->Unlock();
    }
    return nullptr;
}

// Win32 mutexes are recursive for their owner, so only another thread can tell whether one is held.
bool free_for_other_threads(BaseMutex* mutex) {
    TryLockArgs args = {mutex, 0};
    Thread thread(try_lock_on_other_thread, &args);
    thread.join();
    return args.taken == 1;
}

TEST(AutoLockTest, HoldsTheMutexForItsScopeAndRestoresTheCount) {
    BaseMutex* mutex = new MutexMutex();
    {
        AutoLock lock(mutex);
        EXPECT_EQ(mutex->GetRefCount(), 2);
        EXPECT_FALSE(free_for_other_threads(mutex));
    }
    EXPECT_EQ(mutex->GetRefCount(), 1);
    EXPECT_TRUE(free_for_other_threads(mutex));
    mutex->Release();
}

TEST(MutexMutexTest, TryLockAndUnlockReportTheirOutcome) {
    BaseMutex* mutex = new MutexMutex();
    EXPECT_EQ(mutex->TryLock(), 1);
    EXPECT_FALSE(free_for_other_threads(mutex));
    EXPECT_NE(mutex->Unlock(), 0);
    EXPECT_EQ(mutex->Unlock(), 0);  // no longer the owner
    EXPECT_EQ(mutex->Lock(), 1);
    EXPECT_NE(mutex->Unlock(), 0);
    mutex->Release();
}

}  // namespace
