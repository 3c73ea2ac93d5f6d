#pragma once

// Frames and unframes the usbredir byte stream: the hello, capability negotiation, checks on every packet in
// both directions, dispatch of received packets to the owner's call-backs, and the queue of packets to write.
// Receiving runs on one thread (the owner's); queueing and writing may run on any thread under the parser
// lock.
#include <cstddef>
#include <cstdint>

#include "devices/usbredirhost/usbredirproto.h"

enum {
    usbredirparser_fl_usb_host = 0x01,
    usbredirparser_fl_no_hello = 0x04,
    // The peer is a standard usbredir implementation: the hello carries no acceleration version, so the
    // acceleration packets (type 1000) can never be negotiated; queueing one is refused.
    usbredirparser_fl_standard = 0x08,
};

enum {
    usbredirparser_error = 1,
    usbredirparser_warning,
    usbredirparser_info,
    usbredirparser_debug,
    usbredirparser_debug_data,
};

// do_read results besides 0 and the read call-back's own negative codes.
enum { usbredirparser_read_parse_error = -2 };

// The hello version text this client always sends.
#define USBREDIRPARSER_VERSION_TEXT "qelt session 0.9.9"

struct usbredirparser;

struct usbredirparser_callbacks {
    void* priv;
    void (*log_func)(void* priv, int level, const char* msg);
    int (*read_func)(void* priv, uint8_t* data, int count);
    int (*write_func)(void* priv, uint8_t* data, int count);
    void (*device_connect_func)(void* priv, usb_redir_device_connect_header* h);
    void (*device_disconnect_func)(void* priv);
    void (*reset_func)(void* priv);
    void (*interface_info_func)(void* priv, usb_redir_interface_info_header* h);
    void (*ep_info_func)(void* priv, usb_redir_ep_info_header* h);
    void (*set_configuration_func)(void* priv, uint64_t id, usb_redir_set_configuration_header* h);
    void (*get_configuration_func)(void* priv, uint64_t id);
    void (*configuration_status_func)(void* priv, uint64_t id, usb_redir_configuration_status_header* h);
    void (*set_alt_setting_func)(void* priv, uint64_t id, usb_redir_set_alt_setting_header* h);
    void (*get_alt_setting_func)(void* priv, uint64_t id, usb_redir_get_alt_setting_header* h);
    void (*alt_setting_status_func)(void* priv, uint64_t id, usb_redir_alt_setting_status_header* h);
    void (*start_iso_stream_func)(void* priv, uint64_t id, usb_redir_start_iso_stream_header* h);
    void (*stop_iso_stream_func)(void* priv, uint64_t id, usb_redir_stop_iso_stream_header* h);
    void (*iso_stream_status_func)(void* priv, uint64_t id, usb_redir_iso_stream_status_header* h);
    void (*start_interrupt_receiving_func)(void* priv, uint64_t id,
                                           usb_redir_start_interrupt_receiving_header* h);
    void (*stop_interrupt_receiving_func)(void* priv, uint64_t id,
                                          usb_redir_stop_interrupt_receiving_header* h);
    void (*interrupt_receiving_status_func)(void* priv, uint64_t id,
                                            usb_redir_interrupt_receiving_status_header* h);
    void (*alloc_bulk_streams_func)(void* priv, uint64_t id, usb_redir_alloc_bulk_streams_header* h);
    void (*free_bulk_streams_func)(void* priv, uint64_t id, usb_redir_free_bulk_streams_header* h);
    void (*bulk_streams_status_func)(void* priv, uint64_t id, usb_redir_bulk_streams_status_header* h);
    void (*cancel_data_packet_func)(void* priv, uint64_t id);
    // The data call-backs own the data (free with free()).
    void (*control_packet_func)(void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                                int data_len);
    void (*bulk_packet_func)(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data,
                             int data_len);
    void (*iso_packet_func)(void* priv, uint64_t id, usb_redir_iso_packet_header* h, uint8_t* data,
                            int data_len);
    void (*interrupt_packet_func)(void* priv, uint64_t id, usb_redir_interrupt_packet_header* h,
                                  uint8_t* data, int data_len);
    void* (*alloc_lock_func)();
    void (*lock_func)(void* lock);
    void (*unlock_func)(void* lock);
    void (*free_lock_func)(void* lock);
    void (*hello_func)(void* priv, usb_redir_hello_header* h);
    void (*filter_reject_func)(void* priv);
    // Owns the rules (free with free()).
    void (*filter_filter_func)(void* priv, usb_redir_filter_rule* rules, int rules_count);
    void (*device_disconnect_ack_func)(void* priv);
    void (*start_bulk_receiving_func)(void* priv, uint64_t id, usb_redir_start_bulk_receiving_header* h);
    void (*stop_bulk_receiving_func)(void* priv, uint64_t id, usb_redir_stop_bulk_receiving_header* h);
    void (*bulk_receiving_status_func)(void* priv, uint64_t id, usb_redir_bulk_receiving_status_header* h);
    void (*buffered_bulk_packet_func)(void* priv, uint64_t id, usb_redir_buffered_bulk_packet_header* h,
                                      uint8_t* data, int data_len);
};

struct usbredirparser_buf {
    uint8_t* buf;
    uint32_t pos;
    uint32_t len;
    usbredirparser_buf* next;
};

struct usbredirparser {
    usbredirparser_callbacks cb;
    uint32_t flags;
    uint32_t have_peer_caps;
    uint32_t our_caps;
    uint32_t peer_caps;
    uint8_t our_acc_version[4];  // none, major, minor, release
    uint8_t peer_acc_version[4];
    void* lock;  // from alloc_lock_func; guards the write queue

    // Receive side: owner's thread only. Sizes are unsigned and bounded at header time.
    usb_redir_header header;
    uint8_t type_header[288];
    uint32_t header_read;
    uint32_t type_header_len;
    uint32_t type_header_read;
    uint8_t* data;
    uint32_t data_len;
    uint32_t data_read;
    uint32_t to_skip;

    // Guarded by lock.
    usbredirparser_buf* write_buf;
    int write_buf_count;
};

// The parser must be zeroed with its call-backs filled in. caps points at one capability word.
void usbredirparser_init(usbredirparser* parser, const uint32_t* caps, uint32_t flags);
void usbredirparser_destroy(usbredirparser* parser);

// 0: the read call-back has no more data; -2: a received packet was rejected; or the read call-back's own
// negative result. Every complete valid packet has been dispatched when it returns.
int usbredirparser_do_read(usbredirparser* parser);
// 0 when the queue is empty, otherwise the non-positive result of the write call-back that stopped it.
int usbredirparser_do_write(usbredirparser* parser);
int usbredirparser_has_data_to_write(usbredirparser* parser);

void usbredirparser_queue(usbredirparser* parser, uint32_t type, uint64_t id, const void* type_header,
                          const uint8_t* data, uint32_t data_len);

void usbredirparser_caps_set_cap(uint32_t* caps, int cap);
bool usbredirparser_caps_get_cap(const uint32_t* caps, int cap);
bool usbredirparser_peer_has_cap(usbredirparser* parser, int cap);
bool usbredirparser_have_cap(usbredirparser* parser, int cap);
bool usbredirparser_peer_acc_compatible(usbredirparser* parser);

// Parses a filter rule text. 0 with an owned array (free()) and its count, -22 for an invalid text, -12 when
// out of memory.
int usbredirparser_filter_string_to_rules(const char* text, usb_redir_filter_rule** rules, int* rules_count);

// Limits on what a peer may send, checked when a packet's header arrives.
constexpr uint32_t USBREDIRPARSER_MAX_HELLO = 1024;
constexpr uint32_t USBREDIRPARSER_MAX_FILTER = 64 * 1024;
