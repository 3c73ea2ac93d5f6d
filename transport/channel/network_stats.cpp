#include "transport/channel/network_stats.h"

#include "winapi/windows.h"

namespace {

struct StatsRecord {
    StatsRecord() : stats() { InitializeCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    NetworkStats stats;  // guarded by lock
};

StatsRecord& record() {
    // Built on first use, so channel threads never see it half made; never destroyed, so a late reader at
    // exit does not find it gone.
    static StatsRecord* instance = new StatsRecord;
    return *instance;
}

}  // namespace

NetworkStatsLock::NetworkStatsLock() {
    EnterCriticalSection(&record().lock);
}

NetworkStatsLock::~NetworkStatsLock() {
    LeaveCriticalSection(&record().lock);
}

NetworkStats& NetworkStatsLock::stats() {
    return record().stats;
}
