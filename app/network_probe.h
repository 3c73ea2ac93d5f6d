// NetworkProbe: the session's network measurements beside the main channel. Once a second it sends the server
// a ping of its own (client message 7); when pings go unanswered it measures the round trip with an ICMP echo
// and tells the navigation bar the quality (window message 0x909). A second timer asks for the guest's
// address every five seconds. Both are timer-queue timers whose call-backs run on the queues' threads.
//
// The results go to the process-wide network statistics (transport/channel/network_stats.h), whose lock
// exists from the first use on, whoever comes first.
#pragma once

#include "runtime/threads.h"
#include "winapi/windows.h"

#include <atomic>
#include <cstdint>
#include <functional>

class NetworkProbe {
public:
    static const UINT WM_NETWORK_QUALITY = 0x909;  // wParam quality 0..5, lParam delay in microseconds
    static const uint32_t PING_PERIOD_MS = 1000;
    static const uint32_t GUEST_ADDRESS_PERIOD_MS = 5000;

    struct Hooks {
        // Queues client message 7 (ping id, performance-counter value) on the main channel.
        std::function<void(uint32_t id, uint64_t counter)> post_ping;
        // An ICMP echo to the session's host: true with the round trip in milliseconds.
        std::function<bool(double* round_trip_ms)> icmp_ping;
        // The maker's PC-in-one desktop mode (never on this platform unless a test says so).
        std::function<bool()> pc_in_one_mode;
    };

    explicit NetworkProbe(const Hooks& hooks);
    // Stops both timers, waiting for a running call-back.
    ~NetworkProbe();

    NetworkProbe(const NetworkProbe&) = delete;
    NetworkProbe& operator=(const NetworkProbe&) = delete;

    // The ping timer: due at once, then every second. Nothing when it runs already; a failure is logged and
    // leaves the probe off.
    void start_ping_timer();
    // The guest-address timer: due at once, then every five seconds, calling request. Nothing when it runs.
    void start_guest_address_timer(const std::function<void()>& request);
    // Deletes both timers; returns once no call-back runs any more. Any thread but the timers' own.
    void stop();
    bool ping_timer_running();

    // One tick of the ping timer. Ticks never overlap, whichever thread runs them.
    void send_ping();
    // The ICMP measurement and its notice to the navigation bar.
    void request_icmp_ping();
    // The id the next ping gets.
    uint32_t ping_counter() const { return _ping_counter; }

    // Quality 5 (best) to 0 from a round trip in whole milliseconds.
    static uint32_t quality_of_round_trip(uint32_t round_trip_ms);

    // The navigation bar's window, set by its launcher; null while there is none. Any thread.
    static void set_nav_bar_window(HWND window);
    static HWND nav_bar_window();
    // Posts 0x909 to the navigation bar; nothing while there is no window (a null handle would post to the
    // calling thread's own queue).
    static void notify_nav_bar(uint32_t quality, uint32_t delay_us);

private:
    static void CALLBACK ping_routine(PVOID parameter, BOOLEAN timer_fired);
    static void CALLBACK guest_address_routine(PVOID parameter, BOOLEAN timer_fired);
    void delete_queue(HANDLE& queue);

    Hooks _hooks;
    Mutex _timers_lock;
    HANDLE _ping_queue;           // guarded by _timers_lock
    HANDLE _guest_address_queue;  // guarded by _timers_lock
    std::function<void()> _guest_address_request;
    Mutex _ping_lock;  // one tick at a time: Windows lets call-backs of one timer overlap
    std::atomic<uint32_t> _ping_counter;
};
