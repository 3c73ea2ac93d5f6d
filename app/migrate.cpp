#include "app/migrate.h"

#include "app/red_client.h"
#include "runtime/exception.h"
#include "runtime/log.h"
#include "transport/channel/message.h"

namespace {

enum {
    MSGC_MAIN_MIGRATE_CONNECTED = 102,
    MSGC_MAIN_MIGRATE_CONNECT_ERROR = 103,
};

const uint64_t ABORT_POLL_NS = 10 * 1000 * 1000;

int port_or_none(uint16_t port) {
    return port == 0 ? -1 : int(port);
}

}  // namespace

Migrate::Migrate(RedClient& client)
    : _client(client),
      _running(false),
      _aborting(false),
      _connected(false),
      _logon_mode(0),
      _vm_id(0),
      _port(-1),
      _secure_port(-1),
      _connected_count(0),
      _protocol(0) {}

Migrate::~Migrate() {
    abort();
    clear_channels();
}

void Migrate::add_channel(RedChannelBase& channel) {
    Lock lock(_lock);
    _peers.emplace_back(
        new MigChannel(channel.get_type(), channel.get_id(), channel.get_common_caps(), channel.get_caps()));
}

void Migrate::clear_channels() {
    Lock lock(_lock);
    _peers.clear();
}

bool Migrate::running() {
    Lock lock(_lock);
    return _running;
}

bool Migrate::connected() {
    Lock lock(_lock);
    return _connected;
}

void Migrate::start(const SpiceMigrationDstInfo& target) {
    LOG_DEBUG("Migrate::start");
    abort();
    RedPeer::HostCheckOptions client_auth;
    {
        Lock lock(_client._target_lock);
        client_auth = _client._host_auth;
        _ciphers = _client._ciphers;
        _password = _client._logon_password;
    }
    int major = _client.get_peer_major();
    int minor = _client.get_peer_minor();
    _host = target.host_data ? target.host_data : "";
    _port = port_or_none(target.port);
    _secure_port = port_or_none(target.sport);
    if (major == 1 && minor == 0) {
        LOG_INFO(
            "server minor version incompatible for destination authentication(missing dest pubkey in "
            "SpiceMsgMainMigrationBegin)");
        _host_auth = client_auth;
    } else if (major == 1 || (major == 2 && minor == 0)) {
        _host_auth = RedPeer::HostCheckOptions();
        _host_auth.type_flags = RedPeer::HostCheckOptions::PUBKEY;
        if (target.pub_key_data) {
            _host_auth.host_pubkey.assign(target.pub_key_data, target.pub_key_data + target.pub_key_size);
        }
    } else {
        _host_auth = RedPeer::HostCheckOptions();
        _host_auth.type_flags = RedPeer::HostCheckOptions::SUBJECT;
        _host_auth.CA_file = client_auth.CA_file;
        if (target.cert_subject_size != 0 && target.cert_subject_data) {
            _host_auth.host_subject = target.cert_subject_data;
        }
    }
    _logon_mode = _client.get_logon_mode();
    _logon_user = _client.get_logon_user();
    _vdi_user_name = _client.get_vdi_user_name();
    _vm_id = _client.get_vm_id();

    Lock lock(_lock);
    _running = true;
    _protocol = 0;
    try {
        _thread.reset(new Thread(worker_main, this));
    } catch (...) {
        _running = false;
        throw;
    }
}

void* Migrate::worker_main(void* arg) {
    static_cast<Migrate*>(arg)->run();
    return nullptr;
}

void Migrate::run() {
    LOG_DEBUG("Migrate::run");
    bool connected = false;
    // The peers stay in the list while the thread runs: clear_channels comes only with a new connection,
    // after an abort, and abort waits for the thread.
    std::list<MigChannel*> peers;
    {
        Lock lock(_lock);
        for (auto& peer : _peers) {
            peers.push_back(peer.get());
        }
    }
    try {
        uint32_t connection_id = _client.get_connection_id();
        bool first = true;
        for (MigChannel* peer : peers) {
            RedPeer::ConnectionOptions client_options = _client.get_connection_options(peer->get_type());
            int protocol = first ? _client.get_protocol() : int(_protocol);
            RedPeer::ConnectionOptions options(client_options.type, _port, _secure_port, protocol, _host_auth,
                                               _ciphers);
            connect_one(*peer, options, connection_id);
            first = false;
        }
        connected = true;
        LOG_DEBUG("connected");
    } catch (Exception& e) {
        LOG_INFO("migration pre-connect failed: %s", e.what());
    } catch (...) {
        LOG_INFO("migration pre-connect failed");
    }
    if (!connected) {
        close_peers();
    }
    Lock lock(_lock);
    _connected = connected;
    _condition.notify_all();
    _client.post_message(
        new Message(connected ? MSGC_MAIN_MIGRATE_CONNECTED : MSGC_MAIN_MIGRATE_CONNECT_ERROR));
    _running = false;
}

void Migrate::connect_one(MigChannel& peer, const RedPeer::ConnectionOptions& options,
                          uint32_t connection_id) {
    if (_aborting) {
        LOG_DEBUG("aborting");
        THROW("aborting");
    }
    peer.connect(options, connection_id, _host.c_str(), _password.c_str(), _vm_id);
    Lock lock(_lock);
    _connected_count++;
    peer.connected = true;
    if (_protocol == 0) {
        _protocol = peer.get_peer_major() == 1 ? 1 : 2;
    }
}

void Migrate::close_peers() {
    Lock lock(_lock);
    for (auto& peer : _peers) {
        peer->close();
        peer->connected = false;
        peer->clear_shut();
    }
}

void Migrate::abort() {
    std::unique_ptr<Thread> thread;
    {
        Lock lock(_lock);
        if (_aborting) {
            return;
        }
        _aborting = true;
        for (;;) {
            for (auto& peer : _peers) {
                peer->shutdown();
                peer->connected = false;
            }
            if (!_running) {
                break;
            }
            _condition.timed_wait(lock, ABORT_POLL_NS);
        }
        for (auto& peer : _peers) {
            peer->close();
            peer->connected = false;
            peer->clear_shut();
        }
        _connected_count = 0;
        _connected = false;
        thread = std::move(_thread);
    }
    if (thread) {
        thread->join();
    }
    _aborting = false;
}

void Migrate::swap_peer(RedChannelBase& channel) {
    LOG_DEBUG("channel type %u id %u", channel.get_type(), channel.get_id());
    try {
        bool last;
        {
            Lock lock(_lock);
            if (_running) {
                THROW("swap and running");
            }
            if (!_connected) {
                THROW("not connected");
            }
            MigChannel* peer = nullptr;
            for (auto& candidate : _peers) {
                if (candidate->get_type() == channel.get_type() && candidate->get_id() == channel.get_id()) {
                    peer = candidate.get();
                    break;
                }
            }
            if (!peer) {
                THROW("no channel");
            }
            if (!peer->connected) {
                THROW("invalid");
            }
            channel.swap(peer);
            peer->connected = false;
            last = --_connected_count == 0;
        }
        if (last) {
            _client.set_target(_host, _port, _secure_port, _protocol);
            abort();
        }
    } catch (...) {
        abort();
        throw;
    }
}
