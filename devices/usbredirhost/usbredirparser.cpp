#include "devices/usbredirhost/usbredirparser.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devices/usbredirhost/usb_trace.h"

namespace {

constexpr uint32_t SKIP_CHUNK = 65536;

void parser_log(usbredirparser* parser, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void parser_log(usbredirparser* parser, int level, const char* format, ...) {
    if (!parser->cb.log_func) {
        return;
    }
    char text[512];
    int n = snprintf(text, sizeof(text), "usbredirparser: ");
    va_list args;
    va_start(args, format);
    vsnprintf(text + n, sizeof(text) - n, format, args);
    va_end(args);
    parser->cb.log_func(parser->cb.priv, level, text);
}

void lock(usbredirparser* parser) {
    if (parser->lock && parser->cb.lock_func) {
        parser->cb.lock_func(parser->lock);
    }
}

void unlock(usbredirparser* parser) {
    if (parser->lock && parser->cb.unlock_func) {
        parser->cb.unlock_func(parser->lock);
    }
}

bool is_host(const usbredirparser* parser) {
    return (parser->flags & usbredirparser_fl_usb_host) != 0;
}

bool both_have(const usbredirparser* parser, int cap) {
    return usbredirparser_caps_get_cap(&parser->our_caps, cap) &&
           usbredirparser_caps_get_cap(&parser->peer_caps, cap);
}

bool using_32bit_ids(const usbredirparser* parser) {
    return !both_have(parser, usb_redir_cap_64bits_ids);
}

uint32_t header_len(const usbredirparser* parser) {
    return using_32bit_ids(parser) ? 12 : 16;
}

void verify_caps(uint32_t* caps, const char* desc) {
    if (usbredirparser_caps_get_cap(caps, usb_redir_cap_bulk_streams) &&
        !usbredirparser_caps_get_cap(caps, usb_redir_cap_ep_info_max_packet_size)) {
        usb_trace("UsbHOST", "usbredirparser_verify_caps", USB_TRACE_E,
                  "error %s caps contains cap_bulk_streams withoutcap_ep_info_max_packet_size", desc);
        *caps &= ~(1u << usb_redir_cap_bulk_streams);
    }
}

// Type-header length of a packet type in one direction, or -1 when the type is not valid that way.
int get_type_header_len(const usbredirparser* parser, uint32_t type, bool send) {
    const bool command_for_host = is_host(parser) ? !send : send;
    // to: valid towards the host; from: valid from the host.
    auto to_host = [&](int len) { return command_for_host ? len : -1; };
    auto from_host = [&](int len) { return command_for_host ? -1 : len; };
    switch (type) {
        case usb_redir_hello:
            return sizeof(usb_redir_hello_header);
        case usb_redir_device_connect:
            return from_host(both_have(parser, usb_redir_cap_connect_device_version) ? 10 : 8);
        case usb_redir_device_disconnect:
            return from_host(0);
        case usb_redir_reset:
            return to_host(0);
        case usb_redir_interface_info:
            return from_host(sizeof(usb_redir_interface_info_header));
        case usb_redir_ep_info:
            if (both_have(parser, usb_redir_cap_bulk_streams)) {
                return from_host(288);
            }
            return from_host(both_have(parser, usb_redir_cap_ep_info_max_packet_size) ? 160 : 96);
        case usb_redir_set_configuration:
            return to_host(1);
        case usb_redir_get_configuration:
            return to_host(0);
        case usb_redir_configuration_status:
            return from_host(2);
        case usb_redir_set_alt_setting:
            return to_host(2);
        case usb_redir_get_alt_setting:
            return to_host(1);
        case usb_redir_alt_setting_status:
            return from_host(3);
        case usb_redir_start_iso_stream:
            return to_host(3);
        case usb_redir_stop_iso_stream:
            return to_host(1);
        case usb_redir_iso_stream_status:
            return from_host(2);
        case usb_redir_start_interrupt_receiving:
        case usb_redir_stop_interrupt_receiving:
            return to_host(1);
        case usb_redir_interrupt_receiving_status:
            return from_host(2);
        case usb_redir_alloc_bulk_streams:
            return to_host(8);
        case usb_redir_free_bulk_streams:
            return to_host(4);
        case usb_redir_bulk_streams_status:
            return from_host(9);
        case usb_redir_cancel_data_packet:
        case usb_redir_filter_reject:
            return to_host(0);
        case usb_redir_filter_filter:
            return 0;
        case usb_redir_device_disconnect_ack:
            return to_host(0);
        case usb_redir_start_bulk_receiving:
            return to_host(10);
        case usb_redir_stop_bulk_receiving:
            return to_host(5);
        case usb_redir_bulk_receiving_status:
            return from_host(6);
        case usb_redir_control_packet:
            return 10;
        case usb_redir_bulk_packet:
            return both_have(parser, usb_redir_cap_32bits_bulk_length) ? 10 : 8;
        case usb_redir_iso_packet:
        case usb_redir_interrupt_packet:
            return 4;
        case usb_redir_buffered_bulk_packet:
            return from_host(10);
        case usb_redir_acc_packet:
            return sizeof(usb_redir_acc_packet_header);
        default:
            return -1;
    }
}

bool type_has_data(uint32_t type) {
    return type == usb_redir_hello || type == usb_redir_filter_filter ||
           (type >= usb_redir_control_packet && type <= usb_redir_buffered_bulk_packet);
}

// Largest data length a received packet of this type may announce.
uint32_t max_data_len(uint32_t type, uint32_t type_header_len) {
    switch (type) {
        case usb_redir_hello:
            return USBREDIRPARSER_MAX_HELLO - type_header_len;
        case usb_redir_filter_filter:
            return USBREDIRPARSER_MAX_FILTER;
        default:
            return type_has_data(type) ? USB_REDIR_MAX_TRANSFER : 0;
    }
}

bool verify_bulk_recv_cap(const uint32_t* caps) {
    if (!usbredirparser_caps_get_cap(caps, usb_redir_cap_bulk_receiving)) {
        usb_trace("UsbHOST", "usbredirparser_verify_bulk_recv_cap", USB_TRACE_E,
                  "error bulk_receiving without cap_bulk_receiving");
        return false;
    }
    return true;
}

#define VERIFY_ERROR(...) usb_trace("UsbHOST", "usbredirparser_verify_type_header", USB_TRACE_E, __VA_ARGS__)

bool verify_type_header(usbredirparser* parser, uint32_t type, const void* header, const uint8_t* data,
                        uint32_t data_len, bool send) {
    const uint32_t* caps = send ? &parser->peer_caps : &parser->our_caps;
    const bool command_for_host = is_host(parser) ? !send : send;
    uint32_t length = 0;
    uint8_t ep = 0;

    switch (type) {
        case usb_redir_interface_info: {
            auto* h = static_cast<const usb_redir_interface_info_header*>(header);
            if (h->interface_count > 32) {
                VERIFY_ERROR("error interface_count > 32");
                return false;
            }
            return true;
        }
        case usb_redir_start_interrupt_receiving: {
            auto* h = static_cast<const usb_redir_start_interrupt_receiving_header*>(header);
            if (!(h->endpoint & 0x80)) {
                VERIFY_ERROR("start int receiving on non input ep %02x", h->endpoint);
                return false;
            }
            return true;
        }
        case usb_redir_stop_interrupt_receiving: {
            auto* h = static_cast<const usb_redir_stop_interrupt_receiving_header*>(header);
            if (!(h->endpoint & 0x80)) {
                VERIFY_ERROR("stop int receiving on non input ep %02x", h->endpoint);
                return false;
            }
            return true;
        }
        case usb_redir_interrupt_receiving_status: {
            auto* h = static_cast<const usb_redir_interrupt_receiving_status_header*>(header);
            if (!(h->endpoint & 0x80)) {
                VERIFY_ERROR("int receiving status for non input ep %02x", h->endpoint);
                return false;
            }
            return true;
        }
        case usb_redir_filter_reject:
            if (!usbredirparser_caps_get_cap(caps, usb_redir_cap_filter)) {
                VERIFY_ERROR("error filter_reject without cap_filter");
                return false;
            }
            return true;
        case usb_redir_filter_filter:
            if (!usbredirparser_caps_get_cap(caps, usb_redir_cap_filter)) {
                VERIFY_ERROR("error filter_filter without cap_filter");
                return false;
            }
            if (!data || data_len == 0) {
                VERIFY_ERROR("error filter_filter without data");
                return false;
            }
            if (data[data_len - 1] != 0) {
                VERIFY_ERROR("error non 0 terminated filter_filter data");
                return false;
            }
            return true;
        case usb_redir_device_disconnect_ack:
            if (!usbredirparser_caps_get_cap(caps, usb_redir_cap_device_disconnect_ack)) {
                VERIFY_ERROR("error device_disconnect_ack without cap_device_disconnect_ack");
                return false;
            }
            return true;
        case usb_redir_start_bulk_receiving: {
            auto* h = static_cast<const usb_redir_start_bulk_receiving_header*>(header);
            if (!verify_bulk_recv_cap(caps)) {
                return false;
            }
            if (h->bytes_per_transfer > USB_REDIR_MAX_TRANSFER) {
                VERIFY_ERROR("start bulk receiving length exceeds limits %u > %u", h->bytes_per_transfer,
                             USB_REDIR_MAX_TRANSFER);
                return false;
            }
            if (!(h->endpoint & 0x80)) {
                VERIFY_ERROR("start bulk receiving on non input ep %02x", h->endpoint);
                return false;
            }
            return true;
        }
        case usb_redir_stop_bulk_receiving: {
            auto* h = static_cast<const usb_redir_stop_bulk_receiving_header*>(header);
            if (!verify_bulk_recv_cap(caps)) {
                return false;
            }
            if (!(h->endpoint & 0x80)) {
                VERIFY_ERROR("stop bulk receiving on non input ep %02x", h->endpoint);
                return false;
            }
            return true;
        }
        case usb_redir_bulk_receiving_status: {
            auto* h = static_cast<const usb_redir_bulk_receiving_status_header*>(header);
            if (!verify_bulk_recv_cap(caps)) {
                return false;
            }
            if (!(h->endpoint & 0x80)) {
                VERIFY_ERROR("bulk receiving status for non input ep %02x", h->endpoint);
                return false;
            }
            return true;
        }
        case usb_redir_control_packet: {
            auto* h = static_cast<const usb_redir_control_packet_header*>(header);
            length = h->length;
            ep = h->endpoint;
            break;
        }
        case usb_redir_bulk_packet: {
            auto* h = static_cast<const usb_redir_bulk_packet_header*>(header);
            length = h->length;
            if (both_have(parser, usb_redir_cap_32bits_bulk_length)) {
                length |= static_cast<uint32_t>(h->length_high) << 16;
            }
            ep = h->endpoint;
            if (length > USB_REDIR_MAX_TRANSFER) {
                VERIFY_ERROR("bulk transfer length exceeds limits %u > %u", length, USB_REDIR_MAX_TRANSFER);
                return false;
            }
            usb_trace("UsbHOST", "usbredirparser_verify_type_header", USB_TRACE_D,
                      "qvn bulk send length %u, ep %02x", length, ep);
            break;
        }
        case usb_redir_iso_packet: {
            auto* h = static_cast<const usb_redir_iso_packet_header*>(header);
            length = h->length;
            ep = h->endpoint;
            break;
        }
        case usb_redir_interrupt_packet: {
            auto* h = static_cast<const usb_redir_interrupt_packet_header*>(header);
            length = h->length;
            ep = h->endpoint;
            break;
        }
        case usb_redir_buffered_bulk_packet: {
            auto* h = static_cast<const usb_redir_buffered_bulk_packet_header*>(header);
            if (!verify_bulk_recv_cap(caps)) {
                return false;
            }
            length = h->length;
            ep = h->endpoint;
            if (length > USB_REDIR_MAX_TRANSFER) {
                VERIFY_ERROR("buffered bulk transfer length exceeds limits %u > %u", length,
                             USB_REDIR_MAX_TRANSFER);
                return false;
            }
            usb_trace("UsbHOST", "usbredirparser_verify_type_header", USB_TRACE_D,
                      "qvn bulk lentgh %u endpoint %d cmd_for_host %d ", length, ep, command_for_host);
            break;
        }
        case usb_redir_acc_packet:
            usb_trace("UsbHOST", "usbredirparser_verify_type_header", USB_TRACE_I,
                      "usb_redir_acc_packet unimplent");
            return true;
        default:
            return true;
    }

    // The data packets: data travels with OUT requests and IN replies only.
    const bool expect_data = ((ep & 0x80) != 0) != command_for_host;
    if (expect_data) {
        if (data_len != length) {
            VERIFY_ERROR("error data len %u != header len %u ep %02X type %u", data_len, length, ep, type);
            return false;
        }
        return true;
    }
    if (data || data_len != 0) {
        VERIFY_ERROR("error type %u [send: %d] unexpected extra data ep %02X, data %p, data_len %u", type,
                     send, ep, static_cast<const void*>(data), data_len);
        usb_trace("UsbHOST", "MyDebug", USB_TRACE_D, "error of control!");
        return false;
    }
    switch (type) {
        case usb_redir_iso_packet:
            VERIFY_ERROR("error iso packet send in wrong direction");
            return false;
        case usb_redir_interrupt_packet:
            if (command_for_host) {
                VERIFY_ERROR("error interrupt packet send in wrong direction");
                return false;
            }
            return true;
        case usb_redir_buffered_bulk_packet:
            VERIFY_ERROR("error buffered bulk packet send in wrong direction");
            return false;
        default:
            return true;
    }
}

void handle_hello(usbredirparser* parser, usb_redir_hello_header* hello, uint8_t* data, uint32_t data_len) {
    if (parser->have_peer_caps) {
        usb_trace("UsbHOST", "usbredirparser_handle_hello", USB_TRACE_E,
                  "Received second hello message, ignoring");
        return;
    }
    char text[64];
    memcpy(text, hello->version, 63);
    text[63] = 0;
    const uint8_t* acc = reinterpret_cast<const uint8_t*>(hello->version) + 60;
    if (acc[0] == 0 && acc[1] != 0) {
        memcpy(parser->peer_acc_version, acc, 4);
    } else {
        memset(parser->peer_acc_version, 0, 4);
    }
    usb_trace("UsbHOST", "usbredirparser_handle_hello", USB_TRACE_I,
              "Peer usbacc version: (none)%d, (major.minor.release)%d.%d.%d", parser->peer_acc_version[0],
              parser->peer_acc_version[1], parser->peer_acc_version[2], parser->peer_acc_version[3]);
    uint32_t caps = 0;
    if (data_len >= 4) {
        memcpy(&caps, data, 4);
    }
    verify_caps(&caps, "peer");
    parser->peer_caps = caps;
    parser->have_peer_caps = 1;
    usb_trace("UsbHOST", "usbredirparser_handle_hello", USB_TRACE_I,
              "Peer version: %s, peer %x, using %d-bits ids", text, parser->peer_caps,
              using_32bit_ids(parser) ? 32 : 64);
    if (parser->cb.hello_func) {
        parser->cb.hello_func(parser->cb.priv, hello);
    }
}

// Hands a received, verified packet to its call-back. Takes ownership of data.
void call_type_func(usbredirparser* parser, uint8_t* data, uint32_t data_len) {
    usbredirparser_callbacks& cb = parser->cb;
    void* priv = cb.priv;
    const uint64_t id = parser->header.id;
    void* th = parser->type_header;
    const int len = static_cast<int>(data_len);  // at most 128 MiB

#define CALL(fn, ...)           \
    do {                        \
        if (cb.fn) {            \
            cb.fn(__VA_ARGS__); \
        }                       \
    } while (0)
#define CALL_DATA(fn, type)                                     \
    do {                                                        \
        if (cb.fn) {                                            \
            cb.fn(priv, id, static_cast<type*>(th), data, len); \
            data = nullptr;                                     \
        }                                                       \
    } while (0)

    switch (parser->header.type) {
        case usb_redir_hello:
            handle_hello(parser, static_cast<usb_redir_hello_header*>(th), data, data_len);
            break;
        case usb_redir_device_connect:
            CALL(device_connect_func, priv, static_cast<usb_redir_device_connect_header*>(th));
            break;
        case usb_redir_device_disconnect:
            CALL(device_disconnect_func, priv);
            if (usbredirparser_peer_has_cap(parser, usb_redir_cap_device_disconnect_ack)) {
                usbredirparser_queue(parser, usb_redir_device_disconnect_ack, 0, nullptr, nullptr, 0);
            }
            break;
        case usb_redir_reset:
            CALL(reset_func, priv);
            break;
        case usb_redir_interface_info:
            CALL(interface_info_func, priv, static_cast<usb_redir_interface_info_header*>(th));
            break;
        case usb_redir_ep_info:
            CALL(ep_info_func, priv, static_cast<usb_redir_ep_info_header*>(th));
            break;
        case usb_redir_set_configuration:
            CALL(set_configuration_func, priv, id, static_cast<usb_redir_set_configuration_header*>(th));
            break;
        case usb_redir_get_configuration:
            CALL(get_configuration_func, priv, id);
            break;
        case usb_redir_configuration_status:
            CALL(configuration_status_func, priv, id,
                 static_cast<usb_redir_configuration_status_header*>(th));
            break;
        case usb_redir_set_alt_setting:
            CALL(set_alt_setting_func, priv, id, static_cast<usb_redir_set_alt_setting_header*>(th));
            break;
        case usb_redir_get_alt_setting:
            CALL(get_alt_setting_func, priv, id, static_cast<usb_redir_get_alt_setting_header*>(th));
            break;
        case usb_redir_alt_setting_status:
            CALL(alt_setting_status_func, priv, id, static_cast<usb_redir_alt_setting_status_header*>(th));
            break;
        case usb_redir_start_iso_stream:
            CALL(start_iso_stream_func, priv, id, static_cast<usb_redir_start_iso_stream_header*>(th));
            break;
        case usb_redir_stop_iso_stream:
            CALL(stop_iso_stream_func, priv, id, static_cast<usb_redir_stop_iso_stream_header*>(th));
            break;
        case usb_redir_iso_stream_status:
            CALL(iso_stream_status_func, priv, id, static_cast<usb_redir_iso_stream_status_header*>(th));
            break;
        case usb_redir_start_interrupt_receiving:
            CALL(start_interrupt_receiving_func, priv, id,
                 static_cast<usb_redir_start_interrupt_receiving_header*>(th));
            break;
        case usb_redir_stop_interrupt_receiving:
            CALL(stop_interrupt_receiving_func, priv, id,
                 static_cast<usb_redir_stop_interrupt_receiving_header*>(th));
            break;
        case usb_redir_interrupt_receiving_status:
            CALL(interrupt_receiving_status_func, priv, id,
                 static_cast<usb_redir_interrupt_receiving_status_header*>(th));
            break;
        case usb_redir_alloc_bulk_streams:
            CALL(alloc_bulk_streams_func, priv, id, static_cast<usb_redir_alloc_bulk_streams_header*>(th));
            break;
        case usb_redir_free_bulk_streams:
            CALL(free_bulk_streams_func, priv, id, static_cast<usb_redir_free_bulk_streams_header*>(th));
            break;
        case usb_redir_bulk_streams_status:
            CALL(bulk_streams_status_func, priv, id, static_cast<usb_redir_bulk_streams_status_header*>(th));
            break;
        case usb_redir_cancel_data_packet:
            CALL(cancel_data_packet_func, priv, id);
            break;
        case usb_redir_filter_reject:
            CALL(filter_reject_func, priv);
            break;
        case usb_redir_filter_filter: {
            usb_redir_filter_rule* rules = nullptr;
            int count = 0;
            int r =
                usbredirparser_filter_string_to_rules(reinterpret_cast<const char*>(data), &rules, &count);
            if (r) {
                usb_trace("UsbHOST", "usbredirparser_call_type_func", USB_TRACE_E,
                          "error parsing filter (%d), ignoring filter message", r);
            } else if (cb.filter_filter_func) {
                cb.filter_filter_func(priv, rules, count);
            } else {
                free(rules);
            }
            break;
        }
        case usb_redir_device_disconnect_ack:
            CALL(device_disconnect_ack_func, priv);
            break;
        case usb_redir_start_bulk_receiving:
            CALL(start_bulk_receiving_func, priv, id,
                 static_cast<usb_redir_start_bulk_receiving_header*>(th));
            break;
        case usb_redir_stop_bulk_receiving:
            CALL(stop_bulk_receiving_func, priv, id, static_cast<usb_redir_stop_bulk_receiving_header*>(th));
            break;
        case usb_redir_bulk_receiving_status:
            CALL(bulk_receiving_status_func, priv, id,
                 static_cast<usb_redir_bulk_receiving_status_header*>(th));
            break;
        case usb_redir_control_packet:
            CALL_DATA(control_packet_func, usb_redir_control_packet_header);
            break;
        case usb_redir_bulk_packet:
            CALL_DATA(bulk_packet_func, usb_redir_bulk_packet_header);
            break;
        case usb_redir_iso_packet:
            CALL_DATA(iso_packet_func, usb_redir_iso_packet_header);
            break;
        case usb_redir_interrupt_packet:
            CALL_DATA(interrupt_packet_func, usb_redir_interrupt_packet_header);
            break;
        case usb_redir_buffered_bulk_packet:
            CALL_DATA(buffered_bulk_packet_func, usb_redir_buffered_bulk_packet_header);
            break;
        default:
            break;
    }
#undef CALL
#undef CALL_DATA
    free(data);
}

void reset_receive(usbredirparser* parser) {
    memset(&parser->header, 0, sizeof(parser->header));
    memset(parser->type_header, 0, sizeof(parser->type_header));
    parser->header_read = 0;
    parser->type_header_len = 0;
    parser->type_header_read = 0;
    parser->data = nullptr;
    parser->data_len = 0;
    parser->data_read = 0;
}

int reject_packet(usbredirparser* parser) {
    parser->to_skip = parser->header.length;
    reset_receive(parser);
    return usbredirparser_read_parse_error;
}

// Checks a complete packet header: type, direction and length, before anything is allocated for it.
int start_packet(usbredirparser* parser) {
    const uint32_t type = parser->header.type;
    const uint32_t length = parser->header.length;
    const int thl = get_type_header_len(parser, type, false);
    if (thl < 0) {
        usb_trace("UsbHOST", "usbredirparser_do_read", USB_TRACE_E, "error invalid usb-redir packet type: %u",
                  type);
        return reject_packet(parser);
    }
    const uint32_t type_header_len = static_cast<uint32_t>(thl);
    if (length < type_header_len || length - type_header_len > max_data_len(type, type_header_len)) {
        usb_trace("UsbHOST", "usbredirparser_do_read", USB_TRACE_E, "error invalid packet type %u length: %u",
                  type, length);
        return reject_packet(parser);
    }
    parser->type_header_len = type_header_len;
    parser->data_len = length - type_header_len;
    if (parser->data_len) {
        parser->data = static_cast<uint8_t*>(malloc(parser->data_len));
        if (!parser->data) {
            usb_trace("UsbHOST", "usbredirparser_do_read", USB_TRACE_E,
                      "Out of memory allocating data buffer");
            return reject_packet(parser);
        }
    }
    return 0;
}

}  // namespace

void usbredirparser_caps_set_cap(uint32_t* caps, int cap) {
    caps[cap / 32] |= 1u << (cap % 32);
}

bool usbredirparser_caps_get_cap(const uint32_t* caps, int cap) {
    return (caps[cap / 32] & (1u << (cap % 32))) != 0;
}

bool usbredirparser_peer_has_cap(usbredirparser* parser, int cap) {
    return usbredirparser_caps_get_cap(&parser->peer_caps, cap);
}

bool usbredirparser_have_cap(usbredirparser* parser, int cap) {
    return usbredirparser_caps_get_cap(&parser->our_caps, cap);
}

void usbredirparser_init(usbredirparser* parser, const uint32_t* caps, uint32_t flags) {
    const bool send_hello = !(flags & usbredirparser_fl_no_hello);
    parser->flags = flags & ~static_cast<uint32_t>(usbredirparser_fl_no_hello);
    if (parser->cb.alloc_lock_func) {
        parser->lock = parser->cb.alloc_lock_func();
    }
    reset_receive(parser);

    usb_redir_hello_header hello;
    memset(&hello, 0, sizeof(hello));
    snprintf(hello.version, sizeof(hello.version), "%s", USBREDIRPARSER_VERSION_TEXT);
    if (!(parser->flags & usbredirparser_fl_standard)) {
        const uint8_t ours[4] = {0, 1, 0, 1};
        memcpy(parser->our_acc_version, ours, 4);
        memcpy(hello.version + 60, ours, 4);
    }
    usb_trace("UsbHOST", "usbredirparser_init", USB_TRACE_I,
              "Our usbacc version: (none)%d, (major.minor.release)%d.%d.%d", parser->our_acc_version[0],
              parser->our_acc_version[1], parser->our_acc_version[2], parser->our_acc_version[3]);

    parser->our_caps = caps[0];
    if (!is_host(parser)) {
        usbredirparser_caps_set_cap(&parser->our_caps, usb_redir_cap_device_disconnect_ack);
    }
    verify_caps(&parser->our_caps, "our");
    if (send_hello) {
        usbredirparser_queue(parser, usb_redir_hello, 0, &hello,
                             reinterpret_cast<const uint8_t*>(&parser->our_caps), sizeof(parser->our_caps));
    }
}

void usbredirparser_destroy(usbredirparser* parser) {
    if (!parser) {
        return;
    }
    free(parser->data);
    parser->data = nullptr;
    usbredirparser_buf* wbuf = parser->write_buf;
    while (wbuf) {
        usbredirparser_buf* next = wbuf->next;
        free(wbuf->buf);
        free(wbuf);
        wbuf = next;
    }
    parser->write_buf = nullptr;
    parser->write_buf_count = 0;
    if (parser->lock && parser->cb.free_lock_func) {
        parser->cb.free_lock_func(parser->lock);
    }
    parser->lock = nullptr;
    free(parser);
}

int usbredirparser_do_read(usbredirparser* parser) {
    uint32_t hl = header_len(parser);

    if (parser->to_skip) {
        uint8_t* scratch = static_cast<uint8_t*>(malloc(SKIP_CHUNK));
        if (!scratch) {
            return usbredirparser_read_parse_error;
        }
        while (parser->to_skip) {
            const uint32_t n = parser->to_skip < SKIP_CHUNK ? parser->to_skip : SKIP_CHUNK;
            const int r = parser->cb.read_func(parser->cb.priv, scratch, static_cast<int>(n));
            if (r <= 0) {
                free(scratch);
                return r;
            }
            parser->to_skip -= static_cast<uint32_t>(r) < n ? static_cast<uint32_t>(r) : n;
        }
        free(scratch);
    }

    for (;;) {
        uint8_t* dest;
        uint32_t want;
        if (parser->header_read < hl) {
            dest = reinterpret_cast<uint8_t*>(&parser->header) + parser->header_read;
            want = hl - parser->header_read;
        } else if (parser->type_header_read < parser->type_header_len) {
            dest = parser->type_header + parser->type_header_read;
            want = parser->type_header_len - parser->type_header_read;
        } else {
            dest = parser->data + parser->data_read;
            want = parser->data_len - parser->data_read;
        }

        if (want) {
            int r = parser->cb.read_func(parser->cb.priv, dest, static_cast<int>(want));
            if (r <= 0) {
                return r;
            }
            const uint32_t got = static_cast<uint32_t>(r) < want ? static_cast<uint32_t>(r) : want;
            if (parser->header_read < hl) {
                parser->header_read += got;
                if (parser->header_read < hl) {
                    continue;
                }
                if (start_packet(parser)) {
                    return usbredirparser_read_parse_error;
                }
            } else if (parser->type_header_read < parser->type_header_len) {
                parser->type_header_read += got;
            } else {
                parser->data_read += got;
            }
        }

        if (parser->type_header_read < parser->type_header_len || parser->data_read < parser->data_len) {
            continue;
        }

        // The packet is complete.
        uint8_t* data = parser->data;
        const uint32_t data_len = parser->data_len;
        const bool valid =
            verify_type_header(parser, parser->header.type, parser->type_header, data, data_len, false);
        if (valid) {
            call_type_func(parser, data, data_len);
        } else {
            free(data);
        }
        reset_receive(parser);
        if (!valid) {
            return usbredirparser_read_parse_error;
        }
        hl = header_len(parser);
    }
}

int usbredirparser_has_data_to_write(usbredirparser* parser) {
    lock(parser);
    int count = parser->write_buf_count;
    unlock(parser);
    return count;
}

int usbredirparser_do_write(usbredirparser* parser) {
    int result = 0;
    lock(parser);
    while (parser->write_buf) {
        usbredirparser_buf* wbuf = parser->write_buf;
        const uint32_t rest = wbuf->len - wbuf->pos;
        int r = parser->cb.write_func(parser->cb.priv, wbuf->buf + wbuf->pos, static_cast<int>(rest));
        if (r <= 0) {
            result = r;
            break;
        }
        wbuf->pos += static_cast<uint32_t>(r) < rest ? static_cast<uint32_t>(r) : rest;
        if (wbuf->pos == wbuf->len) {
            parser->write_buf = wbuf->next;
            free(wbuf->buf);
            free(wbuf);
            parser->write_buf_count--;
        }
    }
    unlock(parser);
    return result;
}

void usbredirparser_queue(usbredirparser* parser, uint32_t type, uint64_t id, const void* type_header,
                          const uint8_t* data, uint32_t data_len) {
    const uint32_t hl = header_len(parser);
    const int thl = get_type_header_len(parser, type, true);
    if (thl < 0 || (type == usb_redir_acc_packet && (parser->flags & usbredirparser_fl_standard))) {
        usb_trace("UsbHOST", "usbredirparser_queue", USB_TRACE_E,
                  "error packet type unknown with internal call, please report!!");
        return;
    }
    static const uint8_t no_header[1] = {0};
    if (!type_header) {
        type_header = no_header;
        if (thl > 0) {
            usb_trace("UsbHOST", "usbredirparser_queue", USB_TRACE_E,
                      "error usbredirparser_send_* call invalid params, please report!!");
            return;
        }
    }
    if (!verify_type_header(parser, type, type_header, data, data_len, true)) {
        usb_trace("UsbHOST", "usbredirparser_queue", USB_TRACE_E,
                  "error usbredirparser_send_* call invalid params, please report!!");
        return;
    }
    const uint64_t length = static_cast<uint64_t>(thl) + data_len;
    if (length > UINT32_MAX - hl) {
        usb_trace("UsbHOST", "usbredirparser_queue", USB_TRACE_E,
                  "error usbredirparser_send_* call invalid params, please report!!");
        return;
    }
    auto* wbuf = static_cast<usbredirparser_buf*>(calloc(1, sizeof(usbredirparser_buf)));
    uint8_t* buf = static_cast<uint8_t*>(malloc(hl + length));
    if (!wbuf || !buf) {
        usb_trace("UsbHOST", "usbredirparser_queue", USB_TRACE_E,
                  "Out of memory allocating buffer to send packet, dropping!");
        free(wbuf);
        free(buf);
        return;
    }
    usb_redir_header header;
    header.type = type;
    header.length = static_cast<uint32_t>(length);
    header.id = id;
    if (hl == 12) {
        header.id = static_cast<uint32_t>(id);
    }
    memcpy(buf, &header, hl);
    memcpy(buf + hl, type_header, thl);
    if (data_len) {
        memcpy(buf + hl + thl, data, data_len);
    }
    wbuf->buf = buf;
    wbuf->len = static_cast<uint32_t>(hl + length);

    lock(parser);
    usbredirparser_buf** tail = &parser->write_buf;
    while (*tail) {
        tail = &(*tail)->next;
    }
    *tail = wbuf;
    parser->write_buf_count++;
    unlock(parser);
}

bool usbredirparser_peer_acc_compatible(usbredirparser* parser) {
    if (!parser->have_peer_caps) {
        parser_log(parser, usbredirparser_warning, "have_peer_caps is 0");
        return false;
    }
    const uint8_t* peer = parser->peer_acc_version;
    const uint8_t* ours = parser->our_acc_version;
    return peer[0] == 0 && peer[1] != 0 && peer[1] == ours[1] && peer[2] >= ours[2];
}

namespace {

// One token of a rule: a whole decimal, 0x-hexadecimal or 0-octal integer within [min, max].
bool parse_rule_field(const char* token, long min, long max, int32_t* out) {
    if (!*token || isspace(static_cast<unsigned char>(*token)) || *token == '+') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long value = strtol(token, &end, 0);
    if (errno || *end || value < min || value > max) {
        return false;
    }
    *out = static_cast<int32_t>(value);
    return true;
}

}  // namespace

int usbredirparser_filter_string_to_rules(const char* text, usb_redir_filter_rule** rules_ret,
                                          int* count_ret) {
    *rules_ret = nullptr;
    *count_ret = 0;
    size_t bars = 0;
    for (const char* p = text; *p; ++p) {
        bars += *p == '|';
    }
    auto* rules = static_cast<usb_redir_filter_rule*>(calloc(bars + 1, sizeof(usb_redir_filter_rule)));
    char* copy = strdup(text);
    if (!rules || !copy) {
        free(rules);
        free(copy);
        return -12;
    }
    int count = 0;
    char* rule_save = nullptr;
    for (char* rule = strtok_r(copy, "|", &rule_save); rule; rule = strtok_r(nullptr, "|", &rule_save)) {
        int32_t fields[5];
        // The allow field is taken as it is.
        static const long minimum[5] = {-1, -1, -1, -1, INT32_MIN};
        static const long maximum[5] = {255, 0xFFFF, 0xFFFF, 0xFFFF, INT32_MAX};
        int n = 0;
        char* token_save = nullptr;
        for (char* token = strtok_r(rule, ",", &token_save); token;
             token = strtok_r(nullptr, ",", &token_save)) {
            if (n == 5 || !parse_rule_field(token, minimum[n], maximum[n], &fields[n])) {
                free(rules);
                free(copy);
                return -22;
            }
            n++;
        }
        if (n != 5) {
            free(rules);
            free(copy);
            return -22;
        }
        rules[count++] = {fields[0], fields[1], fields[2], fields[3], fields[4]};
    }
    free(copy);
    *rules_ret = rules;
    *count_ret = count;
    return 0;
}
