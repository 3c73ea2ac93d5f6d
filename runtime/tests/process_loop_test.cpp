#include "loop_helpers.h"

#include "runtime/exception.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

using testing::HasSubstr;

namespace {

TEST(ProcessLoopTest, EventPushedByAResponseWaitsForTheNextPass) {
    ProcessLoop loop(nullptr);
    std::vector<std::string> ran;
    post(loop, [&](AbstractProcessLoop&) {
        ran.push_back("first");
        post(loop, [&](AbstractProcessLoop&) { ran.push_back("pushed by first"); });
    });
    post(loop, [&](AbstractProcessLoop&) { ran.push_back("second"); });

    loop.run_queued_events();
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second"}));
    loop.run_queued_events();
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "pushed by first"}));
}

TEST(ProcessLoopTest, EventLeftForTheNextPassDoesNotWaitForAWakeup) {
    LoopThread thread;
    // The event pushed by the first response finds the second still queued, so the push itself does not
    // fire the wakeup trigger: the end of the pass must.
    post(thread.loop, [&](AbstractProcessLoop&) {
        post(thread.loop, [](AbstractProcessLoop& loop) { loop.do_quit(3); });
    });
    post(thread.loop, [](AbstractProcessLoop&) {});
    thread.start();
    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
    EXPECT_EQ(exit_code, 3);
}

TEST(ProcessLoopTest, FirstQuitCodeWins) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    LoopThread thread;
    post(thread.loop, [released](AbstractProcessLoop&) { released.wait(); });
    thread.start();

    // Both quits are queued while the loop is busy, each from a thread of its own.
    std::thread([&] { thread.loop.quit(5); }).join();
    std::thread([&] { thread.loop.quit(7); }).join();
    release.set_value();

    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
    EXPECT_EQ(exit_code, 5);
}

TEST(ProcessLoopTest, QuitMessageFromTheLoopThreadEndsRunBeforeDueTimers) {
    std::atomic<int> timer_runs{0};
    LoopThread thread;
    FunctionTimer* timer = new FunctionTimer([&](AbstractProcessLoop&) { timer_runs++; });
    post(thread.loop, [&](AbstractProcessLoop&) {
        thread.loop.arm_timer(timer, 1);
        Sleep(20);
        PostQuitMessage(9);
    });
    thread.start();
    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
    // The message's own code is not the loop's: no quit was requested.
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(timer_runs, 0);
    thread.loop.disarm_timer(timer);
    timer->unref();
}

TEST(ProcessLoopTest, QuitMessageFromAnotherThreadEndsAnIdleLoop) {
    std::promise<DWORD> loop_thread;
    std::future<DWORD> loop_thread_id = loop_thread.get_future();
    LoopThread thread;
    post(thread.loop, [&](AbstractProcessLoop&) { loop_thread.set_value(GetCurrentThreadId()); });
    thread.start();
    DWORD thread_id = loop_thread_id.get();
    thread.wait_running();

    ASSERT_TRUE(PostThreadMessageW(thread_id, WM_QUIT, 0, 0));
    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
    EXPECT_EQ(exit_code, 0);
}

TEST(ProcessLoopTest, KnowsItsThreadOnceRunning) {
    int owner;
    std::promise<bool> same;
    std::future<bool> same_result = same.get_future();
    LoopThread thread(&owner);
    EXPECT_FALSE(thread.loop.is_same_thread(GetCurrentThreadId()));
    post(thread.loop, [&](AbstractProcessLoop& loop) {
        same.set_value(loop.is_same_thread(GetCurrentThreadId()) && loop.get_owner() == &owner);
    });
    thread.start();
    EXPECT_TRUE(same_result.get());
    EXPECT_FALSE(thread.loop.is_same_thread(GetCurrentThreadId()));
}

enum class Outcome { done, exception, other_throw };

class TestSyncEvent : public SyncEvent {
public:
    explicit TestSyncEvent(Outcome outcome) : _outcome(outcome) {}

protected:
    void do_response(AbstractProcessLoop&) override {
        if (_outcome == Outcome::exception) {
            THROW("surface %d refused", 4);
        }
        if (_outcome == Outcome::other_throw) {
            throw std::runtime_error("not ours");
        }
    }

private:
    Outcome _outcome;
};

TEST(ProcessLoopTest, SyncEventReleasesItsPosterWhateverItsWorkDoes) {
    struct Case {
        Outcome outcome;
        bool failed;
        const char* warning;
    };
    const Case cases[] = {
        {Outcome::done, false, nullptr},
        {Outcome::exception, true, "unhandled exception: surface 4 refused{exception "},
        {Outcome::other_throw, true, nullptr},
    };
    LoopThread thread;
    thread.start();
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.outcome));
        testing::internal::CaptureStderr();
        TestSyncEvent* event = new TestSyncEvent(c.outcome);
        ProcessLoop* loop = &thread.loop;
        std::future<bool> failed = detached([loop, event] {
            loop->push_event(event);
            event->wait();
            return event->failed();
        });
        ASSERT_EQ(failed.wait_for(std::chrono::seconds(2)), std::future_status::ready);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(failed.get(), c.failed);
        if (c.warning) {
            EXPECT_THAT(err, HasSubstr(c.warning));
        }
        event->unref();
    }
    // The loop went on.
    thread.loop.quit(0);
    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
}

TEST(ProcessLoopTest, DestroyedLoopReleasesWaitingPosterAndTimers) {
    ProcessLoop* loop = new ProcessLoop(nullptr);
    TestSyncEvent* event = new TestSyncEvent(Outcome::done);
    loop->push_event(event);
    std::future<bool> failed = detached([event] {
        event->wait();
        return event->failed();
    });
    FunctionTimer* timer = new FunctionTimer([](AbstractProcessLoop&) {});
    loop->arm_timer(timer, 1000);

    delete loop;
    ASSERT_EQ(failed.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_TRUE(failed.get());
    EXPECT_FALSE(timer->is_armed());
    event->unref();
    timer->unref();
}

}  // namespace
