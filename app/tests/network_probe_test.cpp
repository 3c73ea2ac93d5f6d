// The network probe driven tick by tick from the test: when the ICMP echo runs, what quality the navigation
// bar is told, and the timers' call-backs against the probe's life time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/network_probe.h"
#include "platform/session_block.h"
#include "transport/channel/network_stats.h"
#include "winapi/windows.h"

namespace {

LRESULT CALLBACK plain_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcW(window, message, wparam, lparam);
}

struct Notice {
    WPARAM quality;
    LPARAM delay_us;
};

class NetworkProbeTest : public testing::Test {
protected:
    void SetUp() override {
        SessionBlock::clear();
        reset_stats();
        WNDCLASSW window_class = {};
        window_class.lpfnWndProc = plain_window_proc;
        window_class.lpszClassName = u"ProbeTestNavBar";
        RegisterClassW(&window_class);
        nav_bar = CreateWindowExW(0, u"ProbeTestNavBar", u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
        ASSERT_NE(nav_bar, nullptr);
        NetworkProbe::set_nav_bar_window(nav_bar);
        drain();
    }
    void TearDown() override {
        NetworkProbe::set_nav_bar_window(nullptr);
        DestroyWindow(nav_bar);
        SessionBlock::clear();
    }

    static void reset_stats() {
        NetworkStatsLock lock;
        lock.stats() = NetworkStats();
    }
    static void set_last_answered(uint32_t id) {
        NetworkStatsLock lock;
        lock.stats().last_pong_id = id;
    }

    // Every 0x909 queued on the test thread (the window's and any thread message).
    std::vector<Notice> drain() {
        std::vector<Notice> notices;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, NetworkProbe::WM_NETWORK_QUALITY, NetworkProbe::WM_NETWORK_QUALITY,
                            PM_REMOVE)) {
            notices.push_back(Notice{msg.wParam, msg.lParam});
        }
        return notices;
    }

    HWND nav_bar = nullptr;
    std::vector<uint32_t> posted;
    int icmp_calls = 0;
    bool icmp_answers = true;
    double icmp_ms = 5;
    bool pc_in_one = false;
    NetworkProbe::Hooks hooks{[this](uint32_t id, uint64_t) { posted.push_back(id); },
                              [this](double* ms) {
                                  icmp_calls++;
                                  *ms = icmp_ms;
                                  return icmp_answers;
                              },
                              [this] { return pc_in_one; }};
};

TEST_F(NetworkProbeTest, IcmpRunsOnlyOnceAPingBeforeTheLastIsUnanswered) {
    NetworkProbe probe(hooks);
    // Pongs answer pings 0 to 3; ping 4 stays unanswered.
    for (uint32_t id = 0; id < 5; id++) {
        probe.send_ping();
        if (id <= 3) {
            set_last_answered(id);
        }
    }
    EXPECT_EQ(icmp_calls, 0) << "with last answered 3 ping 4 goes out without an echo";
    probe.send_ping();  // ping 5 with ping 4 outstanding
    EXPECT_EQ(icmp_calls, 1);
    EXPECT_EQ(posted, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(probe.ping_counter(), 6u);

    set_last_answered(5);
    probe.send_ping();
    EXPECT_EQ(icmp_calls, 1) << "answered again: no echo";

    NetworkStatsLock lock;
    EXPECT_EQ(lock.stats().pings_sent, 7u);
    EXPECT_EQ(lock.stats().total_pings_sent, 7u);
}

TEST_F(NetworkProbeTest, RoundTripGivesQualityDelayAndState) {
    struct Case {
        bool answered;
        double round_trip_ms;
        WPARAM quality;
        LPARAM delay_us;
        uint32_t icmp_state;
    } cases[] = {
        {true, 0.0, 5, 0, 1},        {true, 0.4, 5, 400, 1},      {true, 9, 5, 9000, 1},
        {true, 19, 4, 19000, 1},     {true, 49, 3, 49000, 1},     {true, 99, 2, 99000, 1},
        {true, 149, 1, 149000, 1},   {true, 150, 0, 150000, 1},   {true, 999.5, 0, 999500, 1},
        {true, 1000, 0, 1000000, 0}, {true, 4000, 0, 1000000, 0}, {false, 0, 0, 1000000, 0},
    };
    NetworkProbe probe(hooks);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "answered " << c.answered << " round trip " << c.round_trip_ms);
        icmp_answers = c.answered;
        icmp_ms = c.round_trip_ms;
        probe.request_icmp_ping();
        std::vector<Notice> notices = drain();
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].quality, c.quality);
        EXPECT_EQ(notices[0].delay_us, c.delay_us);
        NetworkStatsLock lock;
        EXPECT_EQ(lock.stats().icmp_state, c.icmp_state);
        if (c.icmp_state) {
            EXPECT_EQ(lock.stats().quality, uint32_t(c.quality));
            EXPECT_EQ(lock.stats().delay_us, uint32_t(c.delay_us));
        }
    }
}

TEST_F(NetworkProbeTest, NoticesGoNowhereWithoutANavigationBarOrWhenForbidden) {
    NetworkProbe probe(hooks);
    struct Case {
        const char* name;
        bool nav_bar;
        uint32_t word_880;
        bool pc_in_one;
        bool answered;
        size_t notices;
    } cases[] = {
        {"answered, no window", false, 0, false, true, 0},
        {"unanswered, no window", false, 0, false, false, 0},
        {"unanswered, word 880 in PC-in-one mode", true, 1, true, false, 0},
        {"unanswered, word 880 alone", true, 1, false, false, 1},
        {"unanswered, PC-in-one mode alone", true, 0, true, false, 1},
        {"answered, word 880 in PC-in-one mode", true, 1, true, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NetworkProbe::set_nav_bar_window(c.nav_bar ? nav_bar : nullptr);
        SessionBlock::set_u32(SessionBlock::NO_PROBE_NOTICES, c.word_880);
        pc_in_one = c.pc_in_one;
        icmp_answers = c.answered;
        probe.request_icmp_ping();
        // A null handle must not turn into a thread message on the caller's queue either.
        EXPECT_EQ(drain().size(), c.notices);
    }
}

TEST_F(NetworkProbeTest, OverlappingTicksRunOneAfterTheOther) {
    std::atomic<int> inside{0};
    std::atomic<int> most_inside{0};
    std::mutex ids_lock;
    std::vector<uint32_t> ids;
    NetworkProbe::Hooks slow = hooks;
    slow.post_ping = [&](uint32_t id, uint64_t) {
        int now = ++inside;
        most_inside = std::max(most_inside.load(), now);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        {
            std::lock_guard<std::mutex> lock(ids_lock);
            ids.push_back(id);
        }
        inside--;
    };
    NetworkProbe probe(slow);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++) {
        threads.emplace_back([&probe] { probe.send_ping(); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(most_inside.load(), 1);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{0, 1, 2, 3}));
}

TEST_F(NetworkProbeTest, DestructionWaitsForARunningTick) {
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    NetworkProbe::Hooks slow = hooks;
    slow.post_ping = [&](uint32_t, uint64_t) {
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        finished = true;
    };
    std::unique_ptr<NetworkProbe> probe(new NetworkProbe(slow));
    probe->start_ping_timer();
    ASSERT_TRUE(probe->ping_timer_running());
    for (int i = 0; i < 1000 && !entered; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(entered) << "the ping timer is due at once";
    probe.reset();
    EXPECT_TRUE(finished) << "the probe went while its call-back still ran";
}

TEST_F(NetworkProbeTest, GuestAddressTimerCallsItsRequestOnce) {
    std::atomic<int> calls{0};
    NetworkProbe probe(hooks);
    probe.start_guest_address_timer([&calls] { calls++; });
    probe.start_guest_address_timer([&calls] { calls += 100; });  // already running: ignored
    for (int i = 0; i < 1000 && calls == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    probe.stop();
    EXPECT_EQ(calls.load(), 1) << "due at once, then only after five seconds";
}

}  // namespace
