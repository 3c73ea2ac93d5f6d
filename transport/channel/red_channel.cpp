#include "transport/channel/red_channel.h"

#include "platform/session_block.h"
#include "runtime/log.h"
#include "transport/channel/network_stats.h"

#include "winapi/windows.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Windows thread priorities of the worker priorities 1 (highest) to 7 (lowest).
const int kThreadPriorities[] = {
    THREAD_PRIORITY_TIME_CRITICAL, THREAD_PRIORITY_HIGHEST,      THREAD_PRIORITY_ABOVE_NORMAL,
    THREAD_PRIORITY_NORMAL,        THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_LOWEST,
    THREAD_PRIORITY_IDLE,
};

const uint64_t kAbortWaitNs = 100ull * 1000 * 1000;
const uint32_t kDisException = 0x90100100;

// The pong handler's three-sample window and its counter; touched only by the main channel's thread.
double g_pong_samples[3];
unsigned g_pong_count;

// The bytes of an outgoing message from an offset on, as one block for send.
class FlatMessage {
public:
    FlatMessage(SpiceMarshaller* marshaller, size_t skip) {
        _data = spice_marshaller_flatten(marshaller, skip, &_size, &_free);
    }
    ~FlatMessage() {
        if (_free) {
            free(_data);
        }
    }
    FlatMessage(const FlatMessage&) = delete;
    FlatMessage& operator=(const FlatMessage&) = delete;

    const uint8_t* data() const { return _data; }
    uint32_t size() const { return uint32_t(_size); }

private:
    uint8_t* _data;
    size_t _size;
    int _free;
};

// Drops the reference to a received message also when its handler throws.
class MessageRef {
public:
    explicit MessageRef(RedPeer::CompoundInMessage* message) : _message(message) {}
    ~MessageRef() {
        if (_message) {
            _message->unref();
        }
    }
    MessageRef(const MessageRef&) = delete;
    MessageRef& operator=(const MessageRef&) = delete;

    RedPeer::CompoundInMessage* get() { return _message; }

private:
    RedPeer::CompoundInMessage* _message;
};

int quality_of_average(double average) {
    uint64_t ms = uint64_t(average * 1000);
    if (ms < 10) {
        return 5;
    }
    if (ms < 20) {
        return 4;
    }
    if (ms < 50) {
        return 3;
    }
    if (ms < 100) {
        return 2;
    }
    if (ms < 150) {
        return 1;
    }
    return 0;
}

}  // namespace

// ---- Triggers, timer and events of the channel's loop ----

void RedChannel::SendTrigger::on_event() {
    _channel.send_and_resume_receive();
}

void RedChannel::AbortTrigger::on_event() {
    THROW("abort");
}

void RedChannel::HeartBeatTimer::response(AbstractProcessLoop& events_loop) {
    if (!_channel) {
        LOG_WARN("heart beat: channel is null!");
        return;
    }
    _channel->OnHeartBeat();
}

class RedChannel::MigrationDisconnectSrcEvent : public Event {
public:
    explicit MigrationDisconnectSrcEvent(RedChannel& channel) : _channel(channel) {}
    void response(AbstractProcessLoop& events_loop) override { _channel.do_migration_disconnect_src(); }

private:
    RedChannel& _channel;
};

class RedChannel::MigrationConnectTargetEvent : public Event {
public:
    explicit MigrationConnectTargetEvent(RedChannel& channel) : _channel(channel) {}
    void response(AbstractProcessLoop& events_loop) override { _channel.do_migration_connect_target(); }

private:
    RedChannel& _channel;
};

// ---- Life cycle ----

RedChannel::RedChannel(ChannelClient& client, uint8_t type, uint8_t id, MessageHandler* handler,
                       int worker_priority)
    : RedChannelBase(type, id, ChannelCaps(), ChannelCaps()),
      _marshallers(nullptr),
      _loop(this),
      _client(client),
      _state(NEW),
      _action(NONE),
      _error(0),
      _thread_joinable(true),
      _socket_in_loop(false),
      _worker_priority(worker_priority),
      _message_handler(handler),
      _sync_info{nullptr, nullptr, nullptr},
      _message_serial(0),
      _outgoing_bytes(0),
      _receive_paused(false),
      _outgoing_message(nullptr),
      _outgoing_pos(0),
      _incoming_header_pos(0),
      _incoming_message(nullptr),
      _incoming_message_pos(0),
      _message_ack_count(0),
      _message_ack_window(0),
      _send_trigger(*this),
      _disconnect_stamp(0),
      _disconnect_reason(0),
      _heart_beat_timer(new HeartBeatTimer(this)),
      _heart_beat_armed(false) {
    _loop.add_trigger(_send_trigger);
    _loop.add_trigger(_abort_trigger);
    caps_set(get_common_caps(), SPICE_COMMON_CAP_MINI_HEADER);
    caps_set(get_common_caps(), SPICE_COMMON_CAP_MAKER);
}

RedChannel::~RedChannel() {
    if (_worker && _thread_joinable) {
        // Only a last resort: the worker may still be inside an override of a class already destroyed.
        LOG_WARN("%s(id:%u) destroyed before it was aborted", channel_type_name(get_type()), get_id());
        while (!abort()) {
        }
    }
    if (_heart_beat_armed) {
        _loop.disarm_timer(_heart_beat_timer);
    }
    _heart_beat_timer->unref();
    _loop.remove_trigger(_send_trigger);
    _loop.remove_trigger(_abort_trigger);
    clear_outgoing_messages();
    release_partial_messages();
}

void RedChannel::start() {
    _worker.reset(new Thread(worker_main, this));
    Lock lock(_state_lock);
    while (_state == NEW) {
        _state_condition.wait(lock);
    }
}

void RedChannel::set_state(int state) {
    Lock lock(_state_lock);
    _state = state;
    _state_condition.notify_all();
}

void* RedChannel::worker_main(void* arg) {
    RedChannel* channel = static_cast<RedChannel*>(arg);
    try {
        channel->set_state(DISCONNECTED);
        int priority = channel->_worker_priority;
        if (priority < 1 || priority > 7) {
            THROW("invalid priority %d", priority);
        }
        SetThreadPriority(GetCurrentThread(), kThreadPriorities[priority - 1]);
        channel->run();
    } catch (std::exception& e) {
        LOG_ERROR("unhandled exception: %s", e.what());
    } catch (...) {
        LOG_ERROR("unhandled exception");
    }
    // However the worker ended, it takes no more actions: abort must be able to see that and join it.
    channel->set_state(TERMINATED);
    return nullptr;
}

void RedChannel::connect() {
    Lock lock(_action_lock);
    if ((_state != NEW && _state != DISCONNECTED) || _action == QUIT) {
        return;
    }
    _action = CONNECT;
    _action_condition.notify_one();
}

void RedChannel::disconnect() {
    clear_outgoing_messages();
    Lock lock(_action_lock);
    if ((_state != CONNECTING && _state != CONNECTED) || _action == QUIT) {
        return;
    }
    _action = DISCONNECT;
    shutdown();
    _action_condition.notify_one();
}

bool RedChannel::abort() {
    clear_outgoing_messages();
    Lock lock(_action_lock);
    if (_state != NEW && _state != TERMINATED) {
        _action = QUIT;
        _action_condition.notify_one();
        lock.unlock();
        shutdown();
        _abort_trigger.trigger();
        {
            Lock state_lock(_state_lock);
            while (_state != TERMINATED) {
                if (!_state_condition.timed_wait(state_lock, kAbortWaitNs) && _state != TERMINATED) {
                    return false;
                }
            }
        }
        lock.lock();
    }
    if (_worker && _thread_joinable) {
        _worker->join();
        _thread_joinable = false;
    }
    return true;
}

void RedChannel::run() {
    for (;;) {
        int action;
        {
            Lock lock(_action_lock);
            if (_action == NONE) {
                _action_condition.wait(lock);
            }
            action = _action;
            _action = NONE;
        }
        switch (action) {
            case CONNECT:
                run_connection();
                end_connection();
                break;
            case DISCONNECT:
                // Taken only between connections: the connection it asked to end has ended and was reported
                // already.
                LOG_DEBUG("%s(id:%u): disconnect after the connection ended", channel_type_name(get_type()),
                          get_id());
                break;
            case QUIT:
                set_state(TERMINATED);
                return;
            default:
                break;
        }
    }
}

void RedChannel::run_connection() {
    try {
        _sync_info = _client.get_sync_info(get_type(), get_id());
        _message_ack_count = 0;
        _message_ack_window = 0;
        on_connecting();
        set_state(CONNECTING);

        RedPeer::ConnectionOptions options = _client.get_connection_options(get_type());
        std::string host = _client.get_host();
        std::string password = _client.get_password();
        RedChannelBase::connect(options, _client.get_connection_id(), host.c_str(), password.c_str(),
                                _client.get_vm_id());
        if (_client.get_protocol() == 0) {
            _client.set_protocol(get_peer_major() == 1 ? 1 : 2);
        }
        set_marshallers();
        on_connect();

        uint32_t interval = SessionBlock::heartbeat_interval();
        if (peer_has_common_capability(SPICE_COMMON_CAP_HEARTBEAT) && interval > 0) {
            uint64_t ms = std::min<uint64_t>(uint64_t(interval) * 1000, UINT32_MAX);
            _loop.arm_timer(_heart_beat_timer, uint32_t(ms));
            _heart_beat_armed = true;
        }
        set_state(CONNECTED);

        _loop.add_socket(*this);
        _socket_in_loop = true;
        on_socket_ready();
        drain_tunnel();
        on_event();
        _loop.run();
    } catch (RedPeer::DisconnectedException& e) {
        _error = e.get_error_code();
        LOG_ERROR("catch DisException so conn klq disconnect(detail:%s).[ERROR_CODE:0x%08x]", e.what(),
                  kDisException);
    } catch (Exception& e) {
        LOG_ERROR("catch Exception so conn klq disconnect!(detail:%s).", e.what());
        _error = e.get_error_code();
    } catch (std::exception& e) {
        LOG_ERROR("catch std::exception so conn klq disconnect!(detail:%s)", e.what());
        _error = SPICEC_ERROR_CODE_ERROR;
    }
    if (_socket_in_loop) {
        _socket_in_loop = false;
        try {
            _loop.remove_socket(*this);
        } catch (Exception& e) {
            LOG_WARN("%s", e.what());
        }
    }
    release_partial_messages();
}

// Runs after every connection attempt, made or not: the client hears of each ended connection exactly once.
void RedChannel::end_connection() {
    close();
    on_disconnect();
    if (_heart_beat_armed) {
        _loop.disarm_timer(_heart_beat_timer);
        _heart_beat_armed = false;
    }
    set_state(DISCONNECTED);
    _client.on_channel_disconnected(*this);
}

// Every channel follows the main channel's generation.
void RedChannel::set_marshallers() {
    _marshallers = _client.get_main_peer_major() == 1 ? spice_message_marshallers_get1()
                                                      : spice_message_marshallers_get();
}

// Bytes the tunnel already deciphered do not signal the socket again.
void RedChannel::drain_tunnel() {
    uint64_t pending = tunnel_pending_bytes();
    while (is_tunnelled() && pending > 0) {
        on_event();
        uint64_t left = tunnel_pending_bytes();
        if (left >= pending) {
            break;
        }
        pending = left;
    }
}

// ---- Outgoing messages ----

namespace {

size_t queued_cost(RedChannel::OutMessage* message) {
    return spice_marshaller_get_total_size(message->peer_message().marshaller()) +
           RedChannel::OUTGOING_MESSAGE_COST;
}

}  // namespace

void RedChannel::post_message(OutMessage* message) {
    {
        Lock lock(_outgoing_lock);
        _outgoing_messages.push_back(message);
        _outgoing_bytes += queued_cost(message);
    }
    _send_trigger.trigger();
}

void RedChannel::clear_outgoing_messages() {
    std::list<OutMessage*> dropped;
    {
        Lock lock(_outgoing_lock);
        dropped.swap(_outgoing_messages);
        _outgoing_bytes = 0;
    }
    for (OutMessage* message : dropped) {
        message->release();
    }
}

void RedChannel::on_event() {
    if (_outgoing_message) {
        send_messages_resume();
    }
    send_messages();
    receive_messages();
}

// The half-sent message continues where the last would-block left it.
void RedChannel::send_messages_resume() {
    SpiceMarshaller* marshaller = _outgoing_message->peer_message().marshaller();
    FlatMessage flat(marshaller, _outgoing_pos);
    _outgoing_pos += send(flat.data(), flat.size());
    if (_outgoing_pos >= spice_marshaller_get_total_size(marshaller)) {
        OutMessage* message = _outgoing_message;
        _outgoing_message = nullptr;
        _outgoing_pos = 0;
        message->release();
    }
}

void RedChannel::send_messages() {
    while (!_outgoing_message) {
        {
            Lock lock(_outgoing_lock);
            if (_state != CONNECTED || _outgoing_messages.empty()) {
                return;
            }
            // Held as the half-sent message from here, so that a failing send cannot lose it.
            _outgoing_message = _outgoing_messages.front();
            _outgoing_messages.pop_front();
            _outgoing_bytes -= queued_cost(_outgoing_message);
        }
        _outgoing_pos = 0;
        _outgoing_message->peer_message().set_body_size();
        send_messages_resume();
    }
}

void RedChannel::send_and_resume_receive() {
    send_messages();
    // A pause ends only here or at a socket event: data left unread in the socket signals nothing new.
    if (_receive_paused && _socket_in_loop) {
        receive_messages();
    }
}

bool RedChannel::receive_paused() {
    Lock lock(_outgoing_lock);
    if (_receive_paused) {
        if (_outgoing_bytes > OUTGOING_RESUME) {
            return true;
        }
        _receive_paused = false;
        LOG_DEBUG("%s(id:%u): outgoing queue drained, reading again", channel_type_name(get_type()),
                  get_id());
    } else if (_outgoing_bytes >= OUTGOING_LIMIT) {
        _receive_paused = true;
        LOG_DEBUG("%s(id:%u): outgoing queue holds %zu bytes, reading paused until it drains",
                  channel_type_name(get_type()), get_id(), _outgoing_bytes);
    }
    return _receive_paused;
}

void RedChannel::send_blocking(RedPeer::OutMessage& message) {
    message.set_body_size();
    FlatMessage flat(message.marshaller(), 0);
    if (send(flat.data(), flat.size()) != flat.size()) {
        THROW_ERR(SPICEC_ERROR_CODE_SEND_FAILED, "short blocking send");
    }
}

void RedChannel::finish_outgoing_blocking() {
    if (_outgoing_message) {
        FlatMessage flat(_outgoing_message->peer_message().marshaller(), _outgoing_pos);
        if (send(flat.data(), flat.size()) != flat.size()) {
            THROW_ERR(SPICEC_ERROR_CODE_SEND_FAILED, "short blocking send");
        }
        OutMessage* message = _outgoing_message;
        _outgoing_message = nullptr;
        _outgoing_pos = 0;
        message->release();
    }
    for (;;) {
        OutMessage* message;
        {
            Lock lock(_outgoing_lock);
            if (_state != CONNECTED || _outgoing_messages.empty()) {
                return;
            }
            message = _outgoing_messages.front();
            _outgoing_messages.pop_front();
            _outgoing_bytes -= queued_cost(message);
        }
        _outgoing_message = message;
        _outgoing_pos = 0;
        send_blocking(message->peer_message());
        _outgoing_message = nullptr;
        message->release();
    }
}

// ---- Incoming messages ----

// Message by message, until the socket would block or the outgoing queue is full: the server's messages
// (pings, acknowledgement windows) add to the queue, and a server that does not read what it asked for must
// not make it grow without bound.
void RedChannel::receive_messages() {
    for (;;) {
        if (receive_paused()) {
            return;
        }
        if (!_incoming_message) {
            _incoming_message = receive_header();
            if (!_incoming_message) {
                return;
            }
            _incoming_message_pos = 0;
        }
        uint32_t size = _incoming_message->body_size();
        if (_incoming_message_pos < size) {
            _incoming_message_pos +=
                receive(_incoming_message->data() + _incoming_message_pos, size - _incoming_message_pos);
            if (_incoming_message_pos < size) {
                return;
            }
        }
        RedPeer::CompoundInMessage* message = _incoming_message;
        _incoming_message = nullptr;
        _incoming_message_pos = 0;
        complete_message(message);
    }
}

RedPeer::CompoundInMessage* RedChannel::receive_header() {
    _incoming_header_pos +=
        receive(_incoming_header + _incoming_header_pos, sizeof(_incoming_header) - _incoming_header_pos);
    if (_incoming_header_pos < sizeof(_incoming_header)) {
        return nullptr;
    }
    _incoming_header_pos = 0;
    uint16_t type = uint16_t(_incoming_header[0] | _incoming_header[1] << 8);
    uint32_t size = uint32_t(_incoming_header[2]) | uint32_t(_incoming_header[3]) << 8 |
                    uint32_t(_incoming_header[4]) << 16 | uint32_t(_incoming_header[5]) << 24;
    return new RedPeer::CompoundInMessage(size, type);
}

void RedChannel::complete_message(RedPeer::CompoundInMessage* message) {
    MessageRef hold(message);
    on_message_received();
    _message_handler->handle_message(*message);
    on_message_complete();
}

void RedChannel::release_partial_messages() {
    if (_outgoing_message) {
        OutMessage* message = _outgoing_message;
        _outgoing_message = nullptr;
        message->release();
    }
    _outgoing_pos = 0;
    if (_incoming_message) {
        _incoming_message->unref();
        _incoming_message = nullptr;
    }
    _incoming_header_pos = 0;
    _incoming_message_pos = 0;
    _receive_paused = false;
}

RedPeer::CompoundInMessage* RedChannel::receive_message() {
    RedPeer::CompoundInMessage* message = RedPeer::receive_message();
    on_message_received();
    return message;
}

void RedChannel::on_message_received() {
    if (_message_ack_count == 0) {
        return;
    }
    if (--_message_ack_count == 0) {
        post_message(new Message(SPICE_MSGC_ACK));
        _message_ack_count = _message_ack_window;
    }
}

void RedChannel::on_message_complete() {
    if (++_message_serial == 0) {
        _message_serial = 1;
    }
    if (_sync_info.lock) {
        Lock lock(*_sync_info.lock);
        *_sync_info.message_serial = _message_serial;
        _sync_info.condition->notify_all();
    }
}

void RedChannel::OnHeartBeat() {
    LOG_DEBUG("on heart beat: channel %d/%d", get_type(), get_id());
    post_message(new Message(SPICE_MSGC_HEARTBEAT));
}

// ---- Common message handlers ----

void RedChannel::handle_set_ack(const SpiceMsgSetAck& ack) {
    _message_ack_count = _message_ack_window = ack.window;
    Message* sync = new Message(SPICE_MSGC_ACK_SYNC);
    SpiceMsgcAckSync body = {ack.generation};
    if (!_marshallers || !spice_marshall_message(_marshallers, msgc_ack_sync, sync->marshaller(), &body)) {
        sync->release();
        return;
    }
    post_message(sync);
}

void RedChannel::handle_ping(const SpiceMsgPing& ping) {
    Message* pong = new Message(SPICE_MSGC_PONG);
    SpiceMsgcPong body = {ping.id, ping.timestamp};
    if (!_marshallers || !spice_marshall_message(_marshallers, msgc_pong, pong->marshaller(), &body)) {
        pong->release();
        return;
    }
    post_message(pong);
}

void RedChannel::handle_disconnect(const SpiceMsgDisconnect& disconnect) {
    _disconnect_stamp = disconnect.time_stamp;
    _disconnect_reason = disconnect.reason;
}

void RedChannel::handle_notify(const SpiceMsgNotify& notify) {
    static const char* const severities[] = {"info", "warn", "error"};
    static const char* const visibilities[] = {"!", "!!", "!!!"};
    if (notify.severity > 2) {
        THROW("bad severity");
    }
    if (notify.visibility > 2) {
        THROW("bad visibility");
    }
    // Printed by its length: the text comes from the server and need not end where a NUL says.
    LOG_INFO("remote channel %u:%u %s%s #%u%s%.*s", get_type(), get_id(), severities[notify.severity],
             visibilities[notify.visibility], notify.what, notify.message_len ? ": " : "",
             int(notify.message_len), notify.message_len ? notify.message : "");
}

void RedChannel::handle_wait_for_channels(const SpiceMsgWaitForChannels& wait) {
    _client.wait_for_channels(wait.wait_count, wait.wait_list);
}

void RedChannel::handle_migrate(const SpiceMsgMigrate& migrate) {
    LOG_DEBUG("channel type %u id %u", get_type(), get_id());
    uint32_t flags = migrate.flags;
    // From here to the end the socket blocks: the flush and the data transfer run outside the loop.
    _socket_in_loop = false;
    _loop.remove_socket(*this);

    if (flags & SPICE_MIGRATE_NEED_FLUSH) {
        finish_outgoing_blocking();
        Message mark(SPICE_MSGC_MIGRATE_FLUSH_MARK);
        send_blocking(mark);
    }
    MessageRef data_message(flags & SPICE_MIGRATE_NEED_DATA_TRANSFER ? receive_message() : nullptr);
    _client.migrate_channel(*this);
    if (data_message.get()) {
        if (data_message.get()->type() != SPICE_MSG_MIGRATE_DATA) {
            THROW("expect SPICE_MSG_MIGRATE_DATA");
        }
        Message data(SPICE_MSGC_MIGRATE_DATA);
        spice_marshaller_new_item(data.marshaller(), data_message.get()->data(),
                                  data_message.get()->body_size(), nullptr, nullptr);
        send_blocking(data);
    }
    _loop.add_socket(*this);
    _socket_in_loop = true;
    on_migrate();
    set_state(CONNECTED);
    drain_tunnel();
    on_event();
}

void RedChannel::handle_pong(const SpiceMsgPing& pong) {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    // Unsigned: a counter value from the future gives a huge delay, never a negative one.
    double delay = double(uint64_t(now.QuadPart) - pong.timestamp) / double(frequency.QuadPart);
    if (delay >= 0.2) {
        double icmp;
        if (_client.icmp_ping(&icmp)) {
            LOG_INFO("dftime %lf icmp %lf", delay, icmp);
            if (icmp < 0.2 && icmp < delay) {
                delay = icmp;
            }
        }
    }

    double* s = g_pong_samples;
    s[0] = s[1];
    s[1] = s[2];
    s[2] = delay;
    if (pong.id == 0) {
        s[0] = s[1] = delay;
    }
    double average = s[0] / 3 + s[1] / 3 + s[2] / 3;
    int loss = int(s[0] > 0.2) + int(s[1] > 0.2) + int(s[2] > 0.2);
    if (++g_pong_count >= 10 && (delay > 0.2 || average > 0.05)) {
        LOG_INFO(
            "The timeout time is over 200 milliseconds or avgerage time over 50 milliseconds,id=%u,delay "
            "time=%.4fms,avgerage time=%.4fms,loss package num=%d.",
            pong.id, delay * 1000, average * 1000, loss);
        g_pong_count = 0;
    }

    static const int kLossQuality[] = {5, 3, 1, 0};
    int quality = std::min(kLossQuality[loss], quality_of_average(average));
    uint32_t delay_us = delay >= 1.0 ? 1000000 : uint32_t(delay * 1000000);
    {
        NetworkStatsLock lock;
        NetworkStats& stats = lock.stats();
        if (delay < 0.2) {
            stats.pongs_received++;
        }
        stats.icmp_state = 1;
        stats.last_pong_id = pong.id;
        stats.delay_us = delay_us;
        stats.quality = uint32_t(quality);
    }
    _client.notify_network_quality(quality, delay_us);
}

// ---- Migration ----

void RedChannel::disconnect_migration_src() {
    clear_outgoing_messages();
    Lock lock(_action_lock);
    if (_state == CONNECTING || _state == CONNECTED) {
        MigrationDisconnectSrcEvent* event = new MigrationDisconnectSrcEvent(*this);
        _loop.push_event(event);
        event->unref();
    }
}

void RedChannel::connect_migration_target() {
    LOG_INFO("%s", "");
    MigrationConnectTargetEvent* event = new MigrationConnectTargetEvent(*this);
    _loop.push_event(event);
    event->unref();
}

void RedChannel::do_migration_disconnect_src() {
    if (_socket_in_loop) {
        _socket_in_loop = false;
        _loop.remove_socket(*this);
    }
    clear_outgoing_messages();
    release_partial_messages();
    on_disconnect_mig_src();
    write_log(LOG_LEVEL_DEBUG, "RedClient::migrate_channel", __LINE__, "channel type %u id %u", get_type(),
              get_id());
    _client.migrate_channel(*this);
    _client.on_channel_disconnect_mig_src_completed(*this);
}

void RedChannel::do_migration_connect_target() {
    LOG_INFO("%s", "");
    set_marshallers();
    _loop.add_socket(*this);
    _socket_in_loop = true;
    on_connect_mig_target();
    set_state(CONNECTED);
    drain_tunnel();
    on_event();
}
