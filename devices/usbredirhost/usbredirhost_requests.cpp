// The server's requests to the host and the completions of the transfers they start.
#include <cstdlib>
#include <cstring>

#include "devices/usbredirhost/usb_trace.h"
#include "devices/usbredirhost/usbredirhost_internal.h"

namespace {

usbredirhost* host_of(void* priv) {
    return static_cast<usbredirhost*>(priv);
}

int interface_index(usbredirhost* host, uint8_t number) {
    if (host->config) {
        for (size_t i = 0; i < host->config->interfaces.size(); ++i) {
            const auto& alts = host->config->interfaces[i].altsetting;
            if (!alts.empty() && alts[0].bInterfaceNumber == number) {
                return static_cast<int>(i);
            }
        }
    }
    usb_trace("UsbHOST", "usbredirhost_bInterfaceNumber_to_index", USB_TRACE_E, "invalid bNumInterface: %d\n",
              number);
    return -1;
}

// A server may keep asking for large transfers without waiting for them; what they hold together is bounded.
bool request_fits(usbredirhost* host, uint64_t bytes) {
    host_lock(host, host->lock);
    const bool fits = host->request_bytes + bytes <= USBREDIRHOST_MAX_REQUEST_BYTES;
    host_unlock(host, host->lock);
    if (!fits) {
        USBHOST_TRACE(USB_TRACE_E, "too much transfer data in flight, refusing %llu bytes",
                      static_cast<unsigned long long>(bytes));
    }
    return fits;
}

// ---- control requests ----

void hello(void* priv, usb_redir_hello_header*) {
    usbredirhost* host = host_of(priv);
    if (host->connect_pending) {
        send_device_connect(host);
    }
}

void device_disconnect_ack(void* priv) {
    usbredirhost* host = host_of(priv);
    if (!host->wait_disconnect) {
        USBHOST_TRACE(USB_TRACE_E, "error received disconnect ack without sending a disconnect");
        return;
    }
    host->wait_disconnect = false;
    if (host->connect_pending) {
        send_device_connect(host);
    }
}

void filter_reject(void* priv) {
    usbredirhost* host = host_of(priv);
    if (host->disconnected) {
        return;
    }
    USBHOST_TRACE(USB_TRACE_I, "device rejected");
    host->read_status = usbredirhost_read_device_rejected;
}

void filter_filter(void* priv, usb_redir_filter_rule* rules, int count) {
    usbredirhost* host = host_of(priv);
    free(host->filter_rules);
    host->filter_rules = rules;
    host->filter_rules_count = count;
}

void reset(void* priv) {
    usbredirhost* host = host_of(priv);
    if (host->disconnected || host->reset) {
        return;
    }
    if (cancel_pending_urbs(host, true)) {
        wait_for_cancel_completion(host);
    }
    USBHOST_TRACE(USB_TRACE_I, "reset_device request by server with quirk 0x%x", host->quirks);
    int r = reset_device(host);
    if (r != 0) {
        host_log(host, 1, "error resetting device: %s", usb_error_name(r));
        clear_device(host);
        host->read_status = usbredirhost_read_device_lost;
    }
}

void send_configuration_status(usbredirhost* host, uint64_t id, uint8_t status) {
    usb_redir_configuration_status_header reply;
    reply.status = status;
    reply.configuration = host->config ? host->config->bConfigurationValue : 0;
    usbredirparser_queue(host->parser, usb_redir_configuration_status, id, &reply, nullptr, 0);
    host_flush(host);
}

void set_configuration(void* priv, uint64_t id, usb_redir_set_configuration_header* h) {
    usbredirhost* host = host_of(priv);
    if (host->disconnected) {
        send_configuration_status(host, id, usb_redir_ioerror);
        return;
    }
    if (host->config && host->config->bConfigurationValue == h->configuration) {
        send_configuration_status(host, id, usb_redir_success);
        return;
    }
    host->reset = false;
    cancel_pending_urbs(host, false);
    release(host, false);
    int r = host->dev->set_configuration(h->configuration);
    uint8_t status = usb_redir_success;
    if (r < 0) {
        USBHOST_TRACE(USB_TRACE_E, "could not set active configuration to %d: %s", h->configuration,
                      usb_error_name(r));
        status = usb_redir_ioerror;
    }
    if (claim(host, false) != usb_redir_success) {
        clear_device(host);
        host->read_status = usbredirhost_read_device_lost;
        status = usb_redir_ioerror;
    } else {
        send_interface_n_ep_info(host);
    }
    send_configuration_status(host, id, status);
}

void get_configuration(void* priv, uint64_t id) {
    usbredirhost* host = host_of(priv);
    send_configuration_status(host, id, host->disconnected ? usb_redir_ioerror : usb_redir_success);
}

void send_alt_status(usbredirhost* host, uint64_t id, uint8_t status, uint8_t interface, uint8_t alt) {
    usb_redir_alt_setting_status_header reply{status, interface, alt};
    usbredirparser_queue(host->parser, usb_redir_alt_setting_status, id, &reply, nullptr, 0);
    host_flush(host);
}

void set_alt_setting(void* priv, uint64_t id, usb_redir_set_alt_setting_header* h) {
    usbredirhost* host = host_of(priv);
    if (host->disconnected) {
        send_alt_status(host, id, usb_redir_ioerror, h->interface, 255);
        return;
    }
    int i = interface_index(host, h->interface);
    if (i < 0) {
        send_alt_status(host, id, usb_redir_inval, h->interface, 255);
        return;
    }
    host->reset = false;
    cancel_pending_urbs_on_interface(host, i);
    int r = host->dev->set_interface_alt_setting(h->interface, h->alt);
    if (r < 0) {
        USBHOST_TRACE(USB_TRACE_E, "could not set alt setting for interface %d to %d: %s", h->interface,
                      h->alt, usb_error_name(r));
        send_alt_status(host, id, usbredirhost_status_from_libusb(host, r), h->interface,
                        host->alt_setting[i]);
        return;
    }
    host_lock(host, host->lock);
    for (int slot = 0; slot < 32; ++slot) {
        if (host->endpoint[slot].interface == h->interface) {
            reset_endpoint(host->endpoint[slot], slot);
        }
    }
    host->alt_setting[i] = h->alt;
    parse_interface(host, i);
    host_unlock(host, host->lock);
    send_interface_n_ep_info(host);
    send_alt_status(host, id, usb_redir_success, h->interface, h->alt);
}

void get_alt_setting(void* priv, uint64_t id, usb_redir_get_alt_setting_header* h) {
    usbredirhost* host = host_of(priv);
    if (host->disconnected) {
        send_alt_status(host, id, usb_redir_ioerror, h->interface, 255);
        return;
    }
    int i = interface_index(host, h->interface);
    if (i < 0) {
        send_alt_status(host, id, usb_redir_inval, h->interface, 255);
        return;
    }
    send_alt_status(host, id, usb_redir_success, h->interface, host->alt_setting[i]);
}

void start_iso_stream(void*, uint64_t, usb_redir_start_iso_stream_header*) {}
void stop_iso_stream(void*, uint64_t, usb_redir_stop_iso_stream_header*) {}

// ---- completions ----

// Ends a completed control, bulk or interrupt-OUT transfer: host lock held.
void finish_transfer(usbredirhost* host, usbredtrans* trans) {
    if (trans->cancelled) {
        // Its cancelled reply went out at cancel time; this was the completion that was still due.
        host->cancels_pending--;
    }
    host->request_bytes -= static_cast<uint64_t>(trans->transfer->length);
    USBHOST_TRACE(USB_TRACE_D, "remove usbredtrans %p transfer %p seq %d", static_cast<void*>(trans),
                  static_cast<void*>(trans->transfer), trans->transfer->seq);
    remove_transfer(host, trans);
    free_transfer(trans);
}

bool is_usb3_bcd(uint16_t bcd) {
    return bcd == 0x0300 || bcd == 0x0310 || bcd == 0x0320;
}

void control_packet_complete(usb_transfer* transfer) {
    auto* trans = static_cast<usbredtrans*>(transfer->user_data);
    usbredirhost* host = trans->host;
    host_lock(host, host->lock);
    usb_redir_control_packet_header header = trans->control_packet;
    header.status = static_cast<uint8_t>(usbredirhost_status_from_libusb(host, transfer->status));
    const int actual = transfer->actual_length > 0 ? transfer->actual_length : 0;
    header.length = static_cast<uint16_t>(actual);
    uint8_t* data = transfer->buffer + 8;
    // USB 3 devices are shown to the server as USB 2.1 with a 64-byte control endpoint, in the device
    // descriptor only (GET_DESCRIPTOR of type device) and only when the reply reaches bMaxPacketSize0.
    if (transfer->status == USB_TRANSFER_COMPLETED && header.requesttype == 0x80 && header.request == 6 &&
        header.value == 0x0100 && actual >= 8) {
        const uint16_t bcd = static_cast<uint16_t>(data[2] | (data[3] << 8));
        if (is_usb3_bcd(bcd)) {
            USBHOST_TRACE(USB_TRACE_W,
                          "find 3.0 device ,change usb to 2.1 old bcdusb:0x%x maxpacketsize:0x%x", bcd,
                          data[7]);
            data[2] = 0x10;
            data[3] = 0x02;
            data[7] = 64;
        }
    }
    if (!trans->cancelled) {
        const bool in = (header.endpoint & 0x80) != 0;
        usbredirparser_queue(host->parser, usb_redir_control_packet, trans->id, &header, in ? data : nullptr,
                             in ? static_cast<uint32_t>(actual) : 0);
    }
    finish_transfer(host, trans);
    host_unlock(host, host->lock);
    host_flush(host);
    in_flight_remove(host);
}

void bulk_packet_complete(usb_transfer* transfer) {
    auto* trans = static_cast<usbredtrans*>(transfer->user_data);
    usbredirhost* host = trans->host;
    host_lock(host, host->lock);
    usb_redir_bulk_packet_header header = trans->bulk_packet;
    header.status = static_cast<uint8_t>(usbredirhost_status_from_libusb(host, transfer->status));
    const uint32_t actual = transfer->actual_length > 0 ? static_cast<uint32_t>(transfer->actual_length) : 0;
    header.length = static_cast<uint16_t>(actual & 0xFFFF);
    header.length_high = static_cast<uint16_t>(actual >> 16);
    USBHOST_TRACE(USB_TRACE_D, "bulk complete ep %02X status %d len %u id %llu", header.endpoint,
                  header.status, actual, static_cast<unsigned long long>(trans->id));
    if (!trans->cancelled) {
        if (header.endpoint & 0x80) {
            usbredirparser_queue(host->parser, usb_redir_bulk_packet, trans->id, &header, transfer->buffer,
                                 actual);
        } else {
            USBHOST_TRACE(USB_TRACE_D, "bulk packet send succeed!");
            usbredirparser_queue(host->parser, usb_redir_bulk_packet, trans->id, &header, nullptr, 0);
        }
    }
    finish_transfer(host, trans);
    host_unlock(host, host->lock);
    host_flush(host);
    in_flight_remove(host);
}

void interrupt_out_packet_complete(usb_transfer* transfer) {
    auto* trans = static_cast<usbredtrans*>(transfer->user_data);
    usbredirhost* host = trans->host;
    UsbDevice* dev = host->dev;
    host_lock(host, host->lock);
    usb_redir_interrupt_packet_header header = trans->interrupt_packet;
    header.status = static_cast<uint8_t>(usbredirhost_status_from_libusb(host, transfer->status));
    header.length = static_cast<uint16_t>(transfer->actual_length > 0 ? transfer->actual_length : 0);
    USBHOST_TRACE(USB_TRACE_D, "interrupt out complete ep %02X status %d len %d id %llu", header.endpoint,
                  header.status, header.length, static_cast<unsigned long long>(trans->id));
    if (!trans->cancelled) {
        usbredirparser_queue(host->parser, usb_redir_interrupt_packet, trans->id, &header, nullptr, 0);
    }
    finish_transfer(host, trans);
    host_unlock(host, host->lock);
    host_flush(host);
    // The transfer is freed: the library takes the pointer only as a key.
    if (dev) {
        dev->after_completion(transfer);
    }
    in_flight_remove(host);
}

// ---- data requests ----

void control_packet(void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                    int data_len) {
    usbredirhost* host = host_of(priv);
    const uint8_t ep = h->endpoint;
    auto reply_now = [&](uint8_t status) {
        usb_redir_control_packet_header reply = *h;
        reply.status = status;
        reply.length = 0;
        usbredirparser_queue(host->parser, usb_redir_control_packet, id, &reply, nullptr, 0);
        free(data);
        host_flush(host);
    };
    if (host->disconnected) {
        reply_now(usb_redir_ioerror);
        return;
    }
    if (host->endpoint[usb_redir_ep_slot(ep)].type != usb_redir_type_control) {
        USBHOST_TRACE(USB_TRACE_E, "error control packet on non control ep %02X", ep);
        reply_now(usb_redir_inval);
        return;
    }
    host->reset = false;
    if (h->requesttype == 2 && h->request == 1 && h->value == 0 && data_len == 0) {
        int r = host->dev->clear_halt(static_cast<uint8_t>(h->index));
        USBHOST_TRACE(USB_TRACE_D, "clear halt ep %02X status %d", h->index & 0xFF, r);
        reply_now(static_cast<uint8_t>(usbredirhost_status_from_libusb(host, r)));
        return;
    }
    if (!request_fits(host, 8 + static_cast<uint64_t>(h->length))) {
        reply_now(usb_redir_ioerror);
        return;
    }
    auto* buffer = static_cast<uint8_t*>(malloc(8 + static_cast<size_t>(h->length)));
    if (!buffer) {
        USBHOST_TRACE(USB_TRACE_E, "out of memory allocating transfer buffer, dropping packet");
        free(data);
        return;
    }
    usbredtrans* trans = alloc_transfer(host, 0, control_packet_complete);
    if (!trans) {
        free(buffer);
        free(data);
        return;
    }
    usb_fill_control_setup(buffer, h->requesttype, h->request, h->value, h->index, h->length);
    if (!(ep & 0x80) && data_len > 0) {
        memcpy(buffer + 8, data, static_cast<size_t>(data_len));
    }
    free(data);
    usb_fill_control_transfer(trans->transfer, host->dev, buffer, usbredirhost_callback_dispatch, trans,
                              5000);
    trans->transfer->endpoint = ep;
    trans->id = id;
    trans->control_packet = *h;
    add_transfer(host, trans);
    submit_or_dispatch(host, trans, "control");
}

void bulk_packet(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int data_len) {
    usbredirhost* host = host_of(priv);
    const uint8_t ep = h->endpoint;
    const uint32_t length = (static_cast<uint32_t>(h->length_high) << 16) | h->length;
    auto reply_now = [&](uint8_t status) {
        usb_redir_bulk_packet_header reply = *h;
        reply.status = status;
        reply.length = 0;
        reply.length_high = 0;
        usbredirparser_queue(host->parser, usb_redir_bulk_packet, id, &reply, nullptr, 0);
        free(data);
        host_flush(host);
    };
    if (host->disconnected) {
        reply_now(usb_redir_ioerror);
        return;
    }
    if (host->endpoint[usb_redir_ep_slot(ep)].type != usb_redir_type_bulk) {
        USBHOST_TRACE(USB_TRACE_E, "error bulk packet on non bulk ep %02X", ep);
        reply_now(usb_redir_inval);
        return;
    }
    if (!request_fits(host, length)) {
        reply_now(usb_redir_ioerror);
        return;
    }
    uint8_t* buffer = data;
    if (ep & 0x80) {
        free(data);
        buffer = static_cast<uint8_t*>(malloc(length ? length : 1));
        if (!buffer) {
            USBHOST_TRACE(USB_TRACE_E, "out of memory allocating bulk buffer, dropping packet");
            return;
        }
    }
    usbredtrans* trans = alloc_transfer(host, 0, bulk_packet_complete);
    if (!trans) {
        free(buffer);
        return;
    }
    host->reset = false;
    if (h->stream_id) {
        usb_fill_bulk_stream_transfer(trans->transfer, host->dev, ep, h->stream_id, buffer,
                                      static_cast<int>(length), usbredirhost_callback_dispatch, trans, 0);
    } else {
        usb_fill_bulk_transfer(trans->transfer, host->dev, ep, buffer, static_cast<int>(length),
                               usbredirhost_callback_dispatch, trans, 0);
    }
    trans->id = id;
    trans->bulk_packet = *h;
    USBHOST_TRACE(USB_TRACE_D, "qvn send bulk %02x status %d stream id %4x  %04x%04x", ep, h->status,
                  h->stream_id, h->length_high, h->length);
    add_transfer(host, trans);
    submit_or_dispatch(host, trans, "bulk");
}

void interrupt_packet(void* priv, uint64_t id, usb_redir_interrupt_packet_header* h, uint8_t* data,
                      int data_len) {
    usbredirhost* host = host_of(priv);
    const uint8_t ep = h->endpoint;
    auto reply_now = [&](uint8_t status) {
        usb_redir_interrupt_packet_header reply = *h;
        reply.status = status;
        reply.length = 0;
        usbredirparser_queue(host->parser, usb_redir_interrupt_packet, id, &reply, nullptr, 0);
        free(data);
        host_flush(host);
    };
    if (host->disconnected) {
        reply_now(usb_redir_ioerror);
        return;
    }
    const usbredirhost_endpoint& e = host->endpoint[usb_redir_ep_slot(ep)];
    if (e.type != usb_redir_type_interrupt) {
        USBHOST_TRACE(USB_TRACE_E, "error received interrupt packet for non interrupt ep %02X", ep);
        reply_now(usb_redir_inval);
        return;
    }
    if (data_len > e.max_packetsize) {
        USBHOST_TRACE(USB_TRACE_E, "error received interrupt out packet is larger than wMaxPacketSize");
        reply_now(usb_redir_inval);
        return;
    }
    usbredtrans* trans = alloc_transfer(host, 0, interrupt_out_packet_complete);
    if (!trans) {
        free(data);
        return;
    }
    host->reset = false;
    usb_fill_interrupt_transfer(trans->transfer, host->dev, ep, data, data_len,
                                usbredirhost_callback_dispatch, trans, 0);
    trans->id = id;
    trans->interrupt_packet = *h;
    add_transfer(host, trans);
    submit_or_dispatch(host, trans, "interrupt");
}

void cancel_data_packet(void* priv, uint64_t id) {
    usbredirhost* host = host_of(priv);
    host_lock(host, host->lock);
    usbredtrans* trans = host->transfers_head.next;
    while (trans && (trans->cancelled || trans->id != id)) {
        trans = trans->next;
    }
    if (!trans) {
        host_unlock(host, host->lock);
        return;
    }
    trans->cancelled = 1;
    host->cancels_pending++;
    host->dev->cancel_transfer(trans->transfer);
    switch (trans->transfer->type) {
        case USB_TRANSFER_TYPE_CONTROL: {
            usb_redir_control_packet_header reply = trans->control_packet;
            reply.status = usb_redir_cancelled;
            reply.length = 0;
            usbredirparser_queue(host->parser, usb_redir_control_packet, id, &reply, nullptr, 0);
            break;
        }
        case USB_TRANSFER_TYPE_BULK:
        case USB_TRANSFER_TYPE_BULK_STREAM: {
            usb_redir_bulk_packet_header reply = trans->bulk_packet;
            reply.status = usb_redir_cancelled;
            reply.length = 0;
            reply.length_high = 0;
            usbredirparser_queue(host->parser, usb_redir_bulk_packet, id, &reply, nullptr, 0);
            break;
        }
        case USB_TRANSFER_TYPE_INTERRUPT: {
            usb_redir_interrupt_packet_header reply = trans->interrupt_packet;
            reply.status = usb_redir_cancelled;
            reply.length = 0;
            usbredirparser_queue(host->parser, usb_redir_interrupt_packet, id, &reply, nullptr, 0);
            break;
        }
    }
    host_unlock(host, host->lock);
    host_flush(host);
}

}  // namespace

void install_request_handlers(usbredirparser_callbacks* cb) {
    cb->reset_func = reset;
    cb->set_configuration_func = set_configuration;
    cb->get_configuration_func = get_configuration;
    cb->set_alt_setting_func = set_alt_setting;
    cb->get_alt_setting_func = get_alt_setting;
    cb->start_iso_stream_func = start_iso_stream;
    cb->stop_iso_stream_func = stop_iso_stream;
    cb->start_interrupt_receiving_func = stream_start_interrupt_receiving;
    cb->stop_interrupt_receiving_func = stream_stop_interrupt_receiving;
    cb->alloc_bulk_streams_func = stream_alloc_bulk_streams;
    cb->free_bulk_streams_func = stream_free_bulk_streams;
    cb->cancel_data_packet_func = cancel_data_packet;
    cb->control_packet_func = control_packet;
    cb->bulk_packet_func = bulk_packet;
    cb->iso_packet_func = stream_iso_packet;
    cb->interrupt_packet_func = interrupt_packet;
    cb->hello_func = hello;
    cb->filter_reject_func = filter_reject;
    cb->filter_filter_func = filter_filter;
    cb->device_disconnect_ack_func = device_disconnect_ack;
    cb->start_bulk_receiving_func = stream_start_bulk_receiving;
    cb->stop_bulk_receiving_func = stream_stop_bulk_receiving;
}
