// RedChannelBase: a peer that knows its SPICE channel type and id and its capability words, and performs the
// link handshake: link header and link message with the capability words, the server's reply with its RSA key
// and capabilities, the password encrypted with RSA-OAEP, and the 4-byte result. Its connect chooses plain
// TCP or TLS, retries over TLS and falls back from protocol 2 to protocol 1.
//
// Worker thread only, like the peer it is (RedPeer::shutdown excepted).
#pragma once

#include "transport/connection/red_peer.h"

#include <cstdint>
#include <vector>

// Capability words: bit n of a set lives in word n / 32, bit n % 32.
typedef std::vector<uint32_t> ChannelCaps;

enum {
    // Common capabilities.
    SPICE_COMMON_CAP_MINI_HEADER = 3,   // the 6-byte message header; the only framing this client speaks
    SPICE_COMMON_CAP_MAKER = 32,        // the maker's additions, announced on every channel
    SPICE_COMMON_CAP_MAKER_VM_ID = 33,  // main channel: common words 4 and 5 carry the VM id
    SPICE_COMMON_CAP_HEARTBEAT = 34,    // the server takes the heartbeat message
    // Channel capabilities.
    SPICE_MAIN_CAP_CLIENT_PING = 16,       // the server's main channel takes the client's ping
    SPICE_DISPLAY_CAP_COMPACT_DRAWS = 35,  // the display channel's optimised-WAN (compact) encoding
};

// The sizes of the link's fixed parts.
enum {
    SPICE_LINK_HEADER_SIZE = 16,
    SPICE_LINK_MESS_SIZE = 18,
    SPICE_LINK_REPLY_SIZE = 178,
    SPICE_LINK_PUBKEY_SIZE = 162,
    // A reply larger than this cannot come from a server: it has a key and a few capability words.
    SPICE_LINK_REPLY_MAX_SIZE = 64 * 1024,
};

bool caps_has(const ChannelCaps& caps, uint32_t bit);
void caps_set(ChannelCaps& caps, uint32_t bit);

// The channel's display name for log lines.
const char* channel_type_name(uint8_t type);

// Process-wide flags that the links set and other subsystems read, from any thread.
// Some channel connected over plain TCP (read by the session window).
bool channel_connected_unsecure();
// The server's main channel takes the client's ping (its channel capability 16; read by the main channel
// client).
bool main_channel_takes_ping();

class RedChannelBase : public RedPeer {
public:
    RedChannelBase(uint8_t type, uint8_t id, const ChannelCaps& common_caps, const ChannelCaps& caps);
    ~RedChannelBase() override;

    uint8_t get_type() const { return _type; }
    uint8_t get_id() const { return _id; }

    // Local words: the channels add bits before connecting.
    ChannelCaps& get_common_caps() { return _common_caps; }
    ChannelCaps& get_caps() { return _caps; }
    // Remote words and versions: valid after a link, replaced by every link.
    const ChannelCaps& get_remote_common_caps() const { return _remote_common_caps; }
    const ChannelCaps& get_remote_caps() const { return _remote_caps; }
    int get_peer_major() const { return _remote_major; }
    int get_peer_minor() const { return _remote_minor; }

    // The bit in the remote channel words.
    bool peer_has_capability(uint32_t cap) const { return caps_has(_remote_caps, cap); }
    bool peer_has_common_capability(uint32_t cap) const { return caps_has(_remote_common_caps, cap); }
    // The bit in both the local and the remote channel words.
    bool capability_negotiated(uint32_t cap) const {
        return caps_has(_caps, cap) && caps_has(_remote_caps, cap);
    }
    // Display channel: both sides announced the compact draw encoding at the last link.
    bool is_opt_wan() const { return _opt_wan; }

    // The handshake on a connected peer. protocol 1 sends version 1.3, protocol 2 version 2.2.
    void link(int protocol, uint32_t connection_id, const char* password, uint64_t vm_id);
    // Connect and link: plain first when allowed, TLS after a plain failure that was not a version mismatch,
    // and with the automatic protocol one more round with protocol 1 after a version mismatch.
    void connect(const ConnectionOptions& options, uint32_t connection_id, const char* host,
                 const char* password, uint64_t vm_id);

    // Migration: the peer's connection and the remote versions change places with the other channel's.
    virtual void swap(RedChannelBase* other);

protected:
    // The plain attempt failed and no other attempt follows (neither TLS nor the protocol fall-back).
    virtual void on_connect_failed() {}
    // Connected, before the link message is built: the last chance to add local capability bits.
    virtual void before_send_link_msg() {}
    // The reply is parsed and the remote words stored, before the password is sent.
    virtual void on_link_reponse() {}

private:
    void connect_and_link(const ConnectionOptions& options, int protocol, uint32_t connection_id,
                          const char* host, const char* password, uint64_t vm_id, bool fall_back_follows);
    // link, failing with code 3 when the server did not complete it within the link deadline (RedPeer).
    void link_in_time(int protocol, uint32_t connection_id, const char* password, uint64_t vm_id);
    void send_all(const uint8_t* data, size_t size);
    void receive_all(uint8_t* data, size_t size);
    void send_password(const uint8_t* public_key, const char* password);

    uint8_t _type;
    uint8_t _id;
    ChannelCaps _common_caps;
    ChannelCaps _caps;
    ChannelCaps _remote_common_caps;
    ChannelCaps _remote_caps;
    int _remote_major;
    int _remote_minor;
    bool _opt_wan;
};
