// RedClient: the main channel (type 1, id 0) and the controller of one session. It is a RedChannel with its
// own worker thread and the ChannelClient of every channel: it holds the connection target and the logon
// data, answers the main-channel messages (init, channel list, mouse mode, multimedia time, agent), creates
// every other channel through the registered factories and owns them, keeps the multimedia clock and the
// table of the channels' handled message serials, and reports connection, disconnection and mouse-mode
// changes to the application's loop as events (their responses call the Listener on that loop's thread).
#pragma once

#include "app/migrate.h"
#include "app/network_probe.h"

#include "platform/clipboard.h"
#include "runtime/process_loop.h"
#include "runtime/threads.h"
#include "transport/channel/channel_client.h"
#include "transport/channel/channel_factory.h"
#include "transport/channel/message_types.h"
#include "transport/channel/red_channel.h"
#include "transport/protocol/server_messages.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

// A channel that follows the server's mouse mode implements this beside RedChannel: the cursor channel
// (type 4) is told on the main channel's thread when the mode changes, the display channels (type 2) get the
// capture mode on the application's thread.
class MouseModeSink {
public:
    virtual ~MouseModeSink() {}
    virtual void on_mouse_mode_change() {}
    virtual void set_capture_mode(bool captured) {}
};

class RedClient : public RedChannel, public ChannelClient, public ClipboardListener {
public:
    enum MouseMode : uint32_t {
        MOUSE_MODE_SERVER = 1,  // pointer captured, relative motion
        MOUSE_MODE_CLIENT = 2,  // absolute position
    };

    // Serial table: channel types 0 to 10, ids 0 to 255.
    static constexpr int MAX_CHANNEL_TYPE = 10;
    // USB redirection channels counted from one channel list.
    static constexpr uint32_t MAX_USB_CHANNELS = 15;
    // Main-channel capability: the client can play the video plug-in's stream.
    static constexpr uint32_t CAP_VIDEO_PLUGIN = 17;

    // A local monitor as the guest agent's display configuration uses it. The registry size is the one the
    // user set for the monitor (0 when unknown).
    struct AgentMonitor {
        uint32_t depth;
        uint32_t width;
        uint32_t height;
        int32_t x;
        int32_t y;
        uint32_t register_width;
        uint32_t register_height;
    };
    struct DisplayMode {
        uint32_t width;
        uint32_t height;
    };

    // Guest-agent message types.
    enum AgentMessageType : uint32_t {
        AGENT_MONITORS_CONFIG = 2,
        AGENT_REPLY = 3,
        AGENT_CLIPBOARD = 4,
        AGENT_DISPLAY_CONFIG = 5,
        AGENT_ANNOUNCE_CAPABILITIES = 6,
        AGENT_CLIPBOARD_GRAB = 7,
        AGENT_CLIPBOARD_REQUEST = 8,
        AGENT_CLIPBOARD_RELEASE = 9,
        AGENT_DYNAMIC_CHANNEL = 15,
        AGENT_DISPLAY_MODES = 17,
        AGENT_SYSTEM_INFO = 18,
        AGENT_LOGON_SSO = 21,
        AGENT_DISPLAY_REFRESH = 23,
        AGENT_SECOND_SCREEN = 26,
        AGENT_GUEST_POLICY = 28,
        AGENT_CLIENT_ADDRESS = 34,
        AGENT_LOGON_WINDOWS = 35,
        AGENT_GUEST_ADDRESS = 36,
        AGENT_SCREEN_LOCKED = 37,
        AGENT_HOST_RENDER_AUTH = 39,
        AGENT_MAX_RESOLUTION = 40,
    };
    static constexpr uint32_t AGENT_HEADER_SIZE = 20;
    // The largest agent message accepted from the guest; a larger one ends the connection.
    static constexpr uint64_t AGENT_MAX_MESSAGE_SIZE = 64ull << 20;
    static constexpr uint32_t AGENT_NO_REPLY_WAIT = 43;

    // What the session's owner (the application) is told. The first three run on the application loop's
    // thread (through events); on_connect_failed runs on the main channel's thread.
    class Listener {
    public:
        virtual ~Listener() {}
        virtual void on_connected() = 0;
        virtual void on_disconnected(int error_code) = 0;
        virtual void on_mouse_mode_changed(uint32_t mode) = 0;
        // The main connection could not be made; called before the disconnection is reported.
        virtual void on_connect_failed() = 0;
        // The number of local monitors (log lines only).
        virtual int monitor_count() { return 1; }
        // The server asks the application to move the session to another host (application loop's thread).
        // subject is empty when the server named none.
        virtual void on_switch_host(const std::string& host, int port, int secure_port,
                                    const std::string& subject) {}
        // Every channel left the migration source: the images the source's caches and GLZ window hold are
        // gone for the target (a channel's thread, under the channels lock).
        virtual void on_migration_caches_reset() {}

        // ---- Guest agent ----

        // Application loop's thread: the local monitors with ids 0, 1, 2 ... in order. False when they
        // cannot be listed.
        virtual bool query_monitors(std::vector<AgentMonitor>* monitors) { return false; }
        // Application loop's thread: the display size the user chose for the session; false without one.
        virtual bool get_user_display_size(uint32_t* width, uint32_t* height) { return false; }
        virtual void set_user_display_size(uint32_t width, uint32_t height) {}
        // Main channel's thread: the display modes of the local display device, in enumeration order.
        virtual std::vector<DisplayMode> display_modes();
        // Application loop's thread: the guest's address texts changed (the watermark shows them).
        virtual void on_guest_address_changed(const std::string& ip, const std::string& mac) {}
        // Main channel's thread: the guest locked its screen and the local workstation follows.
        virtual void lock_workstation() {}
    };

    // The images every display channel of the session shares (the pixmap cache and the GLZ window). The
    // display code owns them and registers them here; the client empties them at connect and once every
    // channel has left a migration source, when no display channel decodes.
    class SharedImages {
    public:
        virtual ~SharedImages() {}
        virtual void clear_images() = 0;
    };

    typedef std::function<bool(RedChannel& channel)> ForEachChannelFunc;

    // Starts the worker thread, which waits disconnected for a connect. app_loop is the application's loop,
    // which must outlive the client.
    RedClient(ProcessLoop& app_loop, Listener& listener);
    // The owner has aborted the client (abort returned true) before.
    ~RedClient() override;

    // ---- Main thread: target, logon data, factories ----

    void set_target(const std::string& host, int port, int secure_port, int protocol);
    void set_logon_mode(int mode) { _logon_mode = mode; }
    void set_logon_user(const std::string& user) { _logon_user = user; }
    void set_vdi_user_name(const std::string& name) { _vdi_user_name = name; }
    // The logon password text (sent with the automatic-logon record); never logged.
    void set_logon_password(const std::string& password) { _logon_password = password; }
    // The link password every channel's handshake uses; never logged.
    void set_password(const std::string& password);
    void set_vm_id(uint64_t vm_id) { _vm_id = vm_id; }
    // Per channel type: 1 secure only, 2 plain only, 3 both; copied at every connect.
    void set_security(const std::map<uint8_t, uint32_t>& security);
    void set_host_auth(const RedPeer::HostCheckOptions& options, const std::string& ciphers);
    // Not owned; a type registered twice counts once.
    void register_channel_factory(ChannelFactory& factory);
    // Not owned, and they outlive the client; null: none. Any thread.
    void set_shared_images(SharedImages* images) { _shared_images = images; }

    int get_port() const { return _port; }
    int get_secure_port() const { return _secure_port; }
    const std::string& get_logon_user() const { return _logon_user; }
    const std::string& get_vdi_user_name() const { return _vdi_user_name; }
    int get_logon_mode() const { return _logon_mode; }
    Migrate& migration() { return _migrate; }
    // Set by migrate end until the target's init connected every channel again.
    bool migrated_reconnect() const { return _migrated_reconnect; }

    // The guest-policy text from the parent client; empty: none.
    void set_guest_policy(const std::string& policy);
    // The client's address sent to the agent: the IPv4 address in network byte order and up to 8 MAC bytes.
    void set_client_address(uint32_t ipv4, const uint8_t* mac, uint32_t mac_length);
    // Main channel's thread, at connect: the MAC of the Ethernet or 802.11 adapter the default route leaves
    // through (else the first such adapter; none leaves the length 0) and the socket's own IPv4 address.
    void get_client_address();

    // ---- RedChannel ----

    // Main thread. Waits (running the application's events) until the channels of an earlier connection are
    // gone, resets the session state and gives the main channel the connect action. Nothing while a
    // connection is up.
    void connect() override;
    // Any thread.
    void disconnect() override;
    // Main thread, repeated until true: ends the main channel's and every channel's worker, then deletes the
    // channels. Releases wait_for_channels at once.
    bool abort() override;

    // ---- ChannelClient ----

    RedPeer::ConnectionOptions get_connection_options(uint8_t channel_type) override;
    std::string get_host() override;
    std::string get_password() override;
    uint64_t get_vm_id() override { return _vm_id; }
    uint32_t get_connection_id() override { return _connection_id; }
    int get_protocol() override;
    void set_protocol(int protocol) override;
    int get_main_peer_major() override { return get_peer_major(); }
    SyncInfo get_sync_info(uint8_t channel_type, uint8_t channel_id) override;
    void on_channel_disconnected(RedChannel& channel) override;
    // Throws Exception "invalid channel type %u" for a type above 10 and "aborting" when the client aborts
    // while it waits.
    void wait_for_channels(int wait_count, const SpiceWaitForChannel* wait_list) override;
    void migrate_channel(RedChannel& channel) override;
    void on_channel_disconnect_mig_src_completed(RedChannel& channel) override;
    bool icmp_ping(double* seconds) override;
    void notify_network_quality(int quality, uint32_t delay_us) override;
    // The multimedia clock runs on the 64-bit monotonic clock, so it never wraps with the tick count.
    uint32_t get_mm_time() override;
    void set_mm_time(uint32_t time) override;

    // ---- Channels ----

    // Under the channels lock, in list order, until the functor returns false.
    void for_each_channel(const ForEachChannelFunc& func);
    // The display channel (type 2) the last channel list created; null until then.
    RedChannel* get_display_channel() { return _display_channel; }
    // The mouse mode: 1 server, 2 client. Any thread.
    uint32_t get_mouse_mode() const { return _mouse_mode; }
    // Main channel's thread: stores a changed mode, tells the cursor channels and the application; asks the
    // server for client mode when it supports it.
    void set_mouse_mode(uint32_t supported, uint32_t current);

    // Sizes from the last init, in 4-byte pixels.
    uint64_t get_pixmap_cache_size() const { return _pixmap_cache_size; }
    uint32_t get_glz_window_size() const { return _glz_window_size; }
    uint32_t get_usb_channel_count() const { return _usb_channel_count; }
    bool agent_running() const { return _agent_running; }
    // The guest agent was sent the local monitor configuration (the window state is worth storing from then
    // on). Set by the agent code.
    bool monitors_config_sent() const { return _monitors_config_sent; }
    void set_monitors_config_sent(bool sent) { _monitors_config_sent = sent; }
    // Messages the client may still send to the guest agent.
    int32_t get_agent_tokens() const { return _agent_tokens; }

    // A handler of the main-channel messages bound to the client (the channel owns one; tests and the fuzz
    // target feed another).
    static RedChannel::MessageHandler* create_message_handler(RedClient& client);

    // The millisecond clock under the multimedia clock: monotonic and 64 bits wide. Tests replace it (null
    // restores the system's).
    static void set_clock_for_testing(uint64_t (*now_ms)());

    // ---- Main-channel message handlers (main channel's thread) ----

    void handle_init(const SpiceMsgMainInit& init);
    void handle_channels(const SpiceMsgChannels& channels);
    void handle_mouse_mode(const SpiceMsgMainMouseMode& mode);
    void handle_mm_time(const SpiceMsgMainMultiMediaTime& time);
    void handle_agent_connected();
    void handle_agent_connected_tokens(const SpiceMsgMainAgentTokens& tokens);
    void handle_agent_disconnected(const SpiceMsgMainAgentDisconnect& disconnect);
    void handle_agent_data(const SpiceRawBody& data);
    void handle_agent_tokens(const SpiceMsgMainAgentTokens& tokens);
    // The agent's stream: reassembled into agent messages, each dispatched once whole. Throws Exception for a
    // header of another protocol or a message above AGENT_MAX_MESSAGE_SIZE.
    void handle_agent_stream(const uint8_t* data, uint32_t size);
    // Drops a partly received agent message (a new connection starts a new stream).
    void reset_agent_stream();
    void handle_migrate_begin(const SpiceMsgMainMigrationBegin& begin);
    void handle_migrate_cancel();
    void handle_migrate_switch_host(const SpiceMsgMainMigrationSwitchHost& host);
    void handle_migrate_end();

    // Sizes the GLZ window and the pixmap cache from the free memory; throws Exception "low memory
    // condition" (code 8) when there is too little. available_page_file and available_virtual in bytes.
    void calc_pixmap_cache_and_glz_window_size(uint32_t display_channels_hint, uint32_t ram_hint,
                                               uint64_t available_page_file, uint64_t available_virtual);
    // Attach channels (client message 104): once per connection.
    void send_attach_channels();

    // ---- Network probe ----

    // From init when the server takes the client's ping: the ping timer, once per client.
    void create_request_guest_ping();
    // The guest-address timer, once per client; each tick calls request_guest_address.
    void create_request_guest_address_timer();
    NetworkProbe& network_probe() { return _probe; }

    // ---- Guest-agent senders (main channel's thread unless said otherwise) ----

    void send_agent_announce_capabilities(uint8_t request);
    void send_agent_display_config();
    void send_agent_monitors_config();
    void send_agent_custom_display();
    void send_display_modes();
    // Also the main thread (session unlock): once per connection, again after set_sso_pending.
    void send_agent_ssoDesktop();
    void set_sso_pending() { _sso_pending = true; }
    void send_agent_logonwin();
    void send_user_policy();
    void send_client_address();
    void send_agent_display_refresh();
    // Any thread (the guest-address timer).
    void request_guest_address();
    // Any thread: one raw agent message without a token.
    void send_agent_raw_message(uint32_t type, uint32_t size, const uint8_t* data);
    void send_agent_clipboard_message(uint32_t type, uint32_t size, const uint8_t* data);
    void send_agent_clipboard_notify_message(uint32_t size, uint32_t type, const uint8_t* data);

    // The client's capability word of its type-6 message.
    static uint32_t client_agent_caps();
    bool agent_has_cap(uint32_t bit) const;
    bool agent_cap14() const { return _agent_cap14; }
    uint32_t guest_max_width() const { return _guest_max_width; }
    uint32_t guest_max_height() const { return _guest_max_height; }
    std::string guest_ip();
    std::string guest_mac();

    // The clipboard bridge the agent's clipboard messages reach: the platform's unless a test gives one.
    static void set_clipboard_for_testing(PlatformClipboard* clipboard);

    // ---- ClipboardListener (any thread: they only queue events for the main channel's thread) ----

    void on_clipboard_grab(const uint32_t* types, uint32_t count) override;
    void on_clipboard_request(uint32_t type) override;
    void on_clipboard_notify(uint32_t type, const uint8_t* data, uint32_t size) override;
    void on_clipboard_release() override;

protected:
    void on_connecting() override;
    void on_connect() override;
    void on_disconnect() override;
    void on_connect_failed() override;
    // Offers the video plug-in (main capability 17) when the session wants it.
    void before_send_link_msg() override;
    void on_disconnect_mig_src() override;
    void on_connect_mig_target() override {}

private:
    friend class Migrate;
    class ConnectedEvent;
    class SwitchHostEvent;
    class MigrateEndEvent;
    class DisconnectedEvent;
    class MouseModeEvent;
    class AgentTimer;
    class MonitorsQuery;
    class GuestAddressEvent;
    class ClipboardRequestEvent;
    class ClipboardNotifyEvent;

    // The registered shared images emptied (connect, migration end).
    void clear_shared_images();

    bool abort_channels();
    void delete_channels();
    void disconnect_channels();
    ChannelFactory* find_factory(uint8_t type);
    void create_channel(uint8_t type, uint8_t id);
    // Attaching waits for the agent: true when it runs.
    bool init_guest_display();
    void post_simple(uint16_t type);
    void post_ping(uint32_t id, uint64_t counter);
    bool icmp_round_trip(double* round_trip_ms);
    void calc_cache_sizes_from_system(uint32_t display_channels_hint, uint32_t ram_hint);

    // Agent internals (main channel's thread).
    void start_agent(uint8_t request);
    void disarm_agent_timer();
    void dispatch_agent_message(uint32_t type, const uint8_t* body, uint32_t size);
    void on_agent_reply(const uint8_t* body, uint32_t size);
    void on_agent_announce_capabilities(const uint8_t* body, uint32_t size);
    void on_agent_guest_address(const uint8_t* body, uint32_t size);
    void on_agent_screen_locked();
    void on_agent_clipboard(const uint8_t* body, uint32_t size);
    void on_agent_clipboard_grab(const uint8_t* body, uint32_t size);
    void on_agent_clipboard_request(const uint8_t* body, uint32_t size);
    void on_agent_clipboard_release();
    // Posts one agent message in a client message 107; take_token: the agent tokens pay for it.
    void post_agent_message(uint32_t type, const uint8_t* body, uint32_t size, bool take_token);
    // The monitors from the application loop; throws Exception " monitors query failed".
    std::vector<AgentMonitor> query_monitors();
    void send_monitors_body(const std::vector<AgentMonitor>& monitors, uint32_t count_word);
    void send_agent_clipboard_chunks();
    PlatformClipboard* clipboard();

    ProcessLoop& _app_loop;
    Listener& _listener;
    std::atomic<SharedImages*> _shared_images{nullptr};
    RedChannel* _display_channel;

    Mutex _target_lock;  // host and password: read by every channel's worker
    std::string _host;
    int _port;
    int _secure_port;
    std::atomic<int> _protocol;
    std::map<uint8_t, uint32_t> _security;
    RedPeer::HostCheckOptions _host_auth;
    std::string _ciphers;

    int _logon_mode;
    std::string _logon_user;
    std::string _vdi_user_name;
    std::string _logon_password;
    std::string _password;
    uint64_t _vm_id;

    std::atomic<uint32_t> _connection_id;
    std::atomic<uint32_t> _mouse_mode;

    Mutex _notify_lock;
    bool _notify_disconnect;  // guarded by _notify_lock

    // Main channel's thread.
    bool _attach_sent;
    bool _agent_running;
    std::atomic<bool> _monitors_config_sent{false};
    int32_t _agent_tokens;
    bool _channels_listed;  // a channel list was handled in this connection
    AgentTimer* _agent_timer;

    // Agent state (main channel's thread unless said otherwise).
    uint8_t _agent_header[AGENT_HEADER_SIZE];
    std::vector<uint8_t> _agent_body;
    uint64_t _agent_received;  // header and body bytes of the message being reassembled
    std::vector<uint32_t> _agent_caps;
    uint32_t _reply_wait_type;
    bool _display_config_sent;
    std::atomic<bool> _sso_pending;
    std::atomic<uint64_t> _sso_sent_ms;
    uint16_t _guest_system_kind;
    uint16_t _guest_system_bit;
    uint32_t _guest_system_version;
    uint32_t _guest_max_width;
    uint32_t _guest_max_height;
    bool _agent_cap14;
    std::vector<uint8_t> _clipboard_pending;  // one whole agent message to the guest, sent in chunks
    size_t _clipboard_pending_sent;
    Mutex _agent_data_lock;  // the texts below: set by the parent's thread or the probe, read here
    std::string _guest_policy;
    uint8_t _client_address[20];
    std::string _guest_ip;
    std::string _guest_mac;

    Mutex _channels_lock;
    std::vector<ChannelFactory*> _factories;
    std::list<RedChannel*> _channels;

    Mutex _sync_lock;
    Condition _sync_condition;
    bool _aborting;  // guarded by _sync_lock
    uint64_t _serials[MAX_CHANNEL_TYPE + 1][256];
    uint64_t _spare_serial;  // the slot of a channel type outside the table; nobody waits on it
    bool _abort_started;

    uint64_t _pixmap_cache_size;
    uint32_t _glz_window_size;
    uint32_t _usb_channel_count;

    Mutex _mm_clock_lock;
    uint64_t _mm_clock_base_ms;  // monotonic milliseconds when the clock was set
    uint32_t _mm_clock_offset;

    Migrate _migrate;
    std::list<RedChannel*> _migrating_channels;  // leaving the source; guarded by _channels_lock
    std::atomic<bool> _migrated_reconnect;

    // Last: its timers call into the members above, and it stops them before they go.
    NetworkProbe _probe;
};
