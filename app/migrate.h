// Migrate: moving the session to another server. At migrate begin the server names the target; a thread of
// this class pre-connects a bare peer (MigChannel) to the target for every channel the client has and reports
// success (client message 102) or failure (103) on the main channel. At migrate end each channel, on its own
// thread, swaps its connection for its pre-connected peer; after the last swap the client's target is the new
// server and the source connections, now held by the peers, are closed.
//
// States: idle -> running (migrate begin) -> connected (every peer linked; 102) -> idle (the last swap, a
// failure with 103, a cancel, a disconnection or an abort).
#pragma once

#include "runtime/threads.h"
#include "transport/channel/red_channel_base.h"
#include "transport/connection/red_peer.h"
#include "transport/protocol/server_messages.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

class RedClient;
class RedChannel;

// A bare peer standing for one channel towards the migration target: no worker, loop or handler.
class MigChannel : public RedChannelBase {
public:
    MigChannel(uint8_t type, uint8_t id, const ChannelCaps& common_caps, const ChannelCaps& caps)
        : RedChannelBase(type, id, common_caps, caps), connected(false) {}

    bool connected;  // guarded by the Migrate lock
};

class Migrate {
public:
    explicit Migrate(RedClient& client);
    // Aborts and deletes the peers.
    ~Migrate();

    Migrate(const Migrate&) = delete;
    Migrate& operator=(const Migrate&) = delete;

    // A peer for the channel (its type, id and capability words). Any thread.
    void add_channel(RedChannelBase& channel);
    // Deletes every peer (a new connection of the client).
    void clear_channels();

    // Main channel's thread: ends an earlier migration and starts pre-connecting to the target. The texts of
    // the message are checked by the caller.
    void start(const SpiceMigrationDstInfo& target);
    // Any thread but the migration thread: ends a running migration (its peers shut down and closed) and
    // waits for the thread. Nothing while another abort runs.
    void abort();
    // A channel's thread, leaving the source: the channel takes its peer's target connection. Throws
    // Exception ("swap and running", "not connected", "no channel", "invalid") after aborting the migration.
    void swap_peer(RedChannelBase& channel);

    bool running();
    bool connected();
    // The target as the last begin named it (tests and the log).
    std::string host() const { return _host; }
    int port() const { return _port; }
    int secure_port() const { return _secure_port; }
    const RedPeer::HostCheckOptions& host_auth() const { return _host_auth; }

private:
    static void* worker_main(void* arg);
    void run();
    void connect_one(MigChannel& peer, const RedPeer::ConnectionOptions& options, uint32_t connection_id);
    void close_peers();

    RedClient& _client;
    std::list<std::unique_ptr<MigChannel>> _peers;  // guarded by _lock
    bool _running;                                  // guarded by _lock
    std::atomic<bool> _aborting;
    bool _connected;  // guarded by _lock
    int _logon_mode;
    std::string _logon_user;
    std::string _password;
    std::string _host;
    std::string _vdi_user_name;
    uint64_t _vm_id;
    int _port;
    int _secure_port;
    RedPeer::HostCheckOptions _host_auth;
    std::string _ciphers;
    std::unique_ptr<Thread> _thread;
    Mutex _lock;
    Condition _condition;
    int _connected_count;        // peers linked and not yet swapped; guarded by _lock
    std::atomic<int> _protocol;  // of the target: 0 until the first peer linked
};
