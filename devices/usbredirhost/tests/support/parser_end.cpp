#include "support/parser_end.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

ParserEnd* self(void* priv) {
    return static_cast<ParserEnd*>(priv);
}

void record(void* priv, uint64_t id, const uint8_t* data, int data_len) {
    ParserEnd* end = self(priv);
    usbredirparser* p = end->parser;
    ReceivedPacket packet{p->header.type, id, {p->type_header, p->type_header + p->type_header_len}, {}};
    if (data && data_len > 0) {
        packet.data.assign(data, data + data_len);
    }
    end->received.push_back(packet);
}

template <typename H>
void header_only(void* priv, H*) {
    record(priv, self(priv)->parser->header.id, nullptr, 0);
}

template <typename H>
void id_header(void* priv, uint64_t id, H*) {
    record(priv, id, nullptr, 0);
}

template <typename H>
void data_packet(void* priv, uint64_t id, H*, uint8_t* data, int data_len) {
    record(priv, id, data, data_len);
    free(data);
}

void no_args(void* priv) {
    record(priv, self(priv)->parser->header.id, nullptr, 0);
}

void id_only(void* priv, uint64_t id) {
    record(priv, id, nullptr, 0);
}

int read_bytes(void* priv, uint8_t* data, int count) {
    ParserEnd* end = self(priv);
    size_t n = std::min({static_cast<size_t>(count), end->input.size(), end->read_chunk});
    for (size_t i = 0; i < n; ++i) {
        data[i] = end->input.front();
        end->input.pop_front();
    }
    return static_cast<int>(n);
}

int write_bytes(void* priv, uint8_t* data, int count) {
    self(priv)->output.insert(self(priv)->output.end(), data, data + count);
    return count;
}

void* alloc_lock() {
    return new std::recursive_mutex;
}
void lock(void* l) {
    static_cast<std::recursive_mutex*>(l)->lock();
}
void unlock(void* l) {
    static_cast<std::recursive_mutex*>(l)->unlock();
}
void free_lock(void* l) {
    delete static_cast<std::recursive_mutex*>(l);
}

void hello(void* priv, usb_redir_hello_header*) {
    self(priv)->hellos++;
}

void filter(void* priv, usb_redir_filter_rule* rules, int count) {
    self(priv)->rules.assign(rules, rules + count);
    record(priv, 0, nullptr, 0);
    free(rules);
}

}  // namespace

ParserEnd::ParserEnd(bool host, uint32_t caps, uint32_t extra_flags) {
    parser = static_cast<usbredirparser*>(calloc(1, sizeof(usbredirparser)));
    usbredirparser_callbacks& cb = parser->cb;
    cb.priv = this;
    cb.read_func = read_bytes;
    cb.write_func = write_bytes;
    cb.device_connect_func = header_only<usb_redir_device_connect_header>;
    cb.device_disconnect_func = no_args;
    cb.reset_func = no_args;
    cb.interface_info_func = header_only<usb_redir_interface_info_header>;
    cb.ep_info_func = header_only<usb_redir_ep_info_header>;
    cb.set_configuration_func = id_header<usb_redir_set_configuration_header>;
    cb.get_configuration_func = id_only;
    cb.configuration_status_func = id_header<usb_redir_configuration_status_header>;
    cb.set_alt_setting_func = id_header<usb_redir_set_alt_setting_header>;
    cb.get_alt_setting_func = id_header<usb_redir_get_alt_setting_header>;
    cb.alt_setting_status_func = id_header<usb_redir_alt_setting_status_header>;
    cb.start_iso_stream_func = id_header<usb_redir_start_iso_stream_header>;
    cb.stop_iso_stream_func = id_header<usb_redir_stop_iso_stream_header>;
    cb.iso_stream_status_func = id_header<usb_redir_iso_stream_status_header>;
    cb.start_interrupt_receiving_func = id_header<usb_redir_start_interrupt_receiving_header>;
    cb.stop_interrupt_receiving_func = id_header<usb_redir_stop_interrupt_receiving_header>;
    cb.interrupt_receiving_status_func = id_header<usb_redir_interrupt_receiving_status_header>;
    cb.alloc_bulk_streams_func = id_header<usb_redir_alloc_bulk_streams_header>;
    cb.free_bulk_streams_func = id_header<usb_redir_free_bulk_streams_header>;
    cb.bulk_streams_status_func = id_header<usb_redir_bulk_streams_status_header>;
    cb.cancel_data_packet_func = id_only;
    cb.control_packet_func = data_packet<usb_redir_control_packet_header>;
    cb.bulk_packet_func = data_packet<usb_redir_bulk_packet_header>;
    cb.iso_packet_func = data_packet<usb_redir_iso_packet_header>;
    cb.interrupt_packet_func = data_packet<usb_redir_interrupt_packet_header>;
    cb.alloc_lock_func = alloc_lock;
    cb.lock_func = lock;
    cb.unlock_func = unlock;
    cb.free_lock_func = free_lock;
    cb.hello_func = hello;
    cb.filter_reject_func = no_args;
    cb.filter_filter_func = filter;
    cb.device_disconnect_ack_func = no_args;
    cb.start_bulk_receiving_func = id_header<usb_redir_start_bulk_receiving_header>;
    cb.stop_bulk_receiving_func = id_header<usb_redir_stop_bulk_receiving_header>;
    cb.bulk_receiving_status_func = id_header<usb_redir_bulk_receiving_status_header>;
    cb.buffered_bulk_packet_func = data_packet<usb_redir_buffered_bulk_packet_header>;
    usbredirparser_init(parser, &caps, (host ? usbredirparser_fl_usb_host : 0) | extra_flags);
}

ParserEnd::~ParserEnd() {
    usbredirparser_destroy(parser);
}

int ParserEnd::read_all() {
    for (;;) {
        int r = usbredirparser_do_read(parser);
        if (r != 0 || input.empty()) {
            return r;
        }
    }
}

std::vector<uint8_t> ParserEnd::take_output() {
    usbredirparser_do_write(parser);
    std::vector<uint8_t> out;
    out.swap(output);
    return out;
}

void exchange(ParserEnd& a, ParserEnd& b) {
    for (int round = 0; round < 8; ++round) {
        auto from_a = a.take_output();
        auto from_b = b.take_output();
        if (from_a.empty() && from_b.empty()) {
            return;
        }
        b.feed(from_a);
        a.feed(from_b);
        a.read_all();
        b.read_all();
    }
}

std::vector<uint8_t> make_packet(uint32_t type, uint64_t id, const std::vector<uint8_t>& type_header,
                                 const std::vector<uint8_t>& data, bool ids64, uint32_t length_override) {
    std::vector<uint8_t> out;
    auto put = [&](uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    };
    put(type, 4);
    put(length_override != UINT32_MAX ? length_override : type_header.size() + data.size(), 4);
    put(id, ids64 ? 8 : 4);
    out.insert(out.end(), type_header.begin(), type_header.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}
