#include "transport/channel/red_channel_base.h"

#include "platform/session_block.h"
#include "runtime/log.h"
#include "transport/protocol/server_messages.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <atomic>
#include <cinttypes>
#include <cstring>
#include <memory>

namespace {

const uint32_t kLinkMagic = 0x51444552;  // "REDQ"

// Offsets in the link reply body.
const size_t kReplyPubKey = 4;
const size_t kReplyCommonCount = 166;
const size_t kReplyChannelCount = 170;
const size_t kReplyCapsOffset = 174;

std::atomic<bool> g_connected_unsecure(false);
std::atomic<bool> g_main_takes_ping(false);

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out.push_back(uint8_t(v >> (8 * i)));
    }
}

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

const char* link_error_text(uint32_t error) {
    static const char* const texts[] = {
        "no error",
        "general error",
        "invalid magic",
        "invalid data",
        "version mismatch",
        "need secured connection",
        "need unsecured connection",
        "permission denied",
        "bad connection id",
        "channel not available",
    };
    return error < sizeof(texts) / sizeof(texts[0]) ? texts[error] : "";
}

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};

}  // namespace

bool caps_has(const ChannelCaps& caps, uint32_t bit) {
    size_t word = bit / 32;
    return word < caps.size() && (caps[word] & (1u << (bit % 32)));
}

void caps_set(ChannelCaps& caps, uint32_t bit) {
    size_t word = bit / 32;
    if (caps.size() <= word) {
        caps.resize(word + 1, 0);
    }
    caps[word] |= 1u << (bit % 32);
}

const char* channel_type_name(uint8_t type) {
    switch (type) {
        case SPICE_CHANNEL_MAIN:
            return "主通道()";
        case SPICE_CHANNEL_DISPLAY:
            return "显示通道";
        case SPICE_CHANNEL_INPUTS:
            return "输入通道";
        case SPICE_CHANNEL_CURSOR:
            return "光标通道";
        case SPICE_CHANNEL_PLAYBACK:
            return "播音通道";
        case SPICE_CHANNEL_RECORD:
            return "录音通道";
        case SPICE_CHANNEL_TUNNEL:
            return "CHANNEL_TUNNEL";
        case SPICE_CHANNEL_SMARTCARD:
            return "CHANNEL_SMARTCARD";
        case SPICE_CHANNEL_USBREDIR:
            return "USB通道";
        case SPICE_CHANNEL_PORT:
            return "CHANNEL_PORT";
        default:
            return "CHANNEL_UNKNOWN";
    }
}

bool channel_connected_unsecure() {
    return g_connected_unsecure;
}

bool main_channel_takes_ping() {
    return g_main_takes_ping;
}

RedChannelBase::RedChannelBase(uint8_t type, uint8_t id, const ChannelCaps& common_caps,
                               const ChannelCaps& caps)
    : _type(type),
      _id(id),
      _common_caps(common_caps),
      _caps(caps),
      _remote_major(0),
      _remote_minor(0),
      _opt_wan(false) {}

RedChannelBase::~RedChannelBase() {}

void RedChannelBase::swap(RedChannelBase* other) {
    RedPeer::swap(other);
    std::swap(_remote_major, other->_remote_major);
    std::swap(_remote_minor, other->_remote_minor);
}

// The socket blocks during the link, so a short count only comes from a peer that changed mode under us.
void RedChannelBase::send_all(const uint8_t* data, size_t size) {
    if (send(data, uint32_t(size)) != size) {
        THROW_ERR(SPICEC_ERROR_CODE_SEND_FAILED, "link: short send");
    }
}

void RedChannelBase::receive_all(uint8_t* data, size_t size) {
    if (receive(data, uint32_t(size)) != size) {
        THROW_ERR(SPICEC_ERROR_CODE_RECV_FAILED, "link: short receive");
    }
}

void RedChannelBase::link_in_time(int protocol, uint32_t connection_id, const char* password,
                                  uint64_t vm_id) {
    try {
        link(protocol, connection_id, password, vm_id);
    } catch (Exception&) {
        // Whatever read or write the deadline broke, the link failed for want of an answer.
        check_link_deadline();
        throw;
    }
    // The deadline may have shut the connection down just as the last answer came.
    check_link_deadline();
}

void RedChannelBase::link(int protocol, uint32_t connection_id, const char* password, uint64_t vm_id) {
    uint32_t major;
    uint32_t minor;
    if (protocol == 1) {
        major = 1;
        minor = 3;
    } else if (protocol == 2) {
        major = 2;
        minor = 2;
    } else {
        THROW("unsupported protocol version(%d) specified", protocol);
    }
    set_linked(false);

    if (_type == SPICE_CHANNEL_MAIN) {
        LOG_INFO("vm_id %" PRIu64, vm_id);
        caps_set(_common_caps, SPICE_COMMON_CAP_MAKER);
        caps_set(_common_caps, SPICE_COMMON_CAP_MAKER_VM_ID);
        if (_common_caps.size() < 6) {
            _common_caps.resize(6, 0);
        }
        _common_caps[4] = uint32_t(vm_id);
        _common_caps[5] = uint32_t(vm_id >> 32);
    } else if (_type == SPICE_CHANNEL_DISPLAY) {
        LOG_INFO("enable opt wan %d", int(SessionBlock::opt_wan_display()));
        if (SessionBlock::opt_wan()) {
            if (_common_caps.size() < 7) {
                _common_caps.resize(7, 0);
            }
            _common_caps[6] = 1;
        }
    }

    std::vector<uint8_t> out;
    uint32_t caps_count = uint32_t(_common_caps.size() + _caps.size());
    put32(out, kLinkMagic);
    put32(out, major);
    put32(out, minor);
    put32(out, SPICE_LINK_MESS_SIZE + 4 * caps_count);
    put32(out, connection_id);
    out.push_back(_type);
    out.push_back(_id);
    put32(out, uint32_t(_common_caps.size()));
    put32(out, uint32_t(_caps.size()));
    put32(out, SPICE_LINK_MESS_SIZE);
    for (uint32_t word : _common_caps) {
        put32(out, word);
    }
    for (uint32_t word : _caps) {
        put32(out, word);
    }
    send_all(out.data(), out.size());

    uint8_t header[SPICE_LINK_HEADER_SIZE];
    receive_all(header, sizeof(header));
    if (get32(header) != kLinkMagic) {
        THROW_ERR(SPICEC_ERROR_CODE_CONNECT_FAILED, "bad magic:%x", get32(header));
    }
    if (get32(header + 4) != major) {
        THROW_ERR(SPICEC_ERROR_CODE_VERSION_MISMATCH, "version mismatch: expect %u got %u", major,
                  get32(header + 4));
    }
    _remote_major = int(get32(header + 4));
    _remote_minor = int(get32(header + 8));
    uint32_t size = get32(header + 12);
    if (size > SPICE_LINK_REPLY_MAX_SIZE) {
        THROW_ERR(SPICEC_ERROR_CODE_CONNECT_FAILED, "link reply of %u bytes", size);
    }

    std::vector<uint8_t> reply(size);
    receive_all(reply.data(), size);
    if (size >= 4 && get32(&reply[0]) != 0) {
        uint32_t error = get32(&reply[0]);
        THROW_ERR(SPICEC_ERROR_CODE_CONNECT_FAILED, "connect error %u - %s", error, link_error_text(error));
    }
    if (size < SPICE_LINK_REPLY_SIZE) {
        THROW_ERR(SPICEC_ERROR_CODE_CONNECT_FAILED, "access violation");
    }
    uint64_t common_count = get32(&reply[kReplyCommonCount]);
    uint64_t channel_count = get32(&reply[kReplyChannelCount]);
    uint64_t caps_offset = get32(&reply[kReplyCapsOffset]);
    if (caps_offset + 4 * (common_count + channel_count) > size) {
        THROW_ERR(SPICEC_ERROR_CODE_CONNECT_FAILED, "access violation");
    }
    const uint8_t* words = &reply[caps_offset];
    _remote_common_caps.clear();
    _remote_caps.clear();
    for (uint64_t i = 0; i < common_count; i++) {
        _remote_common_caps.push_back(get32(words + 4 * i));
    }
    for (uint64_t i = 0; i < channel_count; i++) {
        _remote_caps.push_back(get32(words + 4 * (common_count + i)));
    }
    // Every message after the link is framed with the 6-byte header; a server that would send the full one
    // cannot be understood, so it is refused here rather than misread later.
    if (!peer_has_common_capability(SPICE_COMMON_CAP_MINI_HEADER)) {
        THROW_ERR(SPICEC_ERROR_CODE_CONNECT_FAILED, "server does not support the mini header");
    }

    if (_type == SPICE_CHANNEL_DISPLAY) {
        _opt_wan = capability_negotiated(SPICE_DISPLAY_CAP_COMPACT_DRAWS);
    } else if (_type == SPICE_CHANNEL_MAIN) {
        g_main_takes_ping = peer_has_capability(SPICE_MAIN_CAP_CLIENT_PING);
    }
    on_link_reponse();

    send_password(&reply[kReplyPubKey], password);

    uint8_t result[4];
    receive_all(result, sizeof(result));
    if (get32(result) != 0) {
        THROW_ERR(SPICEC_ERROR_CODE_CONNECT_FAILED, "connect failed %u", get32(result));
    }
    set_linked(true);
}

// The password with its terminating NUL, RSA-OAEP (SHA-1) under the key of the reply.
void RedChannelBase::send_password(const uint8_t* public_key, const char* password) {
    const unsigned char* der = public_key;
    std::unique_ptr<EVP_PKEY, PkeyFree> key(d2i_PUBKEY(nullptr, &der, SPICE_LINK_PUBKEY_SIZE));
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        THROW("server public key is not an RSA key");
    }
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    const unsigned char* plain = reinterpret_cast<const unsigned char*>(password);
    size_t plain_size = strlen(password) + 1;
    size_t size = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha1()) <= 0 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &size, plain, plain_size) <= 0) {
        THROW("could not encrypt password");
    }
    std::vector<uint8_t> secret(size);
    if (EVP_PKEY_encrypt(ctx.get(), secret.data(), &size, plain, plain_size) <= 0) {
        THROW("could not encrypt password");
    }
    try {
        send_all(secret.data(), size);
    } catch (...) {
        OPENSSL_cleanse(secret.data(), secret.size());
        throw;
    }
    OPENSSL_cleanse(secret.data(), secret.size());
}

void RedChannelBase::connect(const ConnectionOptions& options, uint32_t connection_id, const char* host,
                             const char* password, uint64_t vm_id) {
    int protocol = options.protocol == 0 ? 2 : options.protocol;
    for (;;) {
        bool fall_back_follows = protocol == 2 && options.protocol == 0;
        try {
            connect_and_link(options, protocol, connection_id, host, password, vm_id, fall_back_follows);
            return;
        } catch (Exception& e) {
            if (e.get_error_code() != SPICEC_ERROR_CODE_VERSION_MISMATCH || !fall_back_follows) {
                throw;
            }
            close();
            protocol = 1;
        }
    }
}

void RedChannelBase::connect_and_link(const ConnectionOptions& options, int protocol, uint32_t connection_id,
                                      const char* host, const char* password, uint64_t vm_id,
                                      bool fall_back_follows) {
    if (options.allow_unsecure()) {
        try {
            connect_unsecure(host, options.unsecure_port);
            g_connected_unsecure = true;
            LOG_INFO("%s(id:%u) 连接成功(%s:%u)", channel_type_name(_type), _id, host, options.unsecure_port);
            before_send_link_msg();
            link_in_time(protocol, connection_id, password, vm_id);
            return;
        } catch (Exception& e) {
            LOG_ERROR("catch exception: error_code:%d, error_str:%s", e.get_error_code(), e.what());
            bool mismatch = e.get_error_code() == SPICEC_ERROR_CODE_VERSION_MISMATCH;
            if (mismatch || !options.allow_secure()) {
                // The parent client hears of a failure only when nothing else will be tried.
                if (!(mismatch && fall_back_follows)) {
                    on_connect_failed();
                }
                throw;
            }
            close();
        }
    }
    if (!options.allow_secure()) {
        THROW_ERR(SPICEC_ERROR_CODE_CONNECT_FAILED, "%s(id:%u): no port to connect to",
                  channel_type_name(_type), _id);
    }
    connect_secure(options, host);
    LOG_INFO("%s(id:%u) 安全连接成功s(%s:%u)", channel_type_name(_type), _id, host, options.secure_port);
    link_in_time(protocol, connection_id, password, vm_id);
}
