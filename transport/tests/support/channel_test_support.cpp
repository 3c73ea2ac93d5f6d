#include "support/channel_test_support.h"

#include "winapi/windows.h"

#include <algorithm>

namespace channel_test {

bool wait_until(uint32_t timeout_ms, const std::function<bool()>& done) {
    DWORD deadline = GetTickCount() + timeout_ms;
    while (!done()) {
        if (int32_t(deadline - GetTickCount()) <= 0) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

// ---- TestClient ----

RedPeer::ConnectionOptions TestClient::get_connection_options(uint8_t channel_type) {
    return RedPeer::ConnectionOptions(type, port, secure_port, protocol_option, host_auth, "");
}

int TestClient::get_protocol() {
    Lock lock(_lock);
    return _protocol;
}

void TestClient::set_protocol(int protocol) {
    Lock lock(_lock);
    _protocol = protocol;
}

ChannelClient::SyncInfo TestClient::get_sync_info(uint8_t channel_type, uint8_t channel_id) {
    return SyncInfo{&_serial_lock, &_serial_condition, &_serial};
}

void TestClient::on_channel_disconnected(RedChannel& channel) {
    Lock lock(_lock);
    _disconnects++;
    _errors.push_back(channel.get_error());
    _condition.notify_all();
}

void TestClient::wait_for_channels(int wait_count, const SpiceWaitForChannel* wait_list) {
    Lock lock(_lock);
    _waits.assign(wait_list, wait_list + wait_count);
}

void TestClient::migrate_channel(RedChannel& channel) {
    Lock lock(_lock);
    _migrations++;
}

bool TestClient::icmp_ping(double* seconds) {
    Lock lock(_lock);
    _icmp_calls++;
    *seconds = icmp_seconds;
    return icmp_ok;
}

void TestClient::notify_network_quality(int quality, uint32_t delay_us) {
    Lock lock(_lock);
    _qualities.emplace_back(quality, delay_us);
}

int TestClient::disconnects() {
    Lock lock(_lock);
    return _disconnects;
}

std::vector<int> TestClient::errors() {
    Lock lock(_lock);
    return _errors;
}

bool TestClient::wait_disconnects(int count, uint32_t timeout_ms) {
    return wait_until(timeout_ms, [&] { return disconnects() >= count; });
}

uint64_t TestClient::serial() {
    Lock lock(_serial_lock);
    return _serial;
}

std::vector<SpiceWaitForChannel> TestClient::waits() {
    Lock lock(_lock);
    return _waits;
}

int TestClient::migrations() {
    Lock lock(_lock);
    return _migrations;
}

int TestClient::icmp_calls() {
    Lock lock(_lock);
    return _icmp_calls;
}

std::vector<std::pair<int, uint32_t>> TestClient::qualities() {
    Lock lock(_lock);
    return _qualities;
}

// ---- TestChannel ----

TestChannel::TestChannel(TestClient& client, Handler* handler)
    : RedChannel(client, SPICE_CHANNEL_MAIN, 0, handler) {
    handler->set_handler<SPICE_MSG_MIGRATE>(&TestChannel::handle_migrate);
    handler->set_handler<SPICE_MSG_SET_ACK>(&TestChannel::handle_set_ack);
    handler->set_handler<SPICE_MSG_PING>(&TestChannel::handle_ping);
    handler->set_handler<SPICE_MSG_WAIT_FOR_CHANNELS>(&TestChannel::handle_wait_for_channels);
    handler->set_handler<SPICE_MSG_DISCONNECTING>(&TestChannel::handle_disconnect);
    handler->set_handler<SPICE_MSG_NOTIFY>(&TestChannel::handle_notify);
    handler->set_handler<SPICE_MSG_MAIN_PONG>(&TestChannel::handle_pong);
    handler->set_handler<SPICE_MSG_MAIN_MULTI_MEDIA_TIME>(&TestChannel::handle_mm_time);
}

void TestChannel::handle_mm_time(const SpiceMsgMainMultiMediaTime& time) {
    Lock lock(_lock);
    _mm_times.push_back(time.time);
    _condition.notify_all();
}

std::vector<uint32_t> TestChannel::mm_times() {
    Lock lock(_lock);
    return _mm_times;
}

bool TestChannel::wait_mm_time(uint32_t value, uint32_t timeout_ms) {
    return wait_until(timeout_ms, [&] {
        std::vector<uint32_t> times = mm_times();
        return std::find(times.begin(), times.end(), value) != times.end();
    });
}

bool TestChannel::wait_state(int state, uint32_t timeout_ms) {
    return wait_until(timeout_ms, [&] { return get_state() == state; });
}

bool TestChannel::abort_within(uint32_t timeout_ms) {
    return wait_until(timeout_ms, [&] { return abort(); });
}

}  // namespace channel_test
