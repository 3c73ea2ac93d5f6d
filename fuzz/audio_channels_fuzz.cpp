// The playback and record channels fed by a server that sends arbitrary messages once the link is made. The
// input: byte 0 picks the channel (bit 0: record), bytes 1-4 are the server's channel capability word, the
// rest is what the server sends after its link reply and result, in the 6-byte framing. Every message goes
// through the channel's parser and handlers (mode, start, stop, data, volume, mute and the common ones). The
// devices are in memory: the player checks that no frame larger than its slot reaches it, the recorder hands
// its channel a few frames at each start. Whatever the bytes, the channel must end the connection (never
// crash, over-read, allocate without bound or hang) and report the end once.
#include "devices/playback_channel.h"
#include "devices/record_channel.h"
#include "platform/session_block.h"
#include "runtime/log.h"
#include "transport/channel/channel_client.h"

#include "winapi/windows.h"
#include "winapi/winsock2.h"

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace {

SOCKET listener = INVALID_SOCKET;
int listen_port = 0;
std::vector<uint8_t> link_reply;  // header, reply with one common and one channel word, result

class FuzzClient : public ChannelClient {
public:
    std::atomic<int> disconnects{0};

    RedPeer::ConnectionOptions get_connection_options(uint8_t) override {
        return RedPeer::ConnectionOptions(RedPeer::ConnectionOptions::CON_OP_UNSECURE, listen_port, -1, 2,
                                          RedPeer::HostCheckOptions(), "");
    }
    std::string get_host() override { return "127.0.0.1"; }
    std::string get_password() override { return "secret"; }
    uint64_t get_vm_id() override { return 1; }
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
    void notify_network_quality(int, uint32_t) override {}
    uint32_t get_mm_time() override { return _mm_time; }
    void set_mm_time(uint32_t time) override { _mm_time = time; }

private:
    Mutex _lock;
    Condition _condition;
    uint64_t _serial = 0;
    std::atomic<uint32_t> _mm_time{0};
};

class Player : public WavePlaybackAbstract {
public:
    explicit Player(uint32_t frame_bytes) : _frame_bytes(frame_bytes) {}
    bool write(const uint8_t* frame, uint32_t size) override {
        if (size > _frame_bytes) {
            abort();
        }
        volatile uint8_t sink = size ? frame[size - 1] : 0;
        (void)sink;
        return true;
    }
    bool abort() override { return true; }
    void stop() override {}
    uint32_t get_delay_ms() override { return 7; }
    void set_mute(bool) override {}
    void set_volume(uint32_t) override {}

private:
    uint32_t _frame_bytes;
};

class Playback : public PlaybackChannel {
public:
    explicit Playback(FuzzClient& client) : PlaybackChannel(client, 0) {}

protected:
    WavePlaybackAbstract* create_player(uint32_t rate, uint32_t channels, uint32_t frame_samples) override {
        if (rate < AUDIO_MIN_RATE || rate > AUDIO_MAX_RATE || channels != 2) {
            abort();  // the channel checks these before making a player
        }
        return new Player(frame_samples * channels * 2);
    }
};

class Recorder : public WaveRecordAbstract {
public:
    Recorder(Platform::RecordClient& client, uint32_t frame_bytes)
        : _client(client), _frame(frame_bytes, 0x55) {}
    void start() override {
        for (int i = 0; i < 6; i++) {
            _client.push_frame(_frame.data(), uint32_t(_frame.size()));
        }
    }
    void stop() override {}
    bool abort() override { return true; }

private:
    Platform::RecordClient& _client;
    std::vector<uint8_t> _frame;
};

class Record : public RecordChannel {
public:
    explicit Record(FuzzClient& client) : RecordChannel(client, 0) {}

protected:
    WaveRecordAbstract* create_recorder(uint32_t rate, uint32_t channels, uint32_t frame_samples) override {
        if (rate < AUDIO_MIN_RATE || rate > AUDIO_MAX_RATE || channels != 2) {
            abort();
        }
        return new Recorder(*this, frame_samples * channels * 2);
    }
};

void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out[at + i] = uint8_t(v >> (8 * i));
    }
}

void start() {
    log_set_threshold(getenv("FUZZ_LOG") ? 0 : (unsigned)-1);
    SessionBlock::clear();
    SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);
    SessionBlock::set_u32(SessionBlock::RECORD_LOSSY, 1);  // lets a granting server pick CELT
    SessionBlock::set_u32(SessionBlock::RECORD_ALGORITHM, 1);
    // A link reply with a real key (the channel encrypts its password with it): the main channel's seed,
    // given a channel capability word.
    std::ifstream seed(KTW_LINK_SEED, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(seed)), std::istreambuf_iterator<char>());
    if (bytes.size() != 202) {
        fprintf(stderr, "bad link seed %s\n", KTW_LINK_SEED);
        abort();
    }
    link_reply.assign(bytes.begin(), bytes.begin() + 198);
    put32(link_reply, 12, 178 + 8);  // two capability words
    put32(link_reply, 16 + 170, 1);  // one channel word
    link_reply.resize(link_reply.size() + 4);
    link_reply.insert(link_reply.end(), bytes.begin() + 198, bytes.end());

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

SOCKET serve(const std::vector<uint8_t>& bytes) {
    pollfd ready = {(int)listener, POLLIN, 0};
    if (poll(&ready, 1, 5000) <= 0) {
        return INVALID_SOCKET;
    }
    SOCKET server = accept(listener, nullptr, nullptr);
    if (server == INVALID_SOCKET) {
        return server;
    }
    for (size_t at = 0; at < bytes.size();) {
        int sent = send(server, (const char*)bytes.data() + at,
                        (int)std::min<size_t>(bytes.size() - at, 1 << 16), 0);
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
    if (size < 5 || size > (1 << 20)) {
        return 0;
    }
    std::vector<uint8_t> bytes = link_reply;
    put32(bytes, 198,
          uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16 | uint32_t(data[4]) << 24);
    bytes.insert(bytes.end(), data + 5, data + size);
    SOCKET server = INVALID_SOCKET;
    std::thread server_thread([&] { server = serve(bytes); });

    FuzzClient client;
    {
        std::unique_ptr<RedChannel> channel;
        if (data[0] & 1) {
            channel.reset(new Record(client));
        } else {
            channel.reset(new Playback(client));
        }
        channel->start();
        channel->connect();
        for (int waited = 0; client.disconnects == 0; waited += 2) {
            if (waited > 30000) {
                abort();
            }
            Sleep(2);
        }
        while (!channel->abort()) {
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
