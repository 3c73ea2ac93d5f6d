#include "app/network_probe.h"

#include "platform/session_block.h"
#include "runtime/log.h"
#include "transport/channel/network_stats.h"

namespace {

std::atomic<HWND> nav_bar{nullptr};

const uint32_t UNANSWERED_DELAY_US = 1000000;

}  // namespace

NetworkProbe::NetworkProbe(const Hooks& hooks)
    : _hooks(hooks), _ping_queue(nullptr), _guest_address_queue(nullptr), _ping_counter(0) {}

NetworkProbe::~NetworkProbe() {
    stop();
}

void NetworkProbe::set_nav_bar_window(HWND window) {
    nav_bar = window;
}

HWND NetworkProbe::nav_bar_window() {
    return nav_bar;
}

void NetworkProbe::notify_nav_bar(uint32_t quality, uint32_t delay_us) {
    HWND window = nav_bar;
    if (!window) {
        return;
    }
    PostMessageW(window, WM_NETWORK_QUALITY, WPARAM(quality), LPARAM(delay_us));
}

uint32_t NetworkProbe::quality_of_round_trip(uint32_t round_trip_ms) {
    static const uint32_t kBounds[] = {10, 20, 50, 100, 150};
    uint32_t quality = 5;
    for (uint32_t bound : kBounds) {
        if (round_trip_ms < bound) {
            return quality;
        }
        quality--;
    }
    return 0;
}

// ---- Timers ----

void CALLBACK NetworkProbe::ping_routine(PVOID parameter, BOOLEAN) {
    if (!parameter) {
        LOG_ERROR("TimerPing lpParam is NULL");
        return;
    }
    static_cast<NetworkProbe*>(parameter)->send_ping();
}

void CALLBACK NetworkProbe::guest_address_routine(PVOID parameter, BOOLEAN) {
    if (!parameter) {
        LOG_ERROR("TimerRoutine lpParam is NULL");
        return;
    }
    NetworkProbe* probe = static_cast<NetworkProbe*>(parameter);
    if (probe->_guest_address_request) {
        probe->_guest_address_request();
    }
}

void NetworkProbe::start_ping_timer() {
    // The statistics lock is made on first use, so the network dialog can read the record before any ping.
    { NetworkStatsLock touch; }
    Lock lock(_timers_lock);
    if (_ping_queue) {
        return;
    }
    HANDLE queue = CreateTimerQueue();
    if (!queue) {
        LOG_ERROR("Create ping timer queue failed (%d)", int(GetLastError()));
        return;
    }
    HANDLE timer = nullptr;
    if (!CreateTimerQueueTimer(&timer, queue, ping_routine, this, 0, PING_PERIOD_MS, WT_EXECUTEDEFAULT)) {
        LOG_ERROR("CreateTimerQueue failed (%d)", int(GetLastError()));
        DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE);
        return;
    }
    _ping_queue = queue;
}

void NetworkProbe::start_guest_address_timer(const std::function<void()>& request) {
    Lock lock(_timers_lock);
    if (_guest_address_queue) {
        return;
    }
    HANDLE queue = CreateTimerQueue();
    if (!queue) {
        LOG_ERROR("CreateTimerQueue failed (%d)", int(GetLastError()));
        return;
    }
    _guest_address_request = request;
    HANDLE timer = nullptr;
    if (!CreateTimerQueueTimer(&timer, queue, guest_address_routine, this, 0, GUEST_ADDRESS_PERIOD_MS,
                               WT_EXECUTEDEFAULT)) {
        LOG_ERROR("CreateTimerQueue failed (%d)", int(GetLastError()));
        DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE);
        return;
    }
    _guest_address_queue = queue;
}

bool NetworkProbe::ping_timer_running() {
    Lock lock(_timers_lock);
    return _ping_queue != nullptr;
}

void NetworkProbe::delete_queue(HANDLE& queue) {
    if (queue) {
        // INVALID_HANDLE_VALUE: returns once a running call-back has ended, so what it uses may go after.
        DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE);
        queue = nullptr;
    }
}

void NetworkProbe::stop() {
    Lock lock(_timers_lock);
    delete_queue(_ping_queue);
    delete_queue(_guest_address_queue);
}

// ---- Ping and ICMP ----

void NetworkProbe::send_ping() {
    Lock tick(_ping_lock);
    uint32_t id = _ping_counter;
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint32_t last_answered;
    {
        NetworkStatsLock lock;
        last_answered = lock.stats().last_pong_id;
    }
    // Unsigned as the ids are: a ping before the last answered one is still outstanding.
    if (id > last_answered + 1) {
        request_icmp_ping();
    }
    _ping_counter = id + 1;
    if (_hooks.post_ping) {
        _hooks.post_ping(id, uint64_t(counter.QuadPart));
    }
    NetworkStatsLock lock;
    lock.stats().pings_sent++;
    lock.stats().total_pings_sent++;
}

void NetworkProbe::request_icmp_ping() {
    double round_trip_ms = 0;
    bool answered = _hooks.icmp_ping && _hooks.icmp_ping(&round_trip_ms);
    if (answered) {
        LOG_INFO("icmp %lf", round_trip_ms * 1000);
    }
    if (answered && round_trip_ms >= 0 && round_trip_ms / 1000 < 1.0) {
        uint32_t delay_us = uint32_t(round_trip_ms * 1000);
        uint32_t quality = quality_of_round_trip(uint32_t(round_trip_ms));
        {
            NetworkStatsLock lock;
            lock.stats().icmp_state = 1;
            lock.stats().delay_us = delay_us;
            lock.stats().quality = quality;
        }
        notify_nav_bar(quality, delay_us);
        return;
    }
    {
        NetworkStatsLock lock;
        lock.stats().icmp_state = 0;
    }
    bool pc_in_one = _hooks.pc_in_one_mode && _hooks.pc_in_one_mode();
    if (SessionBlock::no_probe_notices() != 0 && pc_in_one) {
        return;
    }
    notify_nav_bar(0, UNANSWERED_DELAY_US);
}
