// A client that connects nowhere, for fuzz targets that hand a channel its messages directly: the channel is
// never connected, nothing is reported anywhere, waits for other channels return at once.
#pragma once

#include "runtime/threads.h"
#include "transport/channel/channel_client.h"

#include <cstdint>
#include <string>

class NullChannelClient : public ChannelClient {
public:
    RedPeer::ConnectionOptions get_connection_options(uint8_t) override {
        return RedPeer::ConnectionOptions(RedPeer::ConnectionOptions::CON_OP_UNSECURE, -1, -1, 0,
                                          RedPeer::HostCheckOptions(), "");
    }
    std::string get_host() override { return "127.0.0.1"; }
    std::string get_password() override { return ""; }
    uint64_t get_vm_id() override { return 1; }
    uint32_t get_connection_id() override { return 1; }
    int get_protocol() override { return 2; }
    void set_protocol(int) override {}
    int get_main_peer_major() override { return 2; }
    SyncInfo get_sync_info(uint8_t, uint8_t) override { return SyncInfo{&_lock, &_condition, &_serial}; }
    void on_channel_disconnected(RedChannel&) override {}
    void wait_for_channels(int, const SpiceWaitForChannel*) override {}
    void migrate_channel(RedChannel&) override {}
    void on_channel_disconnect_mig_src_completed(RedChannel&) override {}
    bool icmp_ping(double*) override { return false; }
    void notify_network_quality(int, uint32_t) override {}
    uint32_t get_mm_time() override { return 0; }
    void set_mm_time(uint32_t) override {}

private:
    Mutex _lock;
    Condition _condition;
    uint64_t _serial = 0;
};
