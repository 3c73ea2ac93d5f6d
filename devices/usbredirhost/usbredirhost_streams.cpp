// Input streams: rings of transfers on interrupt IN and bulk IN endpoints, resubmitted as they complete, each
// result sent to the server as a data packet with a running id. Also the iso requests (never streamed here)
// and USB 3 bulk stream allocation.
#include <cstdlib>
#include <cstring>

#include "devices/usbredirhost/usb_trace.h"
#include "devices/usbredirhost/usbredirhost_internal.h"

namespace {

constexpr int MAX_TRANSFERS = 16;
constexpr int MAX_PACKETS_PER_TRANSFER = 32;
constexpr int INTERRUPT_TRANSFER_COUNT = 5;
constexpr int MAX_QUEUED_PACKETS = 800;

usbredirhost* host_of(void* priv) {
    return static_cast<usbredirhost*>(priv);
}

usbredirhost_endpoint& endpoint_of(usbredirhost* host, uint8_t ep) {
    return host->endpoint[usb_redir_ep_slot(ep)];
}

void send_stream_data(usbredirhost* host, uint64_t id, uint8_t ep, uint8_t status, const uint8_t* data,
                      uint32_t length) {
    usbredirhost_endpoint& e = endpoint_of(host, ep);
    if (usbredirparser_has_data_to_write(host->parser) > MAX_QUEUED_PACKETS) {
        if (e.warn_on_drop) {
            USBHOST_TRACE(USB_TRACE_W,
                          "buffered stream on endpoint %02X, connection too slow, dropping packets", ep);
            e.warn_on_drop = 0;
        }
        USBHOST_TRACE(USB_TRACE_D, "buffered complete ep %02X dropping packet status %d len %u", ep, status,
                      length);
        return;
    }
    USBHOST_TRACE(USB_TRACE_D, "buffered complete ep %02X status %d len %u type %d ", ep, status, length,
                  e.type);
    switch (e.type) {
        case usb_redir_type_interrupt: {
            usb_redir_interrupt_packet_header h{ep, status, static_cast<uint16_t>(length)};
            usbredirparser_queue(host->parser, usb_redir_interrupt_packet, id, &h, data, length);
            break;
        }
        case usb_redir_type_bulk: {
            usb_redir_buffered_bulk_packet_header h{0, length, ep, status};
            usbredirparser_queue(host->parser, usb_redir_buffered_bulk_packet, id, &h, data, length);
            break;
        }
        case usb_redir_type_iso: {
            usb_redir_iso_packet_header h{ep, status, static_cast<uint16_t>(length)};
            usbredirparser_queue(host->parser, usb_redir_iso_packet, id, &h, data, length);
            break;
        }
    }
}

void free_ring_transfer(usbredirhost* host, usbredtrans* trans) {
    host->stream_bytes -= static_cast<uint64_t>(trans->transfer->length);
    free_transfer(trans);
}

int submit_stream_transfer_unlocked(usbredirhost* host, usbredtrans* trans) {
    host->reset = false;
    in_flight_add(host);
    int r = host->dev->submit_transfer(trans->transfer);
    if (r < 0) {
        in_flight_remove(host);
        const uint8_t ep = trans->transfer->endpoint;
        if (r == USB_ERROR_NO_DEVICE) {
            handle_disconnect(host);
            return usb_redir_stall;
        }
        USBHOST_TRACE(USB_TRACE_E, "error submitting transfer on ep %02X: %s, stopping stream", ep,
                      usb_error_name(r));
        const uint64_t id = trans->id;
        cancel_stream_unlocked(host, ep);
        send_stream_status(host, id, ep, usb_redir_stall);
        return usb_redir_stall;
    }
    USBHOST_TRACE(USB_TRACE_D, "submit stream transfer seq %d", trans->transfer->seq);
    trans->packet_idx = -1;
    return usb_redir_success;
}

int start_stream_unlocked(usbredirhost* host, uint8_t ep) {
    usbredirhost_endpoint& e = endpoint_of(host, ep);
    const int count = (ep & 0x80) ? e.transfer_count : e.transfer_count / 2;
    for (int i = 0; i < count; ++i) {
        usbredtrans* trans = e.transfer[i];
        if (ep & 0x80) {
            trans->id = static_cast<uint64_t>(i) * e.pkts_per_transfer;
        }
        int status = submit_stream_transfer_unlocked(host, trans);
        if (status != usb_redir_success) {
            return status;
        }
    }
    USBHOST_TRACE(USB_TRACE_D, "start submit stream count %d, for ep %02x", count, ep);
    e.stream_started = 1;
    return usb_redir_success;
}

void buffered_packet_complete(usb_transfer* transfer);
void iso_packet_complete(usb_transfer* transfer);

void alloc_stream_unlocked(usbredirhost* host, uint64_t id, uint8_t ep, uint8_t type, int pkts_per_transfer,
                           int pkt_size, int transfer_count, bool send_success) {
    usbredirhost_endpoint& e = endpoint_of(host, ep);
    if (host->disconnected) {
        send_stream_status(host, id, ep, usb_redir_stall);
        return;
    }
    if (e.type != type) {
        USBHOST_TRACE(USB_TRACE_E, "error start stream type %d on type %d endpoint", type, e.type);
        send_stream_status(host, id, ep, usb_redir_stall);
        return;
    }
    if (pkts_per_transfer < 1 || pkts_per_transfer > MAX_PACKETS_PER_TRANSFER || transfer_count < 1 ||
        transfer_count > MAX_TRANSFERS || e.max_packetsize <= 0 || pkt_size % e.max_packetsize != 0) {
        USBHOST_TRACE(USB_TRACE_E, "error start stream type %d invalid parameters", type);
        send_stream_status(host, id, ep, usb_redir_stall);
        return;
    }
    if (e.transfer_count) {
        USBHOST_TRACE(USB_TRACE_E, "error received start type %d for already started stream", type);
        send_stream_status(host, id, ep, usb_redir_inval);
        return;
    }
    USBHOST_TRACE(USB_TRACE_D, "allocating stream ep %02X type %d packet-size %d pkts %d urbs %d", ep, type,
                  pkt_size, pkts_per_transfer, transfer_count);
    const uint64_t buf_size = static_cast<uint64_t>(pkt_size) * pkts_per_transfer;
    // A server may ask for many large rings; together they stay within a bound.
    if (buf_size == 0 || buf_size > INT32_MAX ||
        host->stream_bytes + buf_size * transfer_count > USBREDIRHOST_MAX_STREAM_BYTES) {
        USBHOST_TRACE(USB_TRACE_E, "out of memory allocating type %d stream buffers", type);
        send_stream_status(host, id, ep, usb_redir_stall);
        return;
    }
    for (int i = 0; i < transfer_count; ++i) {
        const bool iso = type == usb_redir_type_iso;
        usbredtrans* trans = alloc_transfer(host, iso ? pkts_per_transfer : 0,
                                            iso ? iso_packet_complete : buffered_packet_complete);
        uint8_t* buffer = trans ? static_cast<uint8_t*>(malloc(buf_size)) : nullptr;
        if (!buffer) {
            USBHOST_TRACE(USB_TRACE_E, "out of memory allocating type %d stream buffers", type);
            free_transfer(trans);
            for (int j = 0; j < i; ++j) {
                free_ring_transfer(host, e.transfer[j]);
                e.transfer[j] = nullptr;
            }
            send_stream_status(host, id, ep, usb_redir_stall);
            return;
        }
        usb_transfer* t = trans->transfer;
        switch (type) {
            case usb_redir_type_bulk:
                usb_fill_bulk_transfer(t, host->dev, ep, buffer, static_cast<int>(buf_size),
                                       usbredirhost_callback_dispatch, trans, 0);
                break;
            case usb_redir_type_interrupt:
                usb_fill_interrupt_transfer(t, host->dev, ep, buffer, static_cast<int>(buf_size),
                                            usbredirhost_callback_dispatch, trans, 0);
                break;
            default:
                usb_fill_bulk_transfer(t, host->dev, ep, buffer, static_cast<int>(buf_size),
                                       usbredirhost_callback_dispatch, trans, 1000);
                t->type = USB_TRANSFER_TYPE_ISOCHRONOUS;
                for (int k = 0; k < pkts_per_transfer; ++k) {
                    t->iso_packet_desc[k].length = static_cast<uint32_t>(pkt_size);
                }
        }
        host->stream_bytes += buf_size;
        e.transfer[i] = trans;
    }
    e.out_idx = 0;
    e.drop_packets = 0;
    e.pkts_per_transfer = static_cast<uint8_t>(pkts_per_transfer);
    e.transfer_count = static_cast<uint8_t>(transfer_count);
    int status = usb_redir_success;
    if (ep & 0x80) {
        status = start_stream_unlocked(host, ep);
    }
    if (send_success && status == usb_redir_success) {
        send_stream_status(host, id, ep, usb_redir_success);
    }
}

void clear_stream_stall_unlocked(usbredirhost* host, uint64_t id, uint8_t ep) {
    usbredirhost_endpoint& e = endpoint_of(host, ep);
    const int pkts = e.pkts_per_transfer;
    const int count = e.transfer_count;
    const int pkt_size = e.transfer[0] && pkts ? e.transfer[0]->transfer->length / pkts : 0;
    USBHOST_TRACE(USB_TRACE_W, "buffered stream on endpoint %02X stalled, clearing stall", ep);
    cancel_stream_unlocked(host, ep);
    int r = host->dev->clear_halt(ep);
    if (r < 0) {
        send_stream_status(host, id, ep, usb_redir_stall);
        return;
    }
    alloc_stream_unlocked(host, id, ep, e.type, pkts, pkt_size, count, false);
}

void buffered_packet_complete(usb_transfer* transfer) {
    auto* trans = static_cast<usbredtrans*>(transfer->user_data);
    usbredirhost* host = trans->host;
    const uint8_t ep = transfer->endpoint;
    USBHOST_TRACE(USB_TRACE_D, "buffered packet complete now %02x seq %d", ep, transfer->seq);
    host_lock(host, host->lock);
    if (trans->cancelled) {
        host->cancels_pending--;
        free_ring_transfer(host, trans);
        host_unlock(host, host->lock);
        in_flight_remove(host);
        return;
    }
    // From here the transfer stays in its ring.
    in_flight_remove(host);
    trans->packet_idx = 0;
    int status = transfer->status;
    uint32_t length = transfer->actual_length > 0 ? static_cast<uint32_t>(transfer->actual_length) : 0;
    switch (status) {
        case USB_TRANSFER_COMPLETED:
            break;
        case USB_TRANSFER_STALL:
            clear_stream_stall_unlocked(host, trans->id, ep);
            host_unlock(host, host->lock);
            host_flush(host);
            return;
        case USB_TRANSFER_NO_DEVICE:
            handle_disconnect(host);
            host_unlock(host, host->lock);
            host_flush(host);
            return;
        default:
            USBHOST_TRACE(USB_TRACE_E, "buffered in error on endpoint %02X: %d", ep, status);
            length = 0;
    }
    usbredirhost_endpoint& e = endpoint_of(host, ep);
    send_stream_data(host, trans->id, ep, static_cast<uint8_t>(usbredirhost_status_from_libusb(host, status)),
                     transfer->buffer, length);
    trans->id += e.transfer_count;
    submit_stream_transfer_unlocked(host, trans);
    host_unlock(host, host->lock);
    host_flush(host);
}

void iso_packet_complete(usb_transfer* transfer) {
    // No iso stream is ever set up; a stray completion only releases its transfer.
    auto* trans = static_cast<usbredtrans*>(transfer->user_data);
    usbredirhost* host = trans->host;
    UsbDevice* dev = host->dev;
    host_lock(host, host->lock);
    if (trans->cancelled) {
        host->cancels_pending--;
        free_ring_transfer(host, trans);
    }
    host_unlock(host, host->lock);
    if (dev) {
        dev->after_completion(transfer);
    }
    in_flight_remove(host);
}

void stop_stream(usbredirhost* host, uint64_t id, uint8_t ep) {
    if (host->disconnected) {
        return;
    }
    host_lock(host, host->lock);
    cancel_stream_unlocked(host, ep);
    send_stream_status(host, id, ep, usb_redir_success);
    host_unlock(host, host->lock);
    host_flush(host);
}

int endpoint_list(uint32_t mask, uint8_t* eps) {
    int n = 0;
    for (int slot = 0; slot < 32; ++slot) {
        if (mask & (1u << slot)) {
            eps[n++] = usb_redir_slot_ep(slot);
        }
    }
    return n;
}

}  // namespace

void send_stream_status(usbredirhost* host, uint64_t id, uint8_t ep, uint8_t status) {
    const uint8_t type = endpoint_of(host, ep).type;
    USBHOST_TRACE(USB_TRACE_D, "send stream status %d on ep %02x type %d", status, ep, type);
    switch (type) {
        case usb_redir_type_interrupt: {
            usb_redir_interrupt_receiving_status_header h{status, ep};
            usbredirparser_queue(host->parser, usb_redir_interrupt_receiving_status, id, &h, nullptr, 0);
            break;
        }
        case usb_redir_type_bulk: {
            USBHOST_TRACE(USB_TRACE_D, "qvn send redir type bulk status %d for ep %02x", status, ep);
            usb_redir_bulk_receiving_status_header h{0, ep, status};
            usbredirparser_queue(host->parser, usb_redir_bulk_receiving_status, id, &h, nullptr, 0);
            break;
        }
        case usb_redir_type_iso: {
            usb_redir_iso_stream_status_header h{status, ep};
            usbredirparser_queue(host->parser, usb_redir_iso_stream_status, id, &h, nullptr, 0);
            break;
        }
        default:
            break;
    }
}

void cancel_stream_unlocked(usbredirhost* host, uint8_t ep) {
    usbredirhost_endpoint& e = endpoint_of(host, ep);
    for (int i = 0; i < e.transfer_count; ++i) {
        usbredtrans* trans = e.transfer[i];
        if (!trans) {
            continue;
        }
        if (trans->packet_idx == -1) {
            USBHOST_TRACE(USB_TRACE_D, "red_transfer %d lib seq %d is submitted, cancel it", i,
                          trans->transfer->seq);
            host->dev->cancel_transfer(trans->transfer);
            trans->cancelled = 1;
            host->cancels_pending++;
        } else {
            USBHOST_TRACE(USB_TRACE_D, "red_transfer %d lib seq %d is submitted, free it", i,
                          trans->transfer->seq);
            free_ring_transfer(host, trans);
        }
        e.transfer[i] = nullptr;
    }
    e.out_idx = 0;
    e.stream_started = 0;
    e.drop_packets = 0;
    e.pkts_per_transfer = 0;
    e.transfer_count = 0;
}

void stream_start_interrupt_receiving(void* priv, uint64_t id,
                                      usb_redir_start_interrupt_receiving_header* h) {
    usbredirhost* host = host_of(priv);
    host_lock(host, host->lock);
    alloc_stream_unlocked(host, id, h->endpoint, usb_redir_type_interrupt, 1,
                          endpoint_of(host, h->endpoint).max_packetsize, INTERRUPT_TRANSFER_COUNT, true);
    host_unlock(host, host->lock);
    host_flush(host);
}

void stream_stop_interrupt_receiving(void* priv, uint64_t id, usb_redir_stop_interrupt_receiving_header* h) {
    USBHOST_TRACE(USB_TRACE_D, "stop interrupt receiving now!!");
    stop_stream(host_of(priv), id, h->endpoint);
}

void stream_start_bulk_receiving(void* priv, uint64_t id, usb_redir_start_bulk_receiving_header* h) {
    usbredirhost* host = host_of(priv);
    host_lock(host, host->lock);
    alloc_stream_unlocked(host, id, h->endpoint, usb_redir_type_bulk, 1,
                          static_cast<int>(h->bytes_per_transfer), h->no_transfers, true);
    host_unlock(host, host->lock);
    host_flush(host);
}

void stream_stop_bulk_receiving(void* priv, uint64_t id, usb_redir_stop_bulk_receiving_header* h) {
    stop_stream(host_of(priv), id, h->endpoint);
}

void stream_iso_packet(void* priv, uint64_t id, usb_redir_iso_packet_header* h, uint8_t* data, int) {
    usbredirhost* host = host_of(priv);
    free(data);
    uint8_t status;
    if (host->disconnected) {
        status = usb_redir_ioerror;
    } else if (endpoint_of(host, h->endpoint).type != usb_redir_type_iso) {
        usb_trace("UsbHOST", "usbredirhost_iso_packet", USB_TRACE_E,
                  "error received iso packet for non iso ep %02X", h->endpoint);
        status = usb_redir_inval;
    } else {
        usb_trace("UsbHOST", "usbredirhost_iso_packet", USB_TRACE_E,
                  "error received iso out packet for non started iso stream");
        status = usb_redir_inval;
    }
    send_stream_status(host, id, h->endpoint, status);
    host_flush(host);
}

void stream_alloc_bulk_streams(void* priv, uint64_t id, usb_redir_alloc_bulk_streams_header* h) {
    usbredirhost* host = host_of(priv);
    uint8_t eps[32];
    const int n = endpoint_list(h->endpoints, eps);
    uint8_t status = usb_redir_success;
    int r = host->dev ? host->dev->alloc_streams(h->no_streams, eps, n) : USB_ERROR_NO_DEVICE;
    if (r < 0) {
        USBHOST_TRACE(USB_TRACE_E, "could not alloc bulk streams: %s", usb_error_name(r));
        status = static_cast<uint8_t>(usbredirhost_status_from_libusb(host, r));
    } else if (static_cast<uint32_t>(r) < h->no_streams) {
        USBHOST_TRACE(USB_TRACE_E, "tried to alloc %u bulk streams but got only %d", h->no_streams, r);
        status = usb_redir_ioerror;
    }
    usb_redir_bulk_streams_status_header reply{h->endpoints, h->no_streams, status};
    usbredirparser_queue(host->parser, usb_redir_bulk_streams_status, id, &reply, nullptr, 0);
    host_flush(host);
}

void stream_free_bulk_streams(void* priv, uint64_t id, usb_redir_free_bulk_streams_header* h) {
    usbredirhost* host = host_of(priv);
    uint8_t eps[32];
    const int n = endpoint_list(h->endpoints, eps);
    uint8_t status = usb_redir_success;
    int r = host->dev ? host->dev->free_streams(eps, n) : USB_ERROR_NO_DEVICE;
    if (r < 0) {
        USBHOST_TRACE(USB_TRACE_E, "could not free bulk streams: %s", usb_error_name(r));
        status = static_cast<uint8_t>(usbredirhost_status_from_libusb(host, r));
    }
    usb_redir_bulk_streams_status_header reply{h->endpoints, 0, status};
    usbredirparser_queue(host->parser, usb_redir_bulk_streams_status, id, &reply, nullptr, 0);
    host_flush(host);
}
