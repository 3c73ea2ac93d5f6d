// The tunnel connection block: what the maker's core component and the session block give the tunnel.
#pragma once

#include <cstdint>
#include <string>

const size_t VPN_KEY_SIZE = 16;
const size_t VPN_HOSTNAME_SIZE = 512;
const size_t VPN_USER_NAME_SIZE = 100;

struct VpnInfo {
    // Fields 1-4 lie in a row; the request record copies them as they lie.
    unsigned char stream_key[VPN_KEY_SIZE];       // last 16 bytes of the tunnel ticket; keys the records
    unsigned char session_id[VPN_KEY_SIZE];       // first 16 bytes of the core component's session id
    unsigned char stream_key_copy[VPN_KEY_SIZE];  // the stream key again, as the gateway receives it
    unsigned char request_key[VPN_KEY_SIZE];      // the session id again; keys the request record
    // The gateway's address text. Each block keeps its own copy: the core component's buffer and the
    // socket library's address text are shared with other channels.
    char hostname[VPN_HOSTNAME_SIZE];
    uint32_t port;                       // gateway port, host order
    char user_name[VPN_USER_NAME_SIZE];  // UTF-8, NUL-terminated
    uint32_t request_a;                  // 10
    uint32_t request_b;
    uint32_t request_c;
};

// Fills the block from the core component (session id, gateway address) and from the session block's
// tunnel ticket (128 hexadecimal characters) and VDI user name, both narrow texts in the system code page.
// The block is cleared first. False when the core component or one of its answers is missing; a bad
// ticket only leaves the stream key as the session id.
bool LoadOspxAddressAndSessId(VpnInfo* info, const std::string& ticket, const std::string& user_name);
