#include "app/red_client.h"

#include "platform/platform.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "runtime/log.h"
#include "transport/channel/message.h"
#include "transport/channel/message_handler.h"

#include <sys/sysinfo.h>

#include <algorithm>
#include <climits>
#include <chrono>
#include <cstring>

namespace {

// Client messages of the main channel.
enum {
    MSGC_MAIN_ATTACH_CHANNELS = 104,
    MSGC_MAIN_MOUSE_MODE_REQUEST = 105,
    MSGC_MAIN_AGENT_START = 106,
    MSGC_MAIN_PING = 7,
    MSGC_MAIN_MIGRATE_END = 109,
};

const uint32_t MAIN_CAP_SEMI_SEAMLESS_MIGRATE = 0;
const uint32_t AGENT_WAIT_MS = 30000;
const uint64_t MiB = 1024 * 1024;

uint64_t system_now_ms() {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

std::atomic<uint64_t (*)()> clock_source{system_now_ms};

// The maker's PC-in-one desktop does not exist on this platform.
bool is_pc_in_one_mode() {
    return false;
}

uint64_t now_ms() {
    return clock_source.load()();
}

// The loop holds its own reference: the creator's goes at once.
void post_event(ProcessLoop& loop, Event* event) {
    loop.push_event(event);
    event->unref();
}

typedef MessageHandlerImp<RedClient, SPICE_CHANNEL_MAIN> MainChannelLoop;

MainChannelLoop* make_handler(RedClient& client) {
    MainChannelLoop* handler = new MainChannelLoop(client);
    handler->set_handler<SPICE_MSG_MIGRATE>(&RedClient::handle_migrate);
    handler->set_handler<SPICE_MSG_SET_ACK>(&RedClient::handle_set_ack);
    handler->set_handler<SPICE_MSG_PING>(&RedClient::handle_ping);
    handler->set_handler<SPICE_MSG_WAIT_FOR_CHANNELS>(&RedClient::handle_wait_for_channels);
    handler->set_handler<SPICE_MSG_DISCONNECTING>(&RedClient::handle_disconnect);
    handler->set_handler<SPICE_MSG_NOTIFY>(&RedClient::handle_notify);
    handler->set_handler<SPICE_MSG_MAIN_PONG>(&RedClient::handle_pong);
    handler->set_handler<SPICE_MSG_MAIN_MIGRATE_BEGIN>(&RedClient::handle_migrate_begin);
    handler->set_handler<SPICE_MSG_MAIN_MIGRATE_CANCEL>(&RedClient::handle_migrate_cancel);
    handler->set_handler<SPICE_MSG_MAIN_INIT>(&RedClient::handle_init);
    handler->set_handler<SPICE_MSG_MAIN_CHANNELS_LIST>(&RedClient::handle_channels);
    handler->set_handler<SPICE_MSG_MAIN_MOUSE_MODE>(&RedClient::handle_mouse_mode);
    handler->set_handler<SPICE_MSG_MAIN_MULTI_MEDIA_TIME>(&RedClient::handle_mm_time);
    handler->set_handler<SPICE_MSG_MAIN_AGENT_CONNECTED>(&RedClient::handle_agent_connected);
    handler->set_handler<SPICE_MSG_MAIN_AGENT_DISCONNECTED>(&RedClient::handle_agent_disconnected);
    handler->set_handler<SPICE_MSG_MAIN_AGENT_DATA>(&RedClient::handle_agent_data);
    handler->set_handler<SPICE_MSG_MAIN_AGENT_TOKEN>(&RedClient::handle_agent_tokens);
    handler->set_handler<SPICE_MSG_MAIN_MIGRATE_SWITCH_HOST>(&RedClient::handle_migrate_switch_host);
    handler->set_handler<SPICE_MSG_MAIN_MIGRATE_END>(&RedClient::handle_migrate_end);
    handler->set_handler<SPICE_MSG_MAIN_AGENT_CONNECTED_TOKENS>(&RedClient::handle_agent_connected_tokens);
    return handler;
}

// Runs nothing: its poster learns that every event queued before it has run.
class FlushEvent : public SyncEvent {
protected:
    void do_response(AbstractProcessLoop& events_loop) override {}
};

}  // namespace

class RedClient::ConnectedEvent : public Event {
public:
    explicit ConnectedEvent(RedClient& client) : _client(client) {}
    void response(AbstractProcessLoop& events_loop) override { _client._listener.on_connected(); }

private:
    RedClient& _client;
};

class RedClient::DisconnectedEvent : public Event {
public:
    DisconnectedEvent(RedClient& client, int error_code) : _client(client), _error_code(error_code) {}
    void response(AbstractProcessLoop& events_loop) override {
        LOG_INFO("get disconnectedevent, so app on_disconnected, error_code:%d", _error_code);
        _client._listener.on_disconnected(_error_code);
    }

private:
    RedClient& _client;
    int _error_code;
};

class RedClient::MouseModeEvent : public Event {
public:
    explicit MouseModeEvent(RedClient& client) : _client(client) {}
    void response(AbstractProcessLoop& events_loop) override {
        uint32_t mode = _client.get_mouse_mode();
        _client._listener.on_mouse_mode_changed(mode);
        bool captured = mode == MOUSE_MODE_SERVER;
        _client.for_each_channel([captured](RedChannel& channel) {
            if (channel.get_type() == SPICE_CHANNEL_DISPLAY) {
                if (MouseModeSink* sink = dynamic_cast<MouseModeSink*>(&channel)) {
                    sink->set_capture_mode(captured);
                }
            }
            return true;
        });
    }

private:
    RedClient& _client;
};

class RedClient::SwitchHostEvent : public Event {
public:
    SwitchHostEvent(RedClient& client, const std::string& host, int port, int secure_port,
                    const std::string& subject)
        : _client(client), _host(host), _port(port), _secure_port(secure_port), _subject(subject) {}
    void response(AbstractProcessLoop& events_loop) override {
        _client._listener.on_switch_host(_host, _port, _secure_port, _subject);
    }

private:
    RedClient& _client;
    std::string _host;
    int _port;
    int _secure_port;
    std::string _subject;
};

// On the main channel's own loop, after it attached to the migration target.
class RedClient::MigrateEndEvent : public Event {
public:
    explicit MigrateEndEvent(RedClient& client) : _client(client) {}
    void response(AbstractProcessLoop& events_loop) override { _client.post_simple(MSGC_MAIN_MIGRATE_END); }

private:
    RedClient& _client;
};

// Attaching waits for the agent's answer at most this long.
class RedClient::AgentTimer : public Timer {
public:
    explicit AgentTimer(RedClient& client) : _client(client) {}
    void response(AbstractProcessLoop& events_loop) override {
        _client._app_loop.disarm_timer(this);
        LOG_WARN("timeout while waiting for agent response");
        _client.send_attach_channels();
    }

private:
    RedClient& _client;
};

RedClient::RedClient(ProcessLoop& app_loop, Listener& listener)
    : RedChannel(*this, SPICE_CHANNEL_MAIN, 0, make_handler(*this), 4),
      _app_loop(app_loop),
      _listener(listener),
      _display_channel(nullptr),
      _port(-1),
      _secure_port(-1),
      _protocol(0),
      _logon_mode(0),
      _vm_id(0),
      _connection_id(0),
      _mouse_mode(MOUSE_MODE_SERVER),
      _notify_disconnect(false),
      _attach_sent(false),
      _agent_running(false),
      _agent_tokens(0),
      _channels_listed(false),
      _agent_timer(new AgentTimer(*this)),
      _agent_received(0),
      _agent_caps(1, 7),
      _reply_wait_type(AGENT_NO_REPLY_WAIT),
      _monitors_config_sent(false),
      _display_config_sent(false),
      _sso_pending(true),
      _sso_sent_ms(0),
      _guest_system_kind(0),
      _guest_system_bit(0),
      _guest_system_version(0),
      _guest_max_width(0),
      _guest_max_height(0),
      _agent_cap14(false),
      _clipboard_pending_sent(0),
      _aborting(false),
      _spare_serial(0),
      _abort_started(false),
      _pixmap_cache_size(0),
      _glz_window_size(0),
      _usb_channel_count(0),
      _mm_clock_base_ms(now_ms()),
      _mm_clock_offset(0),
      _migrate(*this),
      _migrated_reconnect(false),
      _probe(NetworkProbe::Hooks{[this](uint32_t id, uint64_t counter) { post_ping(id, counter); },
                                 [this](double* round_trip_ms) { return icmp_round_trip(round_trip_ms); },
                                 nullptr}) {
    memset(_serials, 0, sizeof(_serials));
    memset(_agent_header, 0, sizeof(_agent_header));
    memset(_client_address, 0, sizeof(_client_address));
    for (uint8_t type = SPICE_CHANNEL_MAIN; type <= MAX_CHANNEL_TYPE; type++) {
        _security[type] = RedPeer::ConnectionOptions::CON_OP_BOTH;
    }
    caps_set(get_caps(), MAIN_CAP_SEMI_SEAMLESS_MIGRATE);
    Platform::set_clipboard_listener(this);
    start();
}

RedClient::~RedClient() {
    // A running timer call-back ends before anything it uses goes.
    _probe.stop();
    _app_loop.disarm_timer(_agent_timer);
    _agent_timer->unref();
    // The owner aborted before; this only ends what an owner that did not left behind.
    while (!abort()) {
    }
}

RedChannel::MessageHandler* RedClient::create_message_handler(RedClient& client) {
    return make_handler(client);
}

void RedClient::set_clock_for_testing(uint64_t (*now)()) {
    clock_source = now ? now : system_now_ms;
}

// ---- Target and settings ----

void RedClient::set_target(const std::string& host, int port, int secure_port, int protocol) {
    int old_protocol = _protocol;
    if (old_protocol != protocol) {
        LOG_INFO("old protocol %d, new protocol %d", old_protocol, protocol);
    }
    Lock lock(_target_lock);
    _host = host;
    _port = port;
    _secure_port = secure_port;
    _protocol = protocol;
}

void RedClient::set_password(const std::string& password) {
    Lock lock(_target_lock);
    _password = password;
}

void RedClient::set_security(const std::map<uint8_t, uint32_t>& security) {
    Lock lock(_target_lock);
    _security = security;
}

void RedClient::set_host_auth(const RedPeer::HostCheckOptions& options, const std::string& ciphers) {
    Lock lock(_target_lock);
    _host_auth = options;
    _ciphers = ciphers;
}

void RedClient::register_channel_factory(ChannelFactory& factory) {
    Lock lock(_channels_lock);
    if (std::find(_factories.begin(), _factories.end(), &factory) == _factories.end()) {
        _factories.push_back(&factory);
    }
}

RedPeer::ConnectionOptions RedClient::get_connection_options(uint8_t channel_type) {
    Lock lock(_target_lock);
    RedPeer::ConnectionOptions::Type type = RedPeer::ConnectionOptions::CON_OP_BOTH;
    auto it = _security.find(channel_type);
    if (it != _security.end() && it->second >= RedPeer::ConnectionOptions::CON_OP_SECURE &&
        it->second <= RedPeer::ConnectionOptions::CON_OP_BOTH) {
        type = RedPeer::ConnectionOptions::Type(it->second);
    }
    return RedPeer::ConnectionOptions(type, _port, _secure_port, _protocol, _host_auth, _ciphers);
}

std::string RedClient::get_host() {
    Lock lock(_target_lock);
    return _host;
}

std::string RedClient::get_password() {
    Lock lock(_target_lock);
    return _password;
}

int RedClient::get_protocol() {
    return _protocol;
}

void RedClient::set_protocol(int protocol) {
    _protocol = protocol;
}

ChannelClient::SyncInfo RedClient::get_sync_info(uint8_t channel_type, uint8_t channel_id) {
    if (channel_type > MAX_CHANNEL_TYPE) {
        return SyncInfo{&_sync_lock, &_sync_condition, &_spare_serial};
    }
    return SyncInfo{&_sync_lock, &_sync_condition, &_serials[channel_type][channel_id]};
}

// ---- Connection ----

void RedClient::connect() {
    if (_connection_id != 0) {
        return;
    }
    // Channels of an earlier connection may wait for the application loop (synchronous events): keep it
    // turning while they end.
    while (!abort_channels() || _connection_id != 0) {
        _app_loop.run_queued_events();
        Sleep(100);
    }
    clear_shared_images();
    {
        Lock lock(_sync_lock);
        memset(_serials, 0, sizeof(_serials));
        _aborting = false;
    }
    delete_channels();
    _migrate.abort();
    _migrate.clear_channels();
    _migrate.add_channel(*this);
    _migrated_reconnect = false;
    clear_shut();
    _sso_pending = true;
    _monitors_config_sent = false;
    _display_config_sent = false;
    _reply_wait_type = AGENT_NO_REPLY_WAIT;
    RedChannel::connect();
}

void RedClient::disconnect() {
    _migrate.abort();
    _attach_sent = false;
    RedChannel::disconnect();
}

bool RedClient::abort() {
    _migrate.abort();
    if (!_abort_started) {
        _abort_started = true;
        Lock lock(_sync_lock);
        _aborting = true;
        _sync_condition.notify_all();
    }
    if (!RedChannel::abort()) {
        return false;
    }
    Platform::set_clipboard_listener(nullptr);
    if (!abort_channels()) {
        return false;
    }
    delete_channels();
    return true;
}

bool RedClient::abort_channels() {
    Lock lock(_channels_lock);
    for (RedChannel* channel : _channels) {
        if (!channel->abort()) {
            return false;
        }
    }
    return true;
}

void RedClient::delete_channels() {
    std::list<RedChannel*> channels;
    {
        Lock lock(_channels_lock);
        channels.swap(_channels);
        _migrating_channels.clear();
        _display_channel = nullptr;
    }
    for (RedChannel* channel : channels) {
        delete channel;
    }
}

void RedClient::disconnect_channels() {
    Lock lock(_channels_lock);
    for (RedChannel* channel : _channels) {
        channel->shutdown();
    }
}

void RedClient::on_connecting() {
    Lock lock(_notify_lock);
    _notify_disconnect = true;
    _channels_listed = false;
    _attach_sent = false;
}

void RedClient::on_connect() {
    get_client_address();
    post_event(_app_loop, new ConnectedEvent(*this));
}

void RedClient::before_send_link_msg() {
    if (SessionBlock::video_plugin() != 0 || (is_tunnelled() && SessionBlock::video_plugin_tunnel() != 0)) {
        caps_set(get_caps(), CAP_VIDEO_PLUGIN);
    }
}

void RedClient::on_connect_failed() {
    _listener.on_connect_failed();
}

void RedClient::on_disconnect() {
    _migrate.abort();
    _connection_id = 0;
    _app_loop.disarm_timer(_agent_timer);
    _agent_running = false;
    _agent_tokens = 0;
    reset_agent_stream();
    // Every event the application had queued before has run once this returns.
    FlushEvent* flush = new FlushEvent();
    _app_loop.push_event(flush);
    flush->wait();
    flush->unref();
}

void RedClient::disarm_agent_timer() {
    _app_loop.disarm_timer(_agent_timer);
}

void RedClient::on_disconnect_mig_src() {
    _app_loop.disarm_timer(_agent_timer);
    _agent_tokens = 0;
    reset_agent_stream();
}

void RedClient::on_channel_disconnected(RedChannel& channel) {
    Lock lock(_notify_lock);
    if (_notify_disconnect) {
        _notify_disconnect = false;
        post_event(_app_loop, new DisconnectedEvent(*this, channel.get_error()));
    }
    disconnect_channels();
    shutdown();
}

void RedClient::wait_for_channels(int wait_count, const SpiceWaitForChannel* wait_list) {
    for (int i = 0; i < wait_count; i++) {
        if (wait_list[i].channel_type > MAX_CHANNEL_TYPE) {
            THROW("invalid channel type %u", wait_list[i].channel_type);
        }
    }
    Lock lock(_sync_lock);
    for (int i = 0; i < wait_count; i++) {
        const SpiceWaitForChannel& item = wait_list[i];
        while (_serials[item.channel_type][item.channel_id] < item.message_serial) {
            if (_aborting) {
                THROW("aborting");
            }
            _sync_condition.wait(lock);
        }
    }
}

void RedClient::migrate_channel(RedChannel& channel) {
    LOG_DEBUG("channel type %u id %u", channel.get_type(), channel.get_id());
    _migrate.swap_peer(channel);
}

void RedClient::on_channel_disconnect_mig_src_completed(RedChannel& channel) {
    Lock lock(_channels_lock);
    LOG_INFO("%s(id:%u)", channel_type_name(channel.get_type()), channel.get_id());
    auto it = std::find(_migrating_channels.begin(), _migrating_channels.end(), &channel);
    if (it == _migrating_channels.end()) {
        THROW("unexpected channel");
    }
    _migrating_channels.erase(it);
    if (!_migrating_channels.empty()) {
        return;
    }
    clear_shared_images();
    _listener.on_migration_caches_reset();
    {
        Lock sync(_sync_lock);
        memset(_serials, 0, sizeof(_serials));
    }
    LOG_INFO("calling main to connect and wait for handle_init to tell all the other channels to connect");
    connect_migration_target();
    post_event(get_process_loop(), new MigrateEndEvent(*this));
}

void RedClient::clear_shared_images() {
    if (SharedImages* images = _shared_images) {
        images->clear_images();
    }
}

bool RedClient::icmp_round_trip(double* round_trip_ms) {
    std::string host = get_host();
    return Platform::get_icmp_ping(host.c_str(), round_trip_ms);
}

bool RedClient::icmp_ping(double* seconds) {
    double round_trip_ms = 0;
    if (!icmp_round_trip(&round_trip_ms)) {
        return false;
    }
    *seconds = round_trip_ms / 1000;
    return true;
}

void RedClient::notify_network_quality(int quality, uint32_t delay_us) {
    LOG_DEBUG("network quality %d delay %u us", quality, delay_us);
    if (SessionBlock::no_probe_notices() != 0 && is_pc_in_one_mode()) {
        return;
    }
    NetworkProbe::notify_nav_bar(uint32_t(quality), delay_us);
}

// ---- Network probe ----

void RedClient::post_ping(uint32_t id, uint64_t counter) {
    // The timer outlives connections: pings queued without one would pile up and go out stale.
    if (get_state() != CONNECTED) {
        return;
    }
    Message* ping = new Message(MSGC_MAIN_PING);
    spice_marshaller_add_uint32(ping->marshaller(), id);
    spice_marshaller_add_uint64(ping->marshaller(), counter);
    post_message(ping);
}

void RedClient::create_request_guest_ping() {
    _probe.start_ping_timer();
}

void RedClient::create_request_guest_address_timer() {
    _probe.start_guest_address_timer([this] { request_guest_address(); });
}

// ---- Multimedia clock ----

uint32_t RedClient::get_mm_time() {
    Lock lock(_mm_clock_lock);
    return uint32_t(now_ms() - _mm_clock_base_ms) + _mm_clock_offset;
}

void RedClient::set_mm_time(uint32_t time) {
    Lock lock(_mm_clock_lock);
    _mm_clock_base_ms = now_ms();
    _mm_clock_offset = time;
}

// ---- Channels ----

void RedClient::for_each_channel(const ForEachChannelFunc& func) {
    Lock lock(_channels_lock);
    for (RedChannel* channel : _channels) {
        if (!func(*channel)) {
            return;
        }
    }
}

ChannelFactory* RedClient::find_factory(uint8_t type) {
    for (ChannelFactory* factory : _factories) {
        if (factory->type() == type) {
            return factory;
        }
    }
    LOG_WARN("no factory for %u", type);
    return nullptr;
}

void RedClient::create_channel(uint8_t type, uint8_t id) {
    Lock lock(_channels_lock);
    ChannelFactory* factory = find_factory(type);
    if (!factory) {
        return;
    }
    if ((type == SPICE_CHANNEL_PLAYBACK || type == SPICE_CHANNEL_RECORD) && SessionBlock::no_audio()) {
        LOG_INFO("current setting disable sound and microphone!");
        return;
    }
    if ((type == SPICE_CHANNEL_DISPLAY || type == SPICE_CHANNEL_CURSOR) && id != 0) {
        LOG_INFO("just support %d monitor skip create channel(%d,%d)", _listener.monitor_count(), type, id);
        return;
    }
    RedChannel* channel = factory->create(*this, id);
    if (!channel) {
        LOG_WARN("factory of %u made no channel", type);
        return;
    }
    _channels.push_back(channel);
    _migrate.add_channel(*channel);
    if (type == SPICE_CHANNEL_DISPLAY) {
        _display_channel = channel;
    }
    bool connect_now = true;
    if (type == SPICE_CHANNEL_USBREDIR) {
        LOG_INFO("m_UsbChannelCounts:%d m_MaxVideoChannelCounts:%d ChannelId:%d", _usb_channel_count, 1, id);
        connect_now = id == 13 || id == 14;
        LOG_INFO("%s immediately channel id:%d", connect_now ? "need connect" : "not need connect", id);
    }
    if (connect_now) {
        channel->start();
        channel->connect();
    }
}

void RedClient::handle_channels(const SpiceMsgChannels& channels) {
    // The list comes once per connection: a second one would create every channel again.
    if (_channels_listed) {
        LOG_WARN("second channel list ignored");
        return;
    }
    _channels_listed = true;
    uint32_t usb = 0;
    for (uint32_t i = 0; i < channels.num_of_channels; i++) {
        if (channels.channels[i].type == SPICE_CHANNEL_USBREDIR) {
            usb++;
        }
    }
    _usb_channel_count = std::min(usb, MAX_USB_CHANNELS);
    LOG_INFO("[camera]usb channel counts %d", _usb_channel_count);
    for (uint32_t i = channels.num_of_channels; i > 0; i--) {
        const SpiceChannelId& entry = channels.channels[i - 1];
        create_channel(entry.type, entry.id);
    }
}

// ---- Init, mouse mode, clock ----

void RedClient::calc_pixmap_cache_and_glz_window_size(uint32_t display_channels_hint, uint32_t ram_hint,
                                                      uint64_t available_page_file,
                                                      uint64_t available_virtual) {
    uint64_t hint = std::max<uint32_t>(display_channels_hint, 1);
    uint64_t max_cache = hint * 16 * MiB;
    if (available_page_file < max_cache + 52 * MiB) {
        THROW_ERR(8, "low memory condition");
    }
    uint64_t free_bytes = available_page_file - 40 * MiB;
    uint64_t glz = std::min<uint64_t>(ram_hint / 2, 64 * MiB);
    glz = std::min(free_bytes / 3, glz);
    glz = std::max<uint64_t>(glz, 12 * MiB);
    free_bytes = free_bytes > glz ? free_bytes - glz : 0;
    uint64_t cache = std::min(std::min(free_bytes, available_virtual), max_cache);
    _pixmap_cache_size = cache / 4;
    _glz_window_size = uint32_t(glz / 4);
}

void RedClient::calc_cache_sizes_from_system(uint32_t display_channels_hint, uint32_t ram_hint) {
    struct sysinfo info;
    if (sysinfo(&info) != 0) {
        THROW("get mem status failed %u", unsigned(errno));
    }
    uint64_t unit = info.mem_unit ? info.mem_unit : 1;
    uint64_t available = (uint64_t(info.freeram) + info.bufferram + info.freeswap) * unit;
    calc_pixmap_cache_and_glz_window_size(display_channels_hint, ram_hint, available, UINT64_MAX);
}

void RedClient::post_simple(uint16_t type) {
    post_message(new Message(type));
}

void RedClient::handle_init(const SpiceMsgMainInit& init) {
    _connection_id = init.session_id;
    set_mm_time(init.multi_media_time);
    if (_migrated_reconnect) {
        // The caches keep their sizes; the other channels attach to the target now.
        LOG_INFO("connecting all channels after migration");
        Lock lock(_channels_lock);
        for (RedChannel* channel : _channels) {
            channel->connect_migration_target();
        }
        _migrated_reconnect = false;
    } else {
        calc_cache_sizes_from_system(init.display_channels_hint, init.ram_hint);
    }
    set_mouse_mode(init.supported_mouse_modes, init.current_mouse_mode);
    _agent_tokens = int32_t(std::min<uint32_t>(init.agent_tokens, INT32_MAX));
    _agent_running = init.agent_connected != 0;
    if (_agent_running) {
        start_agent(1);
        if (SessionBlock::pc_in_one()) {
            send_agent_monitors_config();
        }
        send_display_modes();
    }
    if (!init_guest_display()) {
        send_attach_channels();
    }
    if (main_channel_takes_ping()) {
        create_request_guest_ping();
    }
}

bool RedClient::init_guest_display() {
    if (!_agent_running) {
        LOG_WARN("no agent running, display options have been ignored");
        return false;
    }
    _app_loop.arm_timer(_agent_timer, AGENT_WAIT_MS);
    return true;
}

void RedClient::send_attach_channels() {
    // The agent timer runs on the application loop, the init on the main channel's thread.
    static Mutex attach_lock;
    Lock lock(attach_lock);
    if (_attach_sent) {
        return;
    }
    _attach_sent = true;
    post_simple(MSGC_MAIN_ATTACH_CHANNELS);
}

void RedClient::set_mouse_mode(uint32_t supported, uint32_t current) {
    if (current != _mouse_mode) {
        _mouse_mode = current;
        {
            Lock lock(_channels_lock);
            for (RedChannel* channel : _channels) {
                if (channel->get_type() == SPICE_CHANNEL_CURSOR) {
                    if (MouseModeSink* sink = dynamic_cast<MouseModeSink*>(channel)) {
                        sink->on_mouse_mode_change();
                    }
                }
            }
        }
        post_event(_app_loop, new MouseModeEvent(*this));
    }
    if ((supported & MOUSE_MODE_CLIENT) && current != MOUSE_MODE_CLIENT) {
        Message* request = new Message(MSGC_MAIN_MOUSE_MODE_REQUEST);
        SpiceMsgcMainMouseModeRequest body = {MOUSE_MODE_CLIENT};
        if (get_marshallers() && spice_marshall_message(get_marshallers(), msgc_main_mouse_mode_request,
                                                        request->marshaller(), &body)) {
            post_message(request);
        } else {
            request->release();
        }
    }
}

void RedClient::handle_mouse_mode(const SpiceMsgMainMouseMode& mode) {
    set_mouse_mode(mode.supported_modes, mode.current_mode);
}

void RedClient::handle_mm_time(const SpiceMsgMainMultiMediaTime& time) {
    set_mm_time(time.time);
}

// ---- Migration ----

namespace {

// A text the parser copied, whose last byte as sent must be its terminator.
bool terminated(const char* data, uint32_t size) {
    return data && size != 0 && data[size - 1] == '\0';
}

}  // namespace

void RedClient::handle_migrate_begin(const SpiceMsgMainMigrationBegin& begin) {
    LOG_INFO("migrate begin");
    const SpiceMigrationDstInfo& target = begin.dst_info;
    if (!terminated(target.host_data, target.host_size)) {
        THROW("host is not a null-terminated string");
    }
    if (target.cert_subject_size != 0 && !terminated(target.cert_subject_data, target.cert_subject_size)) {
        THROW("cert subject is not a null-terminated string");
    }
    _migrate.start(target);
}

void RedClient::handle_migrate_cancel() {
    LOG_INFO("migrate cancel");
    _migrate.abort();
}

void RedClient::handle_migrate_switch_host(const SpiceMsgMainMigrationSwitchHost& host) {
    LOG_INFO("switch host");
    if (!terminated(host.host_data, host.host_size)) {
        THROW("host is not a null-terminated string");
    }
    if (host.cert_subject_size != 0 && !terminated(host.cert_subject_data, host.cert_subject_size)) {
        THROW("cert subject is not a null-terminated string");
    }
    std::string subject = host.cert_subject_size != 0 ? host.cert_subject_data : "";
    post_event(_app_loop, new SwitchHostEvent(*this, host.host_data, host.port, host.sport, subject));
}

void RedClient::handle_migrate_end() {
    LOG_INFO("migrate end");
    Lock lock(_channels_lock);
    // A repeated end leaves the list as it is: it holds each channel once.
    auto leave_source = [this](RedChannel* channel) {
        channel->disconnect_migration_src();
        if (std::find(_migrating_channels.begin(), _migrating_channels.end(), channel) ==
            _migrating_channels.end()) {
            _migrating_channels.push_back(channel);
        }
    };
    for (RedChannel* channel : _channels) {
        leave_source(channel);
    }
    leave_source(this);
    _migrated_reconnect = true;
}
