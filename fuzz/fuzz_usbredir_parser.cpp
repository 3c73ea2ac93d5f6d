// The usbredir parser's read path on arbitrary streams. Byte 0: bit 0 picks the role (host or device), bit 1
// the standard flag, bits 2-7 clear capability bits of the word the parser announces (so every layout is
// reached). Byte 1 is the most the read call-back hands over per call (0: everything). The rest is the
// stream. Every packet the parser accepts and every reply it queues is written out and thrown away.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "devices/usbredirhost/usb_trace.h"
#include "devices/usbredirhost/usbredirparser.h"

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t chunk;
};

int read_input(void* priv, uint8_t* out, int count) {
    auto* in = static_cast<Input*>(priv);
    size_t n = static_cast<size_t>(count);
    n = n < in->size ? n : in->size;
    n = n < in->chunk ? n : in->chunk;
    for (size_t i = 0; i < n; ++i) {
        out[i] = in->data[i];
    }
    in->data += n;
    in->size -= n;
    return static_cast<int>(n);
}

int write_nothing(void*, uint8_t*, int count) {
    return count;
}

template <typename... Args>
void drop(void*, Args...) {}

template <typename H>
void drop_data(void*, uint64_t, H*, uint8_t* data, int) {
    free(data);
}

void drop_rules(void*, usb_redir_filter_rule* rules, int) {
    free(rules);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    usb_trace_set_output(false);
    Input in{data + 2, size - 2, data[1] ? data[1] : SIZE_MAX};
    auto* parser = static_cast<usbredirparser*>(calloc(1, sizeof(usbredirparser)));
    usbredirparser_callbacks& cb = parser->cb;
    cb.priv = &in;
    cb.read_func = read_input;
    cb.write_func = write_nothing;
    cb.device_connect_func = drop;
    cb.device_disconnect_func = drop;
    cb.reset_func = drop;
    cb.interface_info_func = drop;
    cb.ep_info_func = drop;
    cb.set_configuration_func = drop;
    cb.get_configuration_func = drop;
    cb.configuration_status_func = drop;
    cb.set_alt_setting_func = drop;
    cb.get_alt_setting_func = drop;
    cb.alt_setting_status_func = drop;
    cb.start_iso_stream_func = drop;
    cb.stop_iso_stream_func = drop;
    cb.iso_stream_status_func = drop;
    cb.start_interrupt_receiving_func = drop;
    cb.stop_interrupt_receiving_func = drop;
    cb.interrupt_receiving_status_func = drop;
    cb.alloc_bulk_streams_func = drop;
    cb.free_bulk_streams_func = drop;
    cb.bulk_streams_status_func = drop;
    cb.cancel_data_packet_func = drop;
    cb.control_packet_func = drop_data<usb_redir_control_packet_header>;
    cb.bulk_packet_func = drop_data<usb_redir_bulk_packet_header>;
    cb.iso_packet_func = drop_data<usb_redir_iso_packet_header>;
    cb.interrupt_packet_func = drop_data<usb_redir_interrupt_packet_header>;
    cb.hello_func = drop;
    cb.filter_reject_func = drop;
    cb.filter_filter_func = drop_rules;
    cb.device_disconnect_ack_func = drop;
    cb.start_bulk_receiving_func = drop;
    cb.stop_bulk_receiving_func = drop;
    cb.bulk_receiving_status_func = drop;
    cb.buffered_bulk_packet_func = drop_data<usb_redir_buffered_bulk_packet_header>;

    uint32_t caps = 0x600000FFu & ~(static_cast<uint32_t>(data[0] >> 2) << 1);
    uint32_t flags =
        (data[0] & 1 ? usbredirparser_fl_usb_host : 0) | (data[0] & 2 ? usbredirparser_fl_standard : 0);
    usbredirparser_init(parser, &caps, flags);
    // Keep reading past rejected packets until the input is used up.
    for (;;) {
        int r = usbredirparser_do_read(parser);
        if (r == 0 || in.size == 0) {
            break;
        }
    }
    usbredirparser_do_write(parser);
    usbredirparser_peer_acc_compatible(parser);
    usbredirparser_destroy(parser);
    return 0;
}
