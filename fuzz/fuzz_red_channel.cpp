// A channel connecting to a server that sends arbitrary bytes: the link reply with the server's public key
// and capability words, the link result, then messages in the 6-byte framing, handled by the channel's own
// handlers (acknowledgement window, ping, wait-for-channels, disconnecting, notify, migrate, pong) and
// SPICE_MSG_LIST. The input is everything the server sends on one loopback connection, after which it closes
// its sending side. Whatever it holds, the channel must end that connection with its error code (never crash,
// over-read, allocate without bound or hang) and report the end to the client exactly once.
//
// The channel is a main channel linked with protocol 2 over plain TCP only, so each input is one connection.
#include "platform/session_block.h"
#include "runtime/log.h"
#include "transport/channel/channel_client.h"
#include "transport/channel/message_handler.h"
#include "transport/channel/red_channel.h"

#include "winapi/windows.h"
#include "winapi/winsock2.h"

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

SOCKET listener = INVALID_SOCKET;
int listen_port = 0;

class FuzzClient : public ChannelClient {
public:
    std::atomic<int> disconnects{0};

    RedPeer::ConnectionOptions get_connection_options(uint8_t) override {
        return RedPeer::ConnectionOptions(RedPeer::ConnectionOptions::CON_OP_UNSECURE, listen_port, -1, 2,
                                          RedPeer::HostCheckOptions(), "");
    }
    std::string get_host() override { return "127.0.0.1"; }
    std::string get_password() override { return "secret"; }
    uint64_t get_vm_id() override { return 0x1122334455667788ull; }
    uint32_t get_connection_id() override { return 1; }
    int get_protocol() override { return 2; }
    void set_protocol(int) override {}
    int get_main_peer_major() override { return 2; }
    SyncInfo get_sync_info(uint8_t, uint8_t) override { return SyncInfo{&_lock, &_condition, &_serial}; }
    void on_channel_disconnected(RedChannel&) override { disconnects++; }
    void wait_for_channels(int, const SpiceWaitForChannel*) override {}
    void migrate_channel(RedChannel&) override {}
    void on_channel_disconnect_mig_src_completed(RedChannel&) override {}
    bool icmp_ping(double* seconds) override {
        *seconds = 0.002;
        return true;
    }
    void notify_network_quality(int quality, uint32_t delay_us) override {
        if (quality < 0 || quality > 5 || delay_us > 1000000) {
            abort();
        }
    }
    uint32_t get_mm_time() override { return 0; }
    void set_mm_time(uint32_t time) override {}

private:
    Mutex _lock;
    Condition _condition;
    uint64_t _serial = 0;
};

class FuzzChannel : public RedChannel {
public:
    typedef MessageHandlerImp<FuzzChannel, SPICE_CHANNEL_MAIN> Handler;

    explicit FuzzChannel(FuzzClient& client) : FuzzChannel(client, new Handler(*this)) {}

private:
    FuzzChannel(FuzzClient& client, Handler* handler) : RedChannel(client, SPICE_CHANNEL_MAIN, 0, handler) {
        handler->set_handler<SPICE_MSG_MIGRATE>(&FuzzChannel::handle_migrate);
        handler->set_handler<SPICE_MSG_SET_ACK>(&FuzzChannel::handle_set_ack);
        handler->set_handler<SPICE_MSG_PING>(&FuzzChannel::handle_ping);
        handler->set_handler<SPICE_MSG_WAIT_FOR_CHANNELS>(&FuzzChannel::handle_wait_for_channels);
        handler->set_handler<SPICE_MSG_DISCONNECTING>(&FuzzChannel::handle_disconnect);
        handler->set_handler<SPICE_MSG_NOTIFY>(&FuzzChannel::handle_notify);
        handler->set_handler<SPICE_MSG_MAIN_PONG>(&FuzzChannel::handle_pong);
    }
};

void start() {
    log_set_threshold(getenv("FUZZ_LOG") ? 0 : (unsigned)-1);
    // Plain TCP straight to the server, never through the tunnel.
    SessionBlock::clear();
    SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, (const sockaddr*)&address, sizeof(address));
    listen(listener, 4);
    int length = sizeof(address);
    getsockname(listener, (sockaddr*)&address, &length);
    listen_port = ntohs(address.sin_port);
}

// The server: takes the connection, sends everything and closes its sending side. The socket stays open until
// the channel has ended, so that what the channel still sends does not reset the connection.
SOCKET serve(const uint8_t* bytes, size_t size) {
    pollfd ready = {(int)listener, POLLIN, 0};
    if (poll(&ready, 1, 5000) <= 0) {
        return INVALID_SOCKET;
    }
    SOCKET server = accept(listener, nullptr, nullptr);
    if (server == INVALID_SOCKET) {
        return server;
    }
    for (size_t at = 0; at < size;) {
        int sent = send(server, (const char*)bytes + at, (int)std::min<size_t>(size - at, 1 << 16), 0);
        if (sent <= 0) {
            break;
        }
        at += (size_t)sent;
    }
    shutdown(server, SD_SEND);
    return server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (listener == INVALID_SOCKET) {
        start();
    }
    if (size > (1 << 20)) {
        return 0;
    }
    SOCKET server = INVALID_SOCKET;
    std::thread server_thread([&] { server = serve(data, size); });

    FuzzClient client;
    {
        FuzzChannel channel(client);
        channel.start();
        channel.connect();
        // The server has closed: the connection ends however far the bytes got. A channel still connected
        // after this long has stopped reading its socket.
        for (int waited = 0; client.disconnects == 0; waited += 2) {
            if (waited > 30000) {
                abort();
            }
            Sleep(2);
        }
        while (!channel.abort()) {
        }
    }
    server_thread.join();
    if (server != INVALID_SOCKET) {
        closesocket(server);
    }
    if (client.disconnects != 1) {
        fprintf(stderr, "DISCONNECTS %d\n", int(client.disconnects));
        abort();
    }
    return 0;
}
