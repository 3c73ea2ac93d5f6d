#pragma once

// Shared between the host's attach and teardown (usbredirhost.cpp), its request and completion handlers
// (usbredirhost_requests.cpp) and its input streams (usbredirhost_streams.cpp).
#include "devices/usbredirhost/usbredirhost.h"

void host_log(usbredirhost* host, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
void host_lock(usbredirhost* host, void* lock);
void host_unlock(usbredirhost* host, void* lock);
void host_flush(usbredirhost* host);

void in_flight_add(usbredirhost* host);
void in_flight_remove(usbredirhost* host);
bool wait_in_flight(usbredirhost* host, int timeout_ms);

usbredtrans* alloc_transfer(usbredirhost* host, int iso_packets, usbredirhost_completion_handler handler);
void free_transfer(usbredtrans* trans);
void add_transfer(usbredirhost* host, usbredtrans* trans);
void remove_transfer(usbredirhost* host, usbredtrans* trans);
// Submits; a failed submit is completed through the transfer's handler with the error as its status.
int submit_or_dispatch(usbredirhost* host, usbredtrans* trans, const char* what);

void handle_disconnect(usbredirhost* host);
const usb_interface_descriptor* current_altsetting(usbredirhost* host, int i);
void parse_interface(usbredirhost* host, int i);
void reset_endpoint(usbredirhost_endpoint& e, int slot);
int config_value(usbredirhost* host);
int claim(usbredirhost* host, bool first);
void release(usbredirhost* host, bool full);
int reset_device(usbredirhost* host);
void clear_device(usbredirhost* host);
void send_interface_n_ep_info(usbredirhost* host);
void send_device_connect(usbredirhost* host);
bool cancel_pending_urbs(usbredirhost* host, bool notify_guest);
void cancel_pending_urbs_on_interface(usbredirhost* host, int i);
void wait_for_cancel_completion(usbredirhost* host);

void install_request_handlers(usbredirparser_callbacks* cb);

// Streams.
void send_stream_status(usbredirhost* host, uint64_t id, uint8_t ep, uint8_t status);
void cancel_stream_unlocked(usbredirhost* host, uint8_t ep);
void stream_start_interrupt_receiving(void* priv, uint64_t id, usb_redir_start_interrupt_receiving_header* h);
void stream_stop_interrupt_receiving(void* priv, uint64_t id, usb_redir_stop_interrupt_receiving_header* h);
void stream_start_bulk_receiving(void* priv, uint64_t id, usb_redir_start_bulk_receiving_header* h);
void stream_stop_bulk_receiving(void* priv, uint64_t id, usb_redir_stop_bulk_receiving_header* h);
void stream_iso_packet(void* priv, uint64_t id, usb_redir_iso_packet_header* h, uint8_t* data, int data_len);
void stream_alloc_bulk_streams(void* priv, uint64_t id, usb_redir_alloc_bulk_streams_header* h);
void stream_free_bulk_streams(void* priv, uint64_t id, usb_redir_free_bulk_streams_header* h);
