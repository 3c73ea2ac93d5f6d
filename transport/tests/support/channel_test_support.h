// A main channel client and a main channel for the channel tests: the client records what the channels report
// and answers their requests from fields the test sets; the channel registers the common handlers and records
// the multimedia-time messages (type 106) it receives, which the tests use as probes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/threads.h"
#include "transport/channel/channel_client.h"
#include "transport/channel/message_handler.h"
#include "transport/channel/red_channel.h"

namespace channel_test {

const uint32_t kWaitMs = 5000;

class TestClient : public ChannelClient {
public:
    RedPeer::ConnectionOptions::Type type = RedPeer::ConnectionOptions::CON_OP_UNSECURE;
    int port = -1;
    int secure_port = -1;
    int protocol_option = 0;
    RedPeer::HostCheckOptions host_auth;
    std::string host = "127.0.0.1";
    std::string password = "secret";
    uint64_t vm_id = 0x1122334455667788ull;
    uint32_t connection_id = 0x01020304;
    RedChannelBase* main_channel = nullptr;  // whose remote major the marshallers follow
    bool icmp_ok = false;
    double icmp_seconds = 0;

    RedPeer::ConnectionOptions get_connection_options(uint8_t channel_type) override;
    std::string get_host() override { return host; }
    std::string get_password() override { return password; }
    uint64_t get_vm_id() override { return vm_id; }
    uint32_t get_connection_id() override { return connection_id; }
    int get_protocol() override;
    void set_protocol(int protocol) override;
    int get_main_peer_major() override { return main_channel ? main_channel->get_peer_major() : 2; }
    SyncInfo get_sync_info(uint8_t channel_type, uint8_t channel_id) override;

    void on_channel_disconnected(RedChannel& channel) override;
    void wait_for_channels(int wait_count, const SpiceWaitForChannel* wait_list) override;
    void migrate_channel(RedChannel& channel) override;
    void on_channel_disconnect_mig_src_completed(RedChannel& channel) override {}
    bool icmp_ping(double* seconds) override;
    void notify_network_quality(int quality, uint32_t delay_us) override;
    // A clock that stands still: it reads what was set last.
    uint32_t get_mm_time() override { return _mm_time.load(); }
    void set_mm_time(uint32_t time) override { _mm_time = time; }

    // What was reported, read under the lock.
    int disconnects();
    std::vector<int> errors();
    bool wait_disconnects(int count, uint32_t timeout_ms = kWaitMs);
    uint64_t serial();
    std::vector<SpiceWaitForChannel> waits();
    int migrations();
    int icmp_calls();
    std::vector<std::pair<int, uint32_t>> qualities();

private:
    Mutex _lock;
    Condition _condition;
    int _protocol = 0;
    int _disconnects = 0;
    std::vector<int> _errors;
    std::vector<SpiceWaitForChannel> _waits;
    int _migrations = 0;
    int _icmp_calls = 0;
    std::vector<std::pair<int, uint32_t>> _qualities;

    Mutex _serial_lock;
    Condition _serial_condition;
    uint64_t _serial = 0;
    std::atomic<uint32_t> _mm_time{0};
};

class TestChannel : public RedChannel {
public:
    typedef MessageHandlerImp<TestChannel, SPICE_CHANNEL_MAIN> Handler;

    explicit TestChannel(TestClient& client) : TestChannel(client, new Handler(*this)) {}

    void handle_mm_time(const SpiceMsgMainMultiMediaTime& time);

    // The multimedia times received so far, and a wait for one of them.
    std::vector<uint32_t> mm_times();
    bool wait_mm_time(uint32_t value, uint32_t timeout_ms = kWaitMs);
    bool wait_state(int state, uint32_t timeout_ms = kWaitMs);
    // Repeats abort until the worker is joined; false when it did not end within timeout_ms.
    bool abort_within(uint32_t timeout_ms = kWaitMs);

    int connect_failed_calls() const { return _connect_failed_calls; }

protected:
    void on_connect_failed() override { _connect_failed_calls++; }

private:
    TestChannel(TestClient& client, Handler* handler);

    std::atomic<int> _connect_failed_calls{0};
    Mutex _lock;
    Condition _condition;
    std::vector<uint32_t> _mm_times;
};

// Deadline loops for conditions polled from the test thread.
bool wait_until(uint32_t timeout_ms, const std::function<bool()>& done);

}  // namespace channel_test
