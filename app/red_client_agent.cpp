// RedClient's half of the guest agent: the agent stream carried by the main channel (messages 109 in, client
// messages 107 out), the dispatch of the guest's messages, the start-up exchange that releases the attach,
// everything the client sends the agent, and the clipboard bridge's guest side.
#include "app/core_component.h"
#include "app/red_client.h"
#include "platform/platform.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "runtime/log.h"
#include "runtime/rc4.h"
#include "runtime/stringconv.h"
#include "transport/channel/message.h"
#include "winapi/iphlpapi.h"
#include "winapi/winsock2.h"

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>

namespace {

enum {
    MSGC_MAIN_AGENT_START = 106,
    MSGC_MAIN_AGENT_DATA = 107,
};

// Agent capability bits.
const uint32_t AGENT_CAP_DISPLAY_CONFIG = 4;
const uint32_t AGENT_CAP_CLIPBOARD_BY_DEMAND = 5;
const uint32_t AGENT_CAP_14 = 14;

const uint32_t CLIENT_CAPS = 0x37;
const uint32_t CLIENT_CAP_NO_HW_TNL = 0x8000;
const uint32_t CLIENT_CAP_HOST_RENDER = 0x1000;

const uint32_t REPLY_SUCCESS = 1;
const uint32_t REPLY_ERROR = 2;

const uint32_t MAX_DISPLAY_MODES_COUNT = 48;
const uint32_t POLICY_CHUNK = 1024;
const uint32_t CLIPBOARD_CHUNK = 2048;
const uint32_t LOGON_RECORD_SIZE = 524;
const uint32_t LOGON_TEXT_ROOM = 128;
const uint64_t LOCK_AFTER_SSO_MS = 5000;

std::atomic<PlatformClipboard*> test_clipboard{nullptr};

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out.push_back(uint8_t(v >> (8 * i)));
    }
}

void put32_at(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        p[i] = uint8_t(v >> (8 * i));
    }
}

void put32_be_at(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        p[i] = uint8_t(v >> (8 * (3 - i)));
    }
}

// A text field of the Windows logon record: NUL-terminated, cut at 127 bytes.
void put_text(uint8_t* field, const std::string& text) {
    size_t n = std::min<size_t>(strnlen(text.c_str(), text.size()), LOGON_TEXT_ROOM - 1);
    memcpy(field, text.data(), n);
}

// A text as the session block's field holds it: up to its NUL and never longer than the field.
std::string field_text(const std::string& text, size_t room) {
    return text.substr(0, std::min(strnlen(text.c_str(), text.size()), room));
}

bool host_render_graphic() {
    uint32_t graphic = SessionBlock::graphic_type();
    return graphic != 0 && graphic != 1 && graphic != 3;
}

uint64_t tick_ms() {
    return GetTickCount64();
}

}  // namespace

// ---- Events ----

// Lists the application's monitors on its loop for the main channel's thread, which waits.
class RedClient::MonitorsQuery : public SyncEvent {
public:
    explicit MonitorsQuery(Listener& listener) : _listener(listener), _ok(false) {}
    std::vector<AgentMonitor> monitors;
    uint32_t user_width = 0;
    uint32_t user_height = 0;
    bool has_user_size = false;
    bool ok() const { return _ok; }

protected:
    void do_response(AbstractProcessLoop& events_loop) override {
        _ok = _listener.query_monitors(&monitors);
        has_user_size = _listener.get_user_display_size(&user_width, &user_height);
    }

private:
    Listener& _listener;
    bool _ok;
};

class RedClient::GuestAddressEvent : public Event {
public:
    GuestAddressEvent(Listener& listener, const std::string& ip, const std::string& mac)
        : _listener(listener), _ip(ip), _mac(mac) {}
    void response(AbstractProcessLoop& events_loop) override {
        _listener.on_guest_address_changed(_ip, _mac);
    }

private:
    Listener& _listener;
    std::string _ip;
    std::string _mac;
};

class RedClient::ClipboardRequestEvent : public Event {
public:
    ClipboardRequestEvent(RedClient& client, uint32_t type) : _client(client), _type(type) {}
    void response(AbstractProcessLoop& events_loop) override {
        PlatformClipboard* clipboard = _client.clipboard();
        if (clipboard && clipboard->get_clipboard_owner() == CLIPBOARD_OWNER_GUEST) {
            uint8_t body[4];
            put32_at(body, _type);
            _client.send_agent_clipboard_message(AGENT_CLIPBOARD_REQUEST, sizeof(body), body);
            return;
        }
        LOG_WARN("received clipboard req from client while clipboard is not owned by guest");
        if (HANDLE event = Platform::clipboard_event()) {
            SetEvent(event);
        }
    }

private:
    RedClient& _client;
    uint32_t _type;
};

class RedClient::ClipboardNotifyEvent : public Event {
public:
    ClipboardNotifyEvent(RedClient& client, uint32_t type, const uint8_t* data, uint32_t size)
        : _client(client), _type(type), _data(data, data + (data ? size : 0)) {}
    void response(AbstractProcessLoop& events_loop) override {
        _client.send_agent_clipboard_notify_message(uint32_t(_data.size()), _type, _data.data());
    }

private:
    RedClient& _client;
    uint32_t _type;
    std::vector<uint8_t> _data;
};

// ---- Settings ----

std::vector<RedClient::DisplayMode> RedClient::Listener::display_modes() {
    std::vector<DisplayMode> modes;
    DEVMODEW mode;
    memset(&mode, 0, sizeof(mode));
    mode.dmSize = sizeof(mode);
    for (DWORD i = 0; EnumDisplaySettingsW(nullptr, i, &mode); i++) {
        modes.push_back(DisplayMode{mode.dmPelsWidth, mode.dmPelsHeight});
    }
    return modes;
}

void RedClient::set_guest_policy(const std::string& policy) {
    Lock lock(_agent_data_lock);
    _guest_policy = policy;
}

void RedClient::set_client_address(uint32_t ipv4, const uint8_t* mac, uint32_t mac_length) {
    Lock lock(_agent_data_lock);
    memset(_client_address, 0, sizeof(_client_address));
    memcpy(_client_address, &ipv4, 4);
    mac_length = mac ? std::min<uint32_t>(mac_length, 8) : 0;
    if (mac_length) {
        memcpy(_client_address + 4, mac, mac_length);
    }
    put32_at(_client_address + 12, mac_length);
}

void RedClient::get_client_address() {
    static const ULONG first_size = 15000;
    static const int attempts = 3;
    uint8_t mac[MAX_ADAPTER_ADDRESS_LENGTH] = {};
    uint32_t mac_length = 0;
    HANDLE heap = GetProcessHeap();
    ULONG size = first_size;
    auto* adapters = static_cast<PIP_ADAPTER_ADDRESSES>(HeapAlloc(heap, 0, size));
    ULONG result = ERROR_NOT_ENOUGH_MEMORY;
    for (int attempt = 0; adapters && attempt < attempts; attempt++) {
        result = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr,
                                      adapters, &size);
        if (result != ERROR_BUFFER_OVERFLOW) {
            break;
        }
        HeapFree(heap, 0, adapters);
        adapters =
            attempt + 1 < attempts ? static_cast<PIP_ADAPTER_ADDRESSES>(HeapAlloc(heap, 0, size)) : nullptr;
    }
    if (adapters && result == ERROR_SUCCESS) {
        DWORD best = 0;
        bool have_best = GetBestInterface(0, &best) == NO_ERROR;
        PIP_ADAPTER_ADDRESSES chosen = nullptr;
        for (PIP_ADAPTER_ADDRESSES adapter = adapters; adapter; adapter = adapter->Next) {
            if (adapter->IfType != IF_TYPE_ETHERNET_CSMACD && adapter->IfType != IF_TYPE_IEEE80211) {
                continue;
            }
            if (have_best && adapter->IfIndex == best) {
                chosen = adapter;
                break;
            }
            if (!chosen) {
                chosen = adapter;
            }
        }
        if (chosen) {
            mac_length = std::min<uint32_t>(chosen->PhysicalAddressLength, MAX_ADAPTER_ADDRESS_LENGTH);
            memcpy(mac, chosen->PhysicalAddress, mac_length);
        }
    } else {
        LOG_WARN("GetAdaptersAddresses failed (%u)", unsigned(result));
    }
    if (adapters) {
        HeapFree(heap, 0, adapters);
    }

    uint32_t ipv4 = 0;
    sockaddr_in local = {};
    int length = sizeof(local);
    if (getsockname(get_socket(), reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        local.sin_family == AF_INET) {
        ipv4 = local.sin_addr.s_addr;
    }
    set_client_address(ipv4, mac, mac_length);
}

std::string RedClient::guest_ip() {
    Lock lock(_agent_data_lock);
    return _guest_ip;
}

std::string RedClient::guest_mac() {
    Lock lock(_agent_data_lock);
    return _guest_mac;
}

void RedClient::set_clipboard_for_testing(PlatformClipboard* clipboard) {
    test_clipboard = clipboard;
}

PlatformClipboard* RedClient::clipboard() {
    if (PlatformClipboard* clipboard = test_clipboard.load()) {
        return clipboard;
    }
    return Platform::platform_window() ? &Platform::clipboard() : nullptr;
}

uint32_t RedClient::client_agent_caps() {
    uint32_t caps = CLIENT_CAPS;
    if (!Platform::is_d3d9_hw_tnl()) {
        caps |= CLIENT_CAP_NO_HW_TNL;
    }
    if (host_render_graphic()) {
        caps |= CLIENT_CAP_HOST_RENDER;
    }
    return caps;
}

bool RedClient::agent_has_cap(uint32_t bit) const {
    size_t word = bit / 32;
    return word < _agent_caps.size() && (_agent_caps[word] >> (bit % 32)) & 1;
}

// ---- Main-channel messages of the agent ----

void RedClient::start_agent(uint8_t request) {
    Message* start = new Message(MSGC_MAIN_AGENT_START);
    spice_marshaller_add_uint32(start->marshaller(), 0xFFFFFFFFu);
    post_message(start);
    send_agent_announce_capabilities(request);
}

void RedClient::handle_agent_connected() {
    LOG_DEBUG("agent connected");
    _agent_running = true;
    start_agent(0);
}

void RedClient::handle_agent_connected_tokens(const SpiceMsgMainAgentTokens& tokens) {
    _agent_tokens = int32_t(std::min<uint32_t>(tokens.num_tokens, INT32_MAX));
    handle_agent_connected();
}

void RedClient::handle_agent_disconnected(const SpiceMsgMainAgentDisconnect& disconnect) {
    LOG_DEBUG("agent disconnected (%u)", disconnect.error_code);
    _agent_running = false;
}

void RedClient::handle_agent_tokens(const SpiceMsgMainAgentTokens& tokens) {
    // The server grants any count: the sum stops at the largest count instead of overflowing.
    int64_t sum = int64_t(_agent_tokens) + tokens.num_tokens;
    _agent_tokens = int32_t(std::min<int64_t>(sum, INT32_MAX));
    if (_clipboard_pending_sent < _clipboard_pending.size()) {
        send_agent_clipboard_chunks();
    }
}

void RedClient::reset_agent_stream() {
    _agent_body.clear();
    _agent_body.shrink_to_fit();
    _agent_received = 0;
}

void RedClient::handle_agent_data(const SpiceRawBody& data) {
    handle_agent_stream(data.data, data.size);
}

void RedClient::handle_agent_stream(const uint8_t* data, uint32_t size) {
    LOG_DEBUG("RedClient::handle_agent_data");
    uint64_t remaining = size;
    // A message ends in the same pass that completes its header when its body is empty.
    while (remaining > 0) {
        if (_agent_received < AGENT_HEADER_SIZE) {
            uint64_t n = std::min<uint64_t>(AGENT_HEADER_SIZE - _agent_received, remaining);
            memcpy(_agent_header + _agent_received, data, size_t(n));
            data += n;
            remaining -= n;
            _agent_received += n;
            if (_agent_received < AGENT_HEADER_SIZE) {
                return;
            }
            uint32_t protocol = get32(_agent_header);
            uint64_t body_size = get32(_agent_header + 16);
            LOG_DEBUG("agent msg start: msg_size=%llu, protocol=%u, type=%u", (unsigned long long)body_size,
                      protocol, get32(_agent_header + 4));
            if (protocol != 1) {
                reset_agent_stream();
                THROW("Invalid protocol %u", protocol);
            }
            if (body_size > AGENT_MAX_MESSAGE_SIZE) {
                reset_agent_stream();
                THROW("agent message of %llu bytes is too large", (unsigned long long)body_size);
            }
            _agent_body.resize(size_t(body_size));
        }
        uint64_t body_size = _agent_body.size();
        uint64_t held = _agent_received - AGENT_HEADER_SIZE;
        uint64_t n = std::min(body_size - held, remaining);
        if (n) {
            memcpy(_agent_body.data() + held, data, size_t(n));
            data += n;
            remaining -= n;
            _agent_received += n;
        }
        if (_agent_received == AGENT_HEADER_SIZE + body_size) {
            LOG_DEBUG("agent msg end");
            std::vector<uint8_t> body;
            body.swap(_agent_body);
            _agent_received = 0;
            dispatch_agent_message(get32(_agent_header + 4), body.data(), uint32_t(body.size()));
        }
    }
}

void RedClient::dispatch_agent_message(uint32_t type, const uint8_t* body, uint32_t size) {
    // The smallest body each type's fixed fields need; a shorter one is dropped.
    static const std::map<uint32_t, uint32_t> fixed_size = {
        {AGENT_REPLY, 8},
        {AGENT_CLIPBOARD, 4},
        {AGENT_ANNOUNCE_CAPABILITIES, 4},
        {AGENT_CLIPBOARD_REQUEST, 4},
        {AGENT_SYSTEM_INFO, 8},
        {AGENT_SECOND_SCREEN, 5},
        {AGENT_GUEST_ADDRESS, 2},
        {AGENT_MAX_RESOLUTION, 8},
    };
    auto need = fixed_size.find(type);
    if (need != fixed_size.end() && size < need->second) {
        LOG_WARN("agent message type %u of %u bytes is too short (%u needed), dropped", type, size,
                 need->second);
        return;
    }
    switch (type) {
        case AGENT_REPLY:
            on_agent_reply(body, size);
            break;
        case AGENT_CLIPBOARD:
            on_agent_clipboard(body, size);
            break;
        case AGENT_ANNOUNCE_CAPABILITIES:
            send_client_address();
            send_agent_logonwin();
            send_agent_ssoDesktop();
            on_agent_announce_capabilities(body, size);
            send_display_modes();
            if (SessionBlock::pc_in_one()) {
                send_agent_monitors_config();
            }
            if (!_monitors_config_sent) {
                send_agent_custom_display();
            }
            break;
        case AGENT_CLIPBOARD_GRAB:
            on_agent_clipboard_grab(body, size);
            break;
        case AGENT_CLIPBOARD_REQUEST:
            on_agent_clipboard_request(body, size);
            break;
        case AGENT_CLIPBOARD_RELEASE:
            on_agent_clipboard_release();
            break;
        case AGENT_DYNAMIC_CHANNEL:
            LOG_DEBUG("dynamic channel data of %u bytes: no dynamic channels", size);
            break;
        case AGENT_SYSTEM_INFO:
            _guest_system_kind = uint16_t(body[0] | body[1] << 8);
            _guest_system_bit = uint16_t(body[2] | body[3] << 8);
            _guest_system_version = get32(body + 4);
            LOG_INFO("guest system info bit=%d,type=%d, version=%d", _guest_system_bit, _guest_system_kind,
                     _guest_system_version);
            break;
        case AGENT_SECOND_SCREEN: {
            uint32_t count = body[4];
            const uint32_t entry_size = 41;
            if (5 + uint64_t(count) * entry_size > size) {
                LOG_WARN("second-screen message of %u entries in %u bytes, dropped", count, size);
                break;
            }
            for (uint32_t i = 0; i < count; i++) {
                const uint8_t* entry = body + 5 + i * entry_size;
                int32_t x = int32_t(get32(entry + 1));
                int32_t y = int32_t(get32(entry + 5));
                if (entry[0] == 0 && (x != 0 || y != 0)) {
                    LOG_INFO("start on second screen %d %d %d", x, y, _listener.monitor_count());
                    send_agent_custom_display();
                }
            }
            break;
        }
        case AGENT_GUEST_POLICY:
            LOG_INFO("get msg to send guest policy to guest");
            send_user_policy();
            break;
        case AGENT_GUEST_ADDRESS:
            on_agent_guest_address(body, size);
            break;
        case AGENT_SCREEN_LOCKED:
            on_agent_screen_locked();
            break;
        case AGENT_HOST_RENDER_AUTH:
            if (host_render_graphic()) {
                LOG_INFO("recv vrix auth message.");
                send_agent_custom_display();
            }
            break;
        case AGENT_MAX_RESOLUTION:
            _guest_max_width = get32(body);
            _guest_max_height = get32(body + 4);
            LOG_INFO("recv max resolution message, w=%d, h=%d", _guest_max_width, _guest_max_height);
            break;
        default:
            LOG_DEBUG("Unsupported message type %u size %u", type, size);
            break;
    }
}

void RedClient::on_agent_reply(const uint8_t* body, uint32_t size) {
    uint32_t type = get32(body);
    uint32_t error = get32(body + 4);
    LOG_DEBUG("agent reply type: %d", type);
    if (error == REPLY_SUCCESS) {
        if (type != AGENT_MONITORS_CONFIG && type != AGENT_DISPLAY_CONFIG) {
            THROW("unexpected vdagent reply type");
        }
        if (type == _reply_wait_type) {
            send_attach_channels();
            disarm_agent_timer();
            _reply_wait_type = AGENT_NO_REPLY_WAIT;
        }
        return;
    }
    if (error == REPLY_ERROR) {
        THROW_ERR(10, "vdagent error");
    }
    THROW("unknown vdagent error");
}

void RedClient::on_agent_announce_capabilities(const uint8_t* body, uint32_t size) {
    uint32_t request = get32(body);
    uint32_t count = (size - 4) / 4;
    _agent_caps.assign(count, 0);
    for (uint32_t i = 0; i < count; i++) {
        _agent_caps[i] = get32(body + 4 + 4 * i);
    }
    if (request) {
        send_agent_announce_capabilities(0);
    }
    if (agent_has_cap(AGENT_CAP_DISPLAY_CONFIG) && !_display_config_sent) {
        send_agent_display_config();
    }
    if (agent_has_cap(AGENT_CAP_14)) {
        _agent_cap14 = true;
    }
}

void RedClient::on_agent_guest_address(const uint8_t* body, uint32_t size) {
    uint32_t ip_length = body[0];
    uint32_t mac_length = body[1];
    if (2 + uint64_t(ip_length) + mac_length > size) {
        LOG_WARN("[RedClient::dispatch_agent_message]the guest address texts run past the message, dropped");
        return;
    }
    std::string ip, mac;
    if (ip_length <= 15) {
        ip = field_text(std::string(reinterpret_cast<const char*>(body + 2), ip_length), 15);
    } else {
        LOG_WARN("[RedClient::dispatch_agent_message]the guest IP address is too long.");
    }
    if (mac_length <= 17) {
        mac = field_text(std::string(reinterpret_cast<const char*>(body + 2 + ip_length), mac_length), 17);
    } else {
        LOG_WARN("[RedClient::dispatch_agent_message]the guest MAC address is too long.");
    }
    bool changed;
    {
        Lock lock(_agent_data_lock);
        changed = strcasecmp(ip.c_str(), _guest_ip.c_str()) != 0 ||
                  strcasecmp(mac.c_str(), _guest_mac.c_str()) != 0;
        _guest_ip = ip;
        _guest_mac = mac;
    }
    // The watermark is a window of the main thread: it is redrawn there.
    if (changed) {
        GuestAddressEvent* event = new GuestAddressEvent(_listener, ip, mac);
        _app_loop.push_event(event);
        event->unref();
    }
}

void RedClient::on_agent_screen_locked() {
    LOG_INFO("Receive lock screen msg VD_AGENT_SCREEN_LOCKED form RUDAzezo");
    if (!SessionBlock::pc_in_one() || _logon_mode == 0 || tick_ms() - _sso_sent_ms < LOCK_AFTER_SSO_MS) {
        return;
    }
    LOG_INFO("because of vm is setted sso, so need lock physic pc.");
    DisableWindowLockScreen(0);
    _listener.lock_workstation();
}

// ---- Senders ----

void RedClient::post_agent_message(uint32_t type, const uint8_t* body, uint32_t size, bool take_token) {
    Message* message = new Message(MSGC_MAIN_AGENT_DATA);
    uint8_t* out = spice_marshaller_reserve(message->marshaller(), AGENT_HEADER_SIZE + size_t(size));
    put32_at(out, 1);
    put32_at(out + 4, type);
    memset(out + 8, 0, 8);
    put32_at(out + 16, size);
    if (size) {
        memcpy(out + AGENT_HEADER_SIZE, body, size);
    }
    if (take_token) {
        _agent_tokens--;
    }
    post_message(message);
}

void RedClient::send_agent_raw_message(uint32_t type, uint32_t size, const uint8_t* data) {
    post_agent_message(type, data, size, false);
}

void RedClient::send_agent_announce_capabilities(uint8_t request) {
    std::vector<uint8_t> body;
    put32(body, request);
    put32(body, client_agent_caps());
    post_agent_message(AGENT_ANNOUNCE_CAPABILITIES, body.data(), uint32_t(body.size()), true);
}

void RedClient::send_agent_display_config() {
    LOG_DEBUG("send display config");
    std::vector<uint8_t> body;
    put32(body, 0);
    put32(body, 0);
    post_agent_message(AGENT_DISPLAY_CONFIG, body.data(), uint32_t(body.size()), true);
    _display_config_sent = true;
}

std::vector<RedClient::AgentMonitor> RedClient::query_monitors() {
    MonitorsQuery* query = new MonitorsQuery(_listener);
    _app_loop.push_event(query);
    query->wait();
    bool ok = !query->failed() && query->ok();
    std::vector<AgentMonitor> monitors = query->monitors;
    query->unref();
    if (!ok) {
        THROW(" monitors query failed");
    }
    return monitors;
}

void RedClient::send_monitors_body(const std::vector<AgentMonitor>& monitors, uint32_t count_word) {
    std::vector<uint8_t> body;
    put32(body, count_word);
    put32(body, 1);
    for (const AgentMonitor& m : monitors) {
        put32(body, m.height);
        put32(body, m.width);
        put32(body, m.depth);
        put32(body, uint32_t(m.x));
        put32(body, uint32_t(m.y));
    }
    post_agent_message(AGENT_MONITORS_CONFIG, body.data(), uint32_t(body.size()), true);
    _monitors_config_sent = true;
    _reply_wait_type = AGENT_MONITORS_CONFIG;
}

void RedClient::send_agent_monitors_config() {
    std::vector<AgentMonitor> monitors = query_monitors();
    if (monitors.empty()) {
        LOG_WARN("no local monitor, no monitors config");
        return;
    }
    // The monitor nearest the desktop's origin becomes the guest's origin.
    size_t origin = 0;
    double best = -1;
    for (size_t i = 0; i < monitors.size(); i++) {
        double distance =
            std::sqrt(double(monitors[i].x) * monitors[i].x + double(monitors[i].y) * monitors[i].y);
        if (best < 0 || distance < best) {
            best = distance;
            origin = i;
        }
    }
    int32_t dx = -monitors[origin].x, dy = -monitors[origin].y;

    uint32_t user_width = 0, user_height = 0;
    bool user = _listener.get_user_display_size(&user_width, &user_height);
    if (user) {
        std::vector<DisplayMode> modes = _listener.display_modes();
        bool supported = user_width && user_height &&
                         std::any_of(modes.begin(), modes.end(), [&](const DisplayMode& mode) {
                             return mode.width == user_width && mode.height == user_height;
                         });
        if (supported) {
            LOG_INFO("width:%u,height:%u is supported", user_width, user_height);
        } else {
            LOG_INFO("_application._cur_userinfo->displaySize:width:%u, height:%u is not supported by client",
                     user_width, user_height);
            user_width = monitors[0].register_width;
            user_height = monitors[0].register_height;
            LOG_INFO("get_register_display_size:width:%u,height:%u", user_width, user_height);
            if (user_width == 0 || user_height == 0) {
                user_width = monitors[0].width;
                user_height = monitors[0].height;
            }
            _listener.set_user_display_size(user_width, user_height);
            LOG_INFO("So change to width:%u,height:%u", user_width, user_height);
        }
    }
    for (AgentMonitor& m : monitors) {
        if (user) {
            LOG_INFO("_application._cur_userinfo width:%u,height:%u", user_width, user_height);
            m.width = user_width;
            m.height = user_height;
        } else {
            LOG_INFO("width:%u,height:%u", m.width, m.height);
        }
        m.x += dx;
        m.y += dy;
    }
    send_monitors_body(monitors, uint32_t(monitors.size()));
}

void RedClient::send_agent_custom_display() {
    LOG_INFO("[trace][RedClient::send_agent_custom_display] enter");
    std::vector<AgentMonitor> monitors = query_monitors();
    if (monitors.empty()) {
        LOG_WARN("no local monitor, no custom display");
        return;
    }
    uint32_t user_width = 0, user_height = 0;
    bool user = _listener.get_user_display_size(&user_width, &user_height);
    for (AgentMonitor& m : monitors) {
        // A stored size with a zero side (none was ever chosen) would give the guest an empty display: the
        // monitor's own size stands in.
        if (user && user_width && user_height) {
            m.width = user_width;
            m.height = user_height;
        }
        m.x = 0;
        m.y = 0;
    }
    send_monitors_body(monitors, 1);
}

void RedClient::send_display_modes() {
    std::vector<DisplayMode> enumerated = _listener.display_modes();
    bool video_plugin = SessionBlock::video_plugin() || SessionBlock::video_plugin_tunnel();
    std::map<uint64_t, DisplayMode> kept;
    for (const DisplayMode& mode : enumerated) {
        if (video_plugin && (mode.width > 1920 || mode.height > 1200)) {
            continue;
        }
        kept.emplace(uint64_t(mode.width) + 65536ull * mode.height, mode);
    }
    if (kept.empty()) {
        return;
    }
    std::vector<uint8_t> body;
    put32(body, std::min<uint32_t>(uint32_t(kept.size()), MAX_DISPLAY_MODES_COUNT));
    for (const auto& entry : kept) {
        put32(body, entry.second.width);
        put32(body, entry.second.height);
    }
    post_agent_message(AGENT_DISPLAY_MODES, body.data(), uint32_t(body.size()), false);
}

void RedClient::send_agent_ssoDesktop() {
    bool expected = true;
    if (!_sso_pending.compare_exchange_strong(expected, false)) {
        return;
    }
    LOG_INFO("自动登录桌面配置：%d(0--未开启，1---登录到本地，2---登录到域)", _logon_mode);
    // Both texts are bounded by the session block's fields they come from.
    std::string user = field_text(_logon_user, SessionBlock::USER_NAME_ROOM);
    std::string password = field_text(_logon_password, SessionBlock::LOGON_PASSWORD_ROOM);
    uint32_t total = uint32_t(16 + user.size() + password.size());
    std::vector<uint8_t> record(total);
    put32_at(&record[0], total);
    put32_at(&record[4], uint32_t(_logon_mode));
    put32_at(&record[8], uint32_t(user.size()));
    put32_at(&record[12], uint32_t(password.size()));
    memcpy(&record[16], user.data(), user.size());
    memcpy(&record[16 + user.size()], password.data(), password.size());
    _sso_sent_ms = tick_ms();
    std::vector<uint8_t> sealed(record);
    if (!Rc4CryptFixedKey(&record[4], &sealed[4], int(total - 4))) {
        _sso_pending = true;
        return;
    }
    std::fill(record.begin(), record.end(), 0);
    post_agent_message(AGENT_LOGON_SSO, sealed.data(), total, false);
}

void RedClient::send_agent_logonwin() {
    std::string vdi_name = field_text(_vdi_user_name, SessionBlock::VDI_USER_NAME_ROOM);
    if (vdi_name.size() >= LOGON_TEXT_ROOM) {
        LOG_WARN("VDI user name of %u bytes, no Windows logon record", unsigned(vdi_name.size()));
        return;
    }
    char* utf8 = AnsiToUtf8(vdi_name.c_str());
    if (!utf8) {
        return;
    }
    std::string name(utf8);
    HeapFree(GetProcessHeap(), 0, utf8);
    uint8_t record[LOGON_RECORD_SIZE];
    memset(record, 0, sizeof(record));
    std::string domain = SessionBlock::domain();
    std::string bind_domain = SessionBlock::bind_domain();
    std::string user = SessionBlock::logon_user();
    put_text(record, name);
    put32_be_at(record + 128, SessionBlock::logon_mode());
    put32_be_at(record + 132, SessionBlock::add_local());
    put_text(record + 136, domain);
    put32_be_at(record + 264, SessionBlock::bind_domain_flag());
    put_text(record + 268, bind_domain);
    put_text(record + 396, user);
    LOG_INFO(
        "send to ktwagent vdiname:%s logmod:%d, addlocal flag:%d domain:%s, binddomain flag:%d domain:%s "
        "user:%s",
        name.c_str(), SessionBlock::logon_mode(), SessionBlock::add_local(), domain.c_str(),
        SessionBlock::bind_domain_flag(), bind_domain.c_str(), user.c_str());
    post_agent_message(AGENT_LOGON_WINDOWS, record, sizeof(record), false);
}

void RedClient::send_user_policy() {
    std::string policy;
    {
        Lock lock(_agent_data_lock);
        policy = _guest_policy;
    }
    if (policy.empty()) {
        LOG_WARN("the session has no guest policy, nothing sent");
        return;
    }
    size_t total = policy.size();
    for (size_t at = 0; at < total; at += POLICY_CHUNK) {
        uint32_t n = uint32_t(std::min<size_t>(POLICY_CHUNK, total - at));
        uint16_t flags = 0;
        if (at == 0) {
            flags |= 1;
        }
        if (at + n == total) {
            flags |= 2;
        }
        if (!flags) {
            flags = 4;
        }
        std::vector<uint8_t> body;
        body.push_back(uint8_t(flags));
        body.push_back(uint8_t(flags >> 8));
        put32(body, n);
        body.insert(body.end(), policy.begin() + at, policy.begin() + at + n);
        post_agent_message(AGENT_GUEST_POLICY, body.data(), uint32_t(body.size()), false);
    }
}

void RedClient::send_client_address() {
    uint8_t body[20];
    {
        Lock lock(_agent_data_lock);
        memcpy(body, _client_address, sizeof(body));
    }
    post_agent_message(AGENT_CLIENT_ADDRESS, body, sizeof(body), false);
}

void RedClient::send_agent_display_refresh() {
    post_agent_message(AGENT_DISPLAY_REFRESH, nullptr, 0, false);
}

void RedClient::request_guest_address() {
    post_agent_message(AGENT_GUEST_ADDRESS, nullptr, 0, false);
}

// ---- Clipboard ----

void RedClient::on_clipboard_grab(const uint32_t* types, uint32_t count) {
    // The local clipboard is never announced to the guest.
}

void RedClient::on_clipboard_request(uint32_t type) {
    ClipboardRequestEvent* event = new ClipboardRequestEvent(*this, type);
    get_process_loop().push_event(event);
    event->unref();
}

void RedClient::on_clipboard_notify(uint32_t type, const uint8_t* data, uint32_t size) {
    ClipboardNotifyEvent* event = new ClipboardNotifyEvent(*this, type, data, size);
    get_process_loop().push_event(event);
    event->unref();
}

void RedClient::on_clipboard_release() {}

void RedClient::send_agent_clipboard_message(uint32_t type, uint32_t size, const uint8_t* data) {
    if (!_agent_running || !agent_has_cap(AGENT_CAP_CLIPBOARD_BY_DEMAND)) {
        return;
    }
    post_agent_message(type, data, size, true);
}

void RedClient::send_agent_clipboard_notify_message(uint32_t size, uint32_t type, const uint8_t* data) {
    if (!_agent_running || !agent_has_cap(AGENT_CAP_CLIPBOARD_BY_DEMAND)) {
        return;
    }
    if (!_clipboard_pending.empty()) {
        LOG_DEBUG("clipboard change is already pending");
        return;
    }
    // The client never owns the clipboard: the guest gets an empty answer.
    LOG_WARN("received clipboard data from client while clipboard is not owned by client");
    std::vector<uint8_t> message;
    put32(message, 1);
    put32(message, AGENT_CLIPBOARD);
    put32(message, 0);
    put32(message, 0);
    put32(message, 4);
    put32(message, GUEST_CLIPBOARD_NONE);
    _clipboard_pending.swap(message);
    _clipboard_pending_sent = 0;
    if (_agent_tokens > 0) {
        send_agent_clipboard_chunks();
    }
}

void RedClient::send_agent_clipboard_chunks() {
    while (_agent_tokens > 0 && _clipboard_pending_sent < _clipboard_pending.size()) {
        size_t n = std::min<size_t>(CLIPBOARD_CHUNK, _clipboard_pending.size() - _clipboard_pending_sent);
        Message* message = new Message(MSGC_MAIN_AGENT_DATA);
        uint8_t* out = spice_marshaller_reserve(message->marshaller(), n);
        memcpy(out, _clipboard_pending.data() + _clipboard_pending_sent, n);
        _agent_tokens--;
        post_message(message);
        _clipboard_pending_sent += n;
    }
    if (_clipboard_pending_sent == _clipboard_pending.size()) {
        _clipboard_pending.clear();
        _clipboard_pending_sent = 0;
    }
}

void RedClient::on_agent_clipboard(const uint8_t* body, uint32_t size) {
    PlatformClipboard* board = clipboard();
    uint32_t type = get32(body);
    if (!board || board->get_clipboard_owner() != CLIPBOARD_OWNER_GUEST) {
        LOG_WARN("received clipboard data from guest while clipboard is not owned by guest");
        if (HANDLE event = Platform::clipboard_event()) {
            SetEvent(event);
        }
        return;
    }
    if (type == GUEST_CLIPBOARD_NONE) {
        if (HANDLE event = Platform::clipboard_event()) {
            SetEvent(event);
        }
        return;
    }
    board->on_clipboard_notify(type, body + 4, size - 4);
}

void RedClient::on_agent_clipboard_grab(const uint8_t* body, uint32_t size) {
    PlatformClipboard* board = clipboard();
    uint32_t count = size / 4;
    std::vector<uint32_t> types(count);
    for (uint32_t i = 0; i < count; i++) {
        types[i] = get32(body + 4 * i);
    }
    if (board) {
        board->on_clipboard_grab(types.data(), count);
    }
}

void RedClient::on_agent_clipboard_request(const uint8_t* body, uint32_t size) {
    LOG_WARN("received clipboard req from guest while clipboard is not owned by client");
    on_clipboard_notify(GUEST_CLIPBOARD_NONE, nullptr, 0);
}

void RedClient::on_agent_clipboard_release() {
    PlatformClipboard* board = clipboard();
    if (board && board->get_clipboard_owner() == CLIPBOARD_OWNER_GUEST) {
        board->set_clipboard_owner(CLIPBOARD_OWNER_NONE);
        return;
    }
    LOG_INFO("received clipboard release from guest while clipboard is not owned by guest");
}
