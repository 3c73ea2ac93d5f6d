// ChannelClient: what every channel calls up to the main channel client (RedClient), which owns the channels,
// holds the session's connection settings and the table of the channels' message serials, and decides what a
// channel's disconnection means for the session. The channels know the client only through this interface.
#pragma once

#include "runtime/threads.h"
#include "transport/connection/red_peer.h"
#include "transport/protocol/server_messages.h"

#include <cstdint>
#include <string>

class RedChannel;

class ChannelClient {
public:
    // Where a channel publishes the count of messages it has handled: the client's serial-table lock, its
    // condition and the channel's own slot, written under the lock with a broadcast on every write.
    struct SyncInfo {
        Mutex* lock;
        Condition* condition;
        uint64_t* message_serial;
    };

    virtual ~ChannelClient() {}

    // ---- Connection settings; read by each channel's worker as it connects ----

    // The connection type configured for the channel type, the ports, the protocol (0 automatic), the host
    // checks and the cipher list.
    virtual RedPeer::ConnectionOptions get_connection_options(uint8_t channel_type) = 0;
    virtual std::string get_host() = 0;
    virtual std::string get_password() = 0;
    virtual uint64_t get_vm_id() = 0;
    virtual uint32_t get_connection_id() = 0;
    // The session's protocol: 0 until the first channel linked with the automatic protocol fixed it to 1
    // or 2.
    virtual int get_protocol() = 0;
    virtual void set_protocol(int protocol) = 0;
    // The main channel's remote major version: every channel's marshallers follow it.
    virtual int get_main_peer_major() = 0;
    virtual SyncInfo get_sync_info(uint8_t channel_type, uint8_t channel_id) = 0;

    // ---- Reports and requests from a channel's worker thread ----

    // The channel's connection ended (or could not be made); its error code is set. Once per ended
    // connection.
    virtual void on_channel_disconnected(RedChannel& channel) = 0;
    // Blocks the calling channel's thread until each listed channel has handled the listed message serial.
    virtual void wait_for_channels(int wait_count, const SpiceWaitForChannel* wait_list) = 0;
    // Swaps the channel's connection with the one prepared towards the migration target.
    virtual void migrate_channel(RedChannel& channel) = 0;
    virtual void on_channel_disconnect_mig_src_completed(RedChannel& channel) = 0;

    // ---- Network quality, from the main channel's pong handler ----

    // An ICMP echo to the session's host: true with the round trip in seconds, false when it failed.
    virtual bool icmp_ping(double* seconds) = 0;
    // Tells the navigation bar the measured quality (0-5) and delay (microseconds, at most 1000000), unless
    // the session's settings forbid it.
    virtual void notify_network_quality(int quality, uint32_t delay_us) = 0;

    // ---- The session's multimedia clock, in milliseconds: video frames and audio play by it ----

    // The server's time now: the last time set plus the local time elapsed since. Any thread.
    virtual uint32_t get_mm_time() = 0;
    // The clock reads the given time now and runs on from there. Any thread.
    virtual void set_mm_time(uint32_t time) = 0;
};
