#include "loop_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace {

class RecordingTimer : public Timer {
public:
    RecordingTimer(std::vector<RecordingTimer*>& record) : _record(record) {}
    void response(AbstractProcessLoop&) override { _record.push_back(this); }

private:
    std::vector<RecordingTimer*>& _record;
};

struct DueCase {
    const char* name;
    bool arm;
    uint32_t interval_ms;
    DWORD sleep_ms;
    uint32_t lowest;
    uint32_t highest;
};

TEST(TimersQueueTest, TimeToNextDueIsFiniteUnlessNothingIsArmed) {
    const DueCase cases[] = {
        {"nothing armed", false, 0, 0, INFINITE, INFINITE},
        {"due", true, 1, 20, 0, 0},
        {"pending", true, 10000, 0, 8000, 10000},
        // Expiring after the longest 32-bit time-out must not turn into an infinite wait.
        {"longest interval", true, 0xFFFFFFFFu, 0, 0xFFFF0000u, INFINITE - 1},
    };
    for (const DueCase& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessLoop loop(nullptr);
        TimersQueue& queue = loop.get_timers_queue();
        FunctionTimer* timer = new FunctionTimer([](AbstractProcessLoop&) {});
        if (c.arm) {
            queue.arm_timer(timer, c.interval_ms);
        }
        Sleep(c.sleep_ms);
        uint32_t timeout = queue.time_to_next_due();
        EXPECT_GE(timeout, c.lowest);
        EXPECT_LE(timeout, c.highest);
        queue.disarm_timer(timer);
        timer->unref();
    }
}

TEST(TimersQueueTest, ZeroIntervalRunsOncePerPass) {
    ProcessLoop loop(nullptr);
    TimersQueue& queue = loop.get_timers_queue();
    int runs = 0;
    FunctionTimer* timer = new FunctionTimer([&runs](AbstractProcessLoop&) { runs++; });
    queue.arm_timer(timer, 0);
    Sleep(5);
    queue.run_due_timers();
    EXPECT_EQ(runs, 1);
    queue.disarm_timer(timer);
    timer->unref();
}

TEST(TimersQueueTest, EqualExpirationsRunInAddressOrder) {
    ProcessLoop loop(nullptr);
    TimersQueue& queue = loop.get_timers_queue();
    std::vector<RecordingTimer*> record;
    RecordingTimer* first = new RecordingTimer(record);
    RecordingTimer* second = new RecordingTimer(record);
    if (std::less<RecordingTimer*>()(second, first)) {
        std::swap(first, second);
    }
    // Armed higher address first, within one tick of the clock, so both get the same expiration.
    ULONGLONG armed_at;
    do {
        armed_at = GetTickCount64();
        queue.arm_timer(second, 10);
        queue.arm_timer(first, 10);
    } while (GetTickCount64() != armed_at);
    Sleep(30);
    queue.run_due_timers();
    EXPECT_EQ(record, (std::vector<RecordingTimer*>{first, second}));
    queue.disarm_timer(first);
    queue.disarm_timer(second);
    first->unref();
    second->unref();
}

TEST(TimersQueueTest, OverrunningResponseSkipsMissedPeriods) {
    std::vector<ULONGLONG> starts;
    LoopThread thread;
    FunctionTimer* timer = new FunctionTimer([&starts](AbstractProcessLoop& loop) {
        starts.push_back(GetTickCount64());
        if (starts.size() == 1) {
            Sleep(250);
        }
        if (starts.size() == 3) {
            loop.do_quit(0);
        }
    });
    thread.loop.arm_timer(timer, 100);
    thread.start();
    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
    ASSERT_EQ(starts.size(), 3u);
    // The overdue run comes at once; the one after it a whole interval later, not in a burst.
    EXPECT_GE(starts[1] - starts[0], 250u);
    EXPECT_GE(starts[2] - starts[1], 95u);
    thread.loop.disarm_timer(timer);
    timer->unref();
}

TEST(TimersQueueTest, RearmFromResponseRestartsFromNow) {
    std::vector<ULONGLONG> starts;
    ULONGLONG rearmed_at = 0;
    LoopThread thread;
    FunctionTimer* timer = nullptr;
    timer = new FunctionTimer([&](AbstractProcessLoop& loop) {
        starts.push_back(GetTickCount64());
        if (starts.size() == 1) {
            rearmed_at = GetTickCount64();
            thread.loop.arm_timer(timer, 300);
        } else {
            loop.do_quit(0);
        }
    });
    thread.loop.arm_timer(timer, 50);
    thread.start();
    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_GE(starts[1] - rearmed_at, 300u);
    thread.loop.disarm_timer(timer);
    timer->unref();
}

TEST(TimersQueueTest, TimerDisarmedByItsResponseDoesNotRunAgain) {
    int runs = 0;
    LoopThread thread;
    FunctionTimer* timer = nullptr;
    timer = new FunctionTimer([&](AbstractProcessLoop&) {
        thread.loop.disarm_timer(timer);
        runs++;  // reads the response's own captures after the disarm
    });
    // The loop's queue holds the only reference left: the timer must outlive its own response.
    thread.loop.arm_timer(timer, 20);
    timer->unref();
    FunctionTimer* end = new FunctionTimer([](AbstractProcessLoop& loop) { loop.do_quit(0); });
    thread.loop.arm_timer(end, 300);
    thread.start();
    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
    EXPECT_EQ(runs, 1);
    thread.loop.disarm_timer(end);
    end->unref();
}

TEST(TimersQueueTest, ArmingFromAnotherThreadWakesAnIdleLoop) {
    std::promise<ULONGLONG> ran;
    std::future<ULONGLONG> ran_at = ran.get_future();
    LoopThread thread;
    thread.start();
    thread.wait_running();
    FunctionTimer* timer = new FunctionTimer([&ran](AbstractProcessLoop& loop) {
        ran.set_value(GetTickCount64());
        loop.do_quit(0);
    });
    ULONGLONG armed_at = GetTickCount64();
    thread.loop.arm_timer(timer, 33);
    ASSERT_EQ(ran_at.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_GE(ran_at.get() - armed_at, 33u);
    int exit_code;
    ASSERT_TRUE(thread.ended(&exit_code));
    thread.loop.disarm_timer(timer);
    timer->unref();
}

}  // namespace
