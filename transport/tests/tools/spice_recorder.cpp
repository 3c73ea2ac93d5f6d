// spice_recorder: links every channel of a SPICE server listening on 127.0.0.1 and records the messages it
// sends, for the parser tests' fixtures (tools/record_qemu.sh runs it against QEMU).
//
//   spice_recorder --port PORT --out DIR --name PREFIX [--seconds N] [--max-bytes N] [--per-type N]
//                  [--max-message N] [--qmp SOCKET]
//
// It links the main channel (empty password), reads SPICE_MSG_MAIN_INIT, sends attach-channels, reads the
// channel list and links every listed display, inputs, cursor, playback and record channel with the session
// id, sending the display init message on the display channel. It then reads all channels for N seconds,
// answering SPICE_MSG_SET_ACK with ACK_SYNC, acknowledging every window and answering SPICE_MSG_PING with
// PONG. Only the 6-byte mini header is spoken: a server that does not grant it is refused. The link and
// capability words are those the session client announces, so the server sends what the client would get.
//
// Written per channel ("main", "display", "display1", ...):
//   DIR/PREFIX.CHANNEL.rec   the recorded messages:
//       16-byte file header: "KTWREC1\0", then 8 reserved bytes (zero);
//       then records, back to back, little-endian and packed: u8 channel type, u16 message type, u32 body
//       size, body (body size bytes). Records keep the order in which the messages arrived.
//   DIR/PREFIX.CHANNEL.link  the server's link reply as received: its 16-byte header (magic, major, minor,
//   size)
//       and the reply body (error word, public key, capability counts and words).
//
// Not every message is kept, so that fixtures stay small: the first message of every type is kept, later ones
// only while their type has fewer than --per-type messages, their body is no larger than --max-message and
// differs from every body kept before, and the file stays within --max-bytes (which bounds the first ones
// too). A summary of what arrived and what was kept goes to stderr.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

// Protocol constants the recorder needs.
const uint32_t kLinkMagic = 0x51444552;  // "REDQ"
const uint32_t kMajor = 2, kMinor = 2;
const uint8_t kChannelMain = 1, kChannelDisplay = 2, kChannelInputs = 3, kChannelCursor = 4,
              kChannelPlayback = 5, kChannelRecord = 6;
const uint16_t kMsgSetAck = 3, kMsgPing = 4;
const uint16_t kMsgMainInit = 103, kMsgMainChannelsList = 104;
const uint16_t kMsgcAckSync = 1, kMsgcAck = 2, kMsgcPong = 3;
const uint16_t kMsgcMainAttachChannels = 104, kMsgcDisplayInit = 101;
const uint32_t kCommonCapMiniHeader = 1u << 3;
const size_t kLinkReplyFixedSize = 178;
const size_t kPublicKeyOffset = 4, kPublicKeySize = 162;
// Bounds on what the server may make the recorder allocate.
const uint32_t kMaxLinkReply = 64 * 1024;
const uint32_t kMaxBody = 64 * 1024 * 1024;
const int kIoTimeoutSeconds = 10;

const char kFileMagic[8] = {'K', 'T', 'W', 'R', 'E', 'C', '1', '\0'};

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out.push_back(uint8_t(v >> (8 * i)));
    }
}
void put64(std::vector<uint8_t>& out, uint64_t v) {
    for (int i = 0; i < 8; i++) {
        out.push_back(uint8_t(v >> (8 * i)));
    }
}
uint16_t get16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t get64(const uint8_t* p) {
    return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32;
}

const char* channel_name(uint8_t type) {
    switch (type) {
        case kChannelMain:
            return "main";
        case kChannelDisplay:
            return "display";
        case kChannelInputs:
            return "inputs";
        case kChannelCursor:
            return "cursor";
        case kChannelPlayback:
            return "playback";
        case kChannelRecord:
            return "record";
        default:
            return nullptr;
    }
}

// Capability words the session client announces on each channel (common words, channel words). Bits 32 and up
// are the client maker's own; a standard server ignores them.
void client_capabilities(uint8_t type, std::vector<uint32_t>* common, std::vector<uint32_t>* channel) {
    *common = {kCommonCapMiniHeader, 1u << 0};
    channel->clear();
    switch (type) {
        case kChannelMain:
            (*common)[1] |= 1u << 1;
            *channel = {1u << 0};
            break;
        case kChannelDisplay:
            *channel = {(1u << 2) | (1u << 3), (1u << 0) | (1u << 2) | (1u << 3) | (1u << 4) | (1u << 5)};
            break;
        case kChannelCursor:
            *channel = {1u << 2};
            break;
        case kChannelPlayback:
            *channel = {(1u << 1) | (1u << 4)};
            break;
        default:
            break;
    }
}

// ---- Sockets ----

class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    ~Socket() { close(); }
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    bool send_all(const std::vector<uint8_t>& data) const {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            done += size_t(n);
        }
        return true;
    }
    // False on end of stream, error or the receive timeout.
    bool recv_all(uint8_t* data, size_t size) const {
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::recv(fd_, data + done, size - done, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            done += size_t(n);
        }
        return true;
    }

private:
    int fd_;
};

// Only the loopback address is ever contacted.
Socket connect_loopback(uint16_t port, std::string* error) {
    Socket s(::socket(AF_INET, SOCK_STREAM, 0));
    if (!s.valid()) {
        *error = std::string("socket: ") + strerror(errno);
        return s;
    }
    timeval tv{kIoTimeoutSeconds, 0};
    setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = std::string("connect: ") + strerror(errno);
        s.close();
    }
    return s;
}

// Resumes a machine started paused, through its QMP socket (a local file).
bool resume_machine(const std::string& path, std::string* error) {
    Socket s(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (!s.valid() || path.size() >= sizeof addr.sun_path) {
        *error = "bad QMP socket";
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    timeval tv{kIoTimeoutSeconds, 0};
    setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = std::string("QMP connect: ") + strerror(errno);
        return false;
    }
    // Every reply is one line; the greeting comes first, then one "return" (or "error") per command, with
    // asynchronous events possibly in between.
    std::string pending;
    auto next_line = [&](std::string* line) {
        size_t end;
        while ((end = pending.find('\n')) == std::string::npos) {
            char buf[4096];
            ssize_t n = ::recv(s.fd(), buf, sizeof buf, 0);
            if (n <= 0) {
                return false;
            }
            pending.append(buf, size_t(n));
        }
        *line = pending.substr(0, end);
        pending.erase(0, end + 1);
        return true;
    };
    auto command = [&](const char* name) {
        std::string text = std::string("{\"execute\": \"") + name + "\"}\n";
        if (!s.send_all(std::vector<uint8_t>(text.begin(), text.end()))) {
            return false;
        }
        std::string line;
        while (next_line(&line)) {
            if (line.find("\"return\"") != std::string::npos) {
                return true;
            }
            if (line.find("\"error\"") != std::string::npos) {
                break;
            }
        }
        *error = std::string("QMP ") + name + " failed";
        return false;
    };
    std::string greeting;
    if (!next_line(&greeting)) {
        *error = "no QMP greeting";
        return false;
    }
    return command("qmp_capabilities") && command("cont");
}

// ---- Link ----

// The password with its terminating NUL, encrypted with the server's RSA key (RSA-OAEP with SHA-1).
bool encrypt_password(const uint8_t* der, size_t der_size, const std::string& password,
                      std::vector<uint8_t>* out, std::string* error) {
    const unsigned char* p = der;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(d2i_PUBKEY(nullptr, &p, long(der_size)),
                                                            EVP_PKEY_free);
    if (!key || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) {
        *error = "the link reply's public key is not an RSA key";
        return false;
    }
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                    EVP_PKEY_CTX_free);
    size_t size = 0;
    const auto* plain = reinterpret_cast<const unsigned char*>(password.c_str());
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha1()) <= 0 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &size, plain, password.size() + 1) <= 0) {
        *error = "could not set up the password encryption";
        return false;
    }
    out->resize(size);
    if (EVP_PKEY_encrypt(ctx.get(), out->data(), &size, plain, password.size() + 1) <= 0) {
        *error = "could not encrypt the password";
        return false;
    }
    out->resize(size);
    return true;
}

// Links one channel. On success the socket is ready for messages and *reply holds the link reply (header and
// body).
Socket link_channel(uint16_t port, uint32_t connection_id, uint8_t type, uint8_t id,
                    std::vector<uint8_t>* reply, std::string* error) {
    error->clear();
    Socket s = connect_loopback(port, error);
    if (!s.valid()) {
        return s;
    }
    std::vector<uint32_t> common, channel;
    client_capabilities(type, &common, &channel);

    std::vector<uint8_t> msg;
    put32(msg, kLinkMagic);
    put32(msg, kMajor);
    put32(msg, kMinor);
    put32(msg, uint32_t(18 + 4 * (common.size() + channel.size())));
    put32(msg, connection_id);
    msg.push_back(type);
    msg.push_back(id);
    put32(msg, uint32_t(common.size()));
    put32(msg, uint32_t(channel.size()));
    put32(msg, 18);
    for (uint32_t w : common) {
        put32(msg, w);
    }
    for (uint32_t w : channel) {
        put32(msg, w);
    }
    if (!s.send_all(msg)) {
        *error = "could not send the link message";
        s.close();
        return s;
    }

    uint8_t head[16];
    if (!s.recv_all(head, sizeof head)) {
        // The server closes without a reply for a channel the machine lacks.
        *error = "no link reply";
        s.close();
        return s;
    }
    uint32_t size = get32(head + 12);
    if (get32(head) != kLinkMagic || get32(head + 4) != kMajor || size > kMaxLinkReply) {
        *error = "bad link reply header (magic " + std::to_string(get32(head)) + ", major " +
                 std::to_string(get32(head + 4)) + ", size " + std::to_string(size) + ")";
        s.close();
        return s;
    }
    reply->assign(head, head + sizeof head);
    reply->resize(sizeof head + size);
    uint8_t* body = reply->data() + sizeof head;
    if (!s.recv_all(body, size)) {
        *error = "short link reply";
        s.close();
        return s;
    }
    if (size >= 4 && get32(body) != 0) {
        *error = "link refused with error " + std::to_string(get32(body));
        s.close();
        return s;
    }
    if (size < kLinkReplyFixedSize) {
        *error = "link reply of " + std::to_string(size) + " bytes";
        s.close();
        return s;
    }
    uint64_t common_count = get32(body + 166), channel_count = get32(body + 170),
             caps_offset = get32(body + 174);
    if (caps_offset + 4 * (common_count + channel_count) > size) {
        *error = "link reply capability words past its end";
        s.close();
        return s;
    }
    if (common_count == 0 || !(get32(body + caps_offset) & kCommonCapMiniHeader)) {
        *error = "the server does not grant the mini header";
        s.close();
        return s;
    }

    std::vector<uint8_t> secret;
    if (!encrypt_password(body + kPublicKeyOffset, kPublicKeySize, "", &secret, error) ||
        !s.send_all(secret)) {
        if (error->empty()) {
            *error = "could not send the password";
        }
        s.close();
        return s;
    }
    uint8_t result[4];
    if (!s.recv_all(result, sizeof result)) {
        *error = "no link result";
        s.close();
    } else if (get32(result) != 0) {
        *error = "link result " + std::to_string(get32(result));
        s.close();
    }
    return s;
}

// ---- Recording ----

// The kept messages of one channel, in fixture form, with the selection rules of the file comment.
class Recording {
public:
    struct Limits {
        uint64_t max_bytes = 2 * 1024 * 1024;
        uint32_t per_type = 8;
        uint32_t max_message = 64 * 1024;
    };

    Recording(uint8_t channel_type, const Limits& limits) : channel_type_(channel_type), limits_(limits) {
        bytes_.assign(kFileMagic, kFileMagic + sizeof kFileMagic);
        bytes_.resize(16, 0);
    }

    void add(uint16_t type, const std::vector<uint8_t>& body) {
        TypeStats& stats = stats_[type];
        stats.received++;
        uint64_t record_size = 7 + uint64_t(body.size());
        std::string key(reinterpret_cast<const char*>(body.data()), body.size());
        bool first = stats.kept == 0;
        bool duplicate = seen_[type].count(std::hash<std::string>()(key)) != 0;
        bool wanted =
            first || (stats.kept < limits_.per_type && body.size() <= limits_.max_message && !duplicate);
        if (!wanted || bytes_.size() + record_size > limits_.max_bytes) {
            if (first) {
                fprintf(stderr, "%s: first message of type %u (%zu bytes) dropped: over --max-bytes\n",
                        channel_name(channel_type_), type, body.size());
            }
            return;
        }
        stats.kept++;
        seen_[type].insert(std::hash<std::string>()(key));
        bytes_.push_back(channel_type_);
        put16(bytes_, type);
        put32(bytes_, uint32_t(body.size()));
        bytes_.insert(bytes_.end(), body.begin(), body.end());
    }

    const std::vector<uint8_t>& bytes() const { return bytes_; }

    void print_summary(const std::string& name) const {
        fprintf(stderr, "%s: %zu bytes;", name.c_str(), bytes_.size());
        for (const auto& entry : stats_) {
            fprintf(stderr, " %u:%u/%u", entry.first, entry.second.kept, entry.second.received);
        }
        fprintf(stderr, " (type:kept/received)\n");
    }

private:
    struct TypeStats {
        uint32_t received = 0;
        uint32_t kept = 0;
    };
    uint8_t channel_type_;
    Limits limits_;
    std::vector<uint8_t> bytes_;
    std::map<uint16_t, TypeStats> stats_;
    std::map<uint16_t, std::set<size_t>> seen_;
};

struct Channel {
    Channel(uint8_t type_, uint8_t id_, Socket socket_, std::vector<uint8_t> link_reply_,
            const Recording::Limits& limits)
        : type(type_),
          id(id_),
          socket(std::move(socket_)),
          link_reply(std::move(link_reply_)),
          recording(type_, limits) {}

    std::string name() const { return std::string(channel_name(type)) + (id ? std::to_string(id) : ""); }

    bool send(uint16_t msg_type, const std::vector<uint8_t>& body) const {
        std::vector<uint8_t> msg;
        put16(msg, msg_type);
        put32(msg, uint32_t(body.size()));
        msg.insert(msg.end(), body.begin(), body.end());
        return socket.send_all(msg);
    }

    // Reads one whole message, records it and gives the answers the server waits for. False when the channel
    // ended.
    bool receive(uint16_t* type_out = nullptr, std::vector<uint8_t>* body_out = nullptr) {
        uint8_t head[6];
        if (!socket.recv_all(head, sizeof head)) {
            return false;
        }
        uint16_t msg_type = get16(head);
        uint32_t size = get32(head + 2);
        if (size > kMaxBody) {
            fprintf(stderr, "%s: message type %u claims %u bytes; channel dropped\n", name().c_str(),
                    msg_type, size);
            return false;
        }
        std::vector<uint8_t> body(size);
        if (!socket.recv_all(body.data(), size)) {
            return false;
        }
        recording.add(msg_type, body);

        // The acknowledgement window counts every message from the one after SET_ACK on.
        if (ack_count > 0 && --ack_count == 0) {
            ack_count = ack_window;
            if (!send(kMsgcAck, {})) {
                return false;
            }
        }
        if (msg_type == kMsgSetAck && size >= 8) {
            ack_window = ack_count = get32(body.data() + 4);
            std::vector<uint8_t> sync;
            put32(sync, get32(body.data()));
            if (!send(kMsgcAckSync, sync)) {
                return false;
            }
        } else if (msg_type == kMsgPing && size >= 12) {
            std::vector<uint8_t> pong;
            put32(pong, get32(body.data()));
            put64(pong, get64(body.data() + 4));
            if (!send(kMsgcPong, pong)) {
                return false;
            }
        }
        if (type_out) {
            *type_out = msg_type;
        }
        if (body_out) {
            *body_out = std::move(body);
        }
        return true;
    }

    uint8_t type;
    uint8_t id;
    Socket socket;
    std::vector<uint8_t> link_reply;
    Recording recording;
    uint32_t ack_window = 0;
    uint32_t ack_count = 0;
};

using Clock = std::chrono::steady_clock;

// Reads the main channel until a message of the wanted type arrives (answering as usual on the way).
bool wait_for(Channel& main, uint16_t wanted, std::vector<uint8_t>* body) {
    auto deadline = Clock::now() + std::chrono::seconds(kIoTimeoutSeconds);
    uint16_t type = 0;
    while (Clock::now() < deadline) {
        if (!main.receive(&type, body)) {
            return false;
        }
        if (type == wanted) {
            return true;
        }
    }
    return false;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) {
        fprintf(stderr, "could not write %s\n", path.c_str());
        return false;
    }
    return true;
}

struct Options {
    uint16_t port = 0;
    std::string out;
    std::string name;
    std::string qmp;
    unsigned seconds = 5;
    Recording::Limits limits;
};

bool parse_number(const char* text, uint64_t max, uint64_t* out) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno || !end || *end || end == text || v > max) {
        return false;
    }
    *out = v;
    return true;
}

bool parse_options(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        uint64_t n = 0;
        if (arg == "--out") {
            o->out = value;
        } else if (arg == "--name") {
            o->name = value;
        } else if (arg == "--qmp") {
            o->qmp = value;
        } else if (arg == "--port" && parse_number(value, 65535, &n) && n > 0) {
            o->port = uint16_t(n);
        } else if (arg == "--seconds" && parse_number(value, 3600, &n)) {
            o->seconds = unsigned(n);
        } else if (arg == "--max-bytes" && parse_number(value, uint64_t(1) << 32, &n)) {
            o->limits.max_bytes = n;
        } else if (arg == "--per-type" && parse_number(value, 1000000, &n)) {
            o->limits.per_type = uint32_t(n);
        } else if (arg == "--max-message" && parse_number(value, kMaxBody, &n)) {
            o->limits.max_message = uint32_t(n);
        } else {
            return false;
        }
    }
    return o->port != 0 && !o->out.empty() && !o->name.empty();
}

int run(const Options& o) {
    std::string error;
    std::vector<std::unique_ptr<Channel>> channels;

    std::vector<uint8_t> reply;
    Socket main_socket = link_channel(o.port, 0, kChannelMain, 0, &reply, &error);
    if (!main_socket.valid()) {
        fprintf(stderr, "main channel: %s\n", error.c_str());
        return 1;
    }
    channels.push_back(std::make_unique<Channel>(kChannelMain, 0, std::move(main_socket), reply, o.limits));
    Channel& main = *channels.front();

    std::vector<uint8_t> body;
    if (!wait_for(main, kMsgMainInit, &body) || body.size() < 4) {
        fprintf(stderr, "main channel: no init message\n");
        return 1;
    }
    uint32_t session_id = get32(body.data());
    if (!main.send(kMsgcMainAttachChannels, {}) || !wait_for(main, kMsgMainChannelsList, &body) ||
        body.size() < 4) {
        fprintf(stderr, "main channel: no channel list\n");
        return 1;
    }
    uint64_t count = get32(body.data());
    if (4 + 2 * count > body.size()) {
        fprintf(stderr, "main channel: channel list of %llu entries in %zu bytes\n",
                (unsigned long long)count, body.size());
        return 1;
    }

    int failures = 0;
    for (uint64_t i = 0; i < count; i++) {
        uint8_t type = body[4 + 2 * i], id = body[5 + 2 * i];
        if (type == kChannelMain || !channel_name(type)) {
            fprintf(stderr, "channel type %u id %u not recorded\n", type, id);
            continue;
        }
        Socket s = link_channel(o.port, session_id, type, id, &reply, &error);
        if (!s.valid()) {
            fprintf(stderr, "%s %u: %s\n", channel_name(type), id, error.c_str());
            failures++;
            continue;
        }
        channels.push_back(std::make_unique<Channel>(type, id, std::move(s), reply, o.limits));
        if (type == kChannelDisplay) {
            // Pixmap cache id 1 with 20 Mi pixels, GLZ dictionary id 1 with a 4 Mi-pixel window.
            std::vector<uint8_t> init;
            init.push_back(1);
            put64(init, 20u * 1024 * 1024);
            init.push_back(1);
            put32(init, 4u * 1024 * 1024);
            if (!channels.back()->send(kMsgcDisplayInit, init)) {
                fprintf(stderr, "display %u: could not send the init message\n", id);
                failures++;
            }
        }
    }

    if (!o.qmp.empty() && !resume_machine(o.qmp, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    auto deadline = Clock::now() + std::chrono::seconds(o.seconds);
    std::vector<Channel*> open;
    for (auto& c : channels) {
        open.push_back(c.get());
    }
    while (!open.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        std::vector<pollfd> fds;
        for (Channel* c : open) {
            fds.push_back({c->socket.fd(), POLLIN, 0});
        }
        int n = poll(fds.data(), fds.size(), int(left));
        if (n < 0 && errno != EINTR) {
            perror("poll");
            return 1;
        }
        for (size_t i = fds.size(); i-- > 0;) {
            if (fds[i].revents && !open[i]->receive()) {
                fprintf(stderr, "%s: the server closed the channel\n", open[i]->name().c_str());
                open.erase(open.begin() + long(i));
            }
        }
    }

    for (auto& c : channels) {
        std::string base = o.out + "/" + o.name + "." + c->name();
        if (!write_file(base + ".rec", c->recording.bytes()) || !write_file(base + ".link", c->link_reply)) {
            failures++;
        }
        c->recording.print_summary(o.name + "." + c->name());
    }
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, &options)) {
        fprintf(stderr,
                "usage: %s --port PORT --out DIR --name PREFIX [--seconds N] [--max-bytes N] [--per-type N] "
                "[--max-message N] [--qmp SOCKET]\n",
                argv[0]);
        return 2;
    }
    return run(options);
}
