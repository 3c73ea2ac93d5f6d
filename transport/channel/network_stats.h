// The network statistics: one process-wide record, written by the main channel's pong handler and the network
// probe and read by the network dialog and the network state file. Every access holds the record's critical
// section, because those run on different threads.
#pragma once

#include <cstdint>

struct NetworkStats {
    uint32_t pings_sent;
    uint32_t pongs_received;    // answered pings with a delay below 200 ms
    uint32_t delay_us;          // at most 1000000
    uint32_t quality;           // 0 (worst) to 5
    uint32_t icmp_state;        // 1: the last measurement succeeded
    uint32_t last_pong_id;      // id of the last answered ping
    uint32_t total_pings_sent;  // never reset
};

// Holds the record's critical section for its lifetime.
class NetworkStatsLock {
public:
    NetworkStatsLock();
    ~NetworkStatsLock();

    NetworkStatsLock(const NetworkStatsLock&) = delete;
    NetworkStatsLock& operator=(const NetworkStatsLock&) = delete;

    NetworkStats& stats();
};
