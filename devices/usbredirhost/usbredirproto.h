#pragma once

// Wire structures of the usbredir stream: little-endian, packed. This client always plays the USB host.
#include <cstdint>

enum {
    usb_redir_success,
    usb_redir_cancelled,
    usb_redir_inval,
    usb_redir_ioerror,
    usb_redir_stall,
    usb_redir_timeout,
    usb_redir_babble,
};

enum {
    usb_redir_speed_low,
    usb_redir_speed_full,
    usb_redir_speed_high,
    usb_redir_speed_super,
    usb_redir_speed_unknown = 255,
};

enum {
    usb_redir_type_control,
    usb_redir_type_iso,
    usb_redir_type_bulk,
    usb_redir_type_interrupt,
    usb_redir_type_invalid = 255,
};

enum {
    usb_redir_cap_bulk_streams = 0,
    usb_redir_cap_connect_device_version = 1,
    usb_redir_cap_filter = 2,
    usb_redir_cap_device_disconnect_ack = 3,
    usb_redir_cap_ep_info_max_packet_size = 4,
    usb_redir_cap_64bits_ids = 5,
    usb_redir_cap_32bits_bulk_length = 6,
    usb_redir_cap_bulk_receiving = 7,
    usb_redir_cap_lzo_compress = 29,
    usb_redir_cap_usbacc = 30,
};

enum {
    usb_redir_hello = 0,
    usb_redir_device_connect,
    usb_redir_device_disconnect,
    usb_redir_reset,
    usb_redir_interface_info,
    usb_redir_ep_info,
    usb_redir_set_configuration,
    usb_redir_get_configuration,
    usb_redir_configuration_status,
    usb_redir_set_alt_setting,
    usb_redir_get_alt_setting,
    usb_redir_alt_setting_status,
    usb_redir_start_iso_stream,
    usb_redir_stop_iso_stream,
    usb_redir_iso_stream_status,
    usb_redir_start_interrupt_receiving,
    usb_redir_stop_interrupt_receiving,
    usb_redir_interrupt_receiving_status,
    usb_redir_alloc_bulk_streams,
    usb_redir_free_bulk_streams,
    usb_redir_bulk_streams_status,
    usb_redir_cancel_data_packet,
    usb_redir_filter_reject,
    usb_redir_filter_filter,
    usb_redir_device_disconnect_ack,
    usb_redir_start_bulk_receiving,
    usb_redir_stop_bulk_receiving,
    usb_redir_bulk_receiving_status,

    usb_redir_control_packet = 100,
    usb_redir_bulk_packet,
    usb_redir_iso_packet,
    usb_redir_interrupt_packet,
    usb_redir_buffered_bulk_packet,

    usb_redir_acc_packet = 1000,
};

// The largest transfer either side accepts.
constexpr uint32_t USB_REDIR_MAX_TRANSFER = 128u * 1024 * 1024;

#pragma pack(push, 1)

struct usb_redir_header {
    uint32_t type;
    uint32_t length;
    uint64_t id;
};

struct usb_redir_hello_header {
    char version[64];
};

struct usb_redir_device_connect_header {
    uint8_t speed;
    uint8_t device_class;
    uint8_t device_subclass;
    uint8_t device_protocol;
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t device_version_bcd;
};

struct usb_redir_interface_info_header {
    uint32_t interface_count;
    uint8_t interface[32];
    uint8_t interface_class[32];
    uint8_t interface_subclass[32];
    uint8_t interface_protocol[32];
};

struct usb_redir_ep_info_header {
    uint8_t type[32];
    uint8_t interval[32];
    uint8_t interface[32];
    uint16_t max_packet_size[32];
    uint32_t max_streams[32];
};

struct usb_redir_set_configuration_header {
    uint8_t configuration;
};

struct usb_redir_configuration_status_header {
    uint8_t status;
    uint8_t configuration;
};

struct usb_redir_set_alt_setting_header {
    uint8_t interface;
    uint8_t alt;
};

struct usb_redir_get_alt_setting_header {
    uint8_t interface;
};

struct usb_redir_alt_setting_status_header {
    uint8_t status;
    uint8_t interface;
    uint8_t alt;
};

struct usb_redir_start_iso_stream_header {
    uint8_t endpoint;
    uint8_t pkts_per_urb;
    uint8_t no_urbs;
};

struct usb_redir_stop_iso_stream_header {
    uint8_t endpoint;
};

struct usb_redir_iso_stream_status_header {
    uint8_t status;
    uint8_t endpoint;
};

struct usb_redir_start_interrupt_receiving_header {
    uint8_t endpoint;
};

struct usb_redir_stop_interrupt_receiving_header {
    uint8_t endpoint;
};

struct usb_redir_interrupt_receiving_status_header {
    uint8_t status;
    uint8_t endpoint;
};

struct usb_redir_alloc_bulk_streams_header {
    uint32_t endpoints;
    uint32_t no_streams;
};

struct usb_redir_free_bulk_streams_header {
    uint32_t endpoints;
};

struct usb_redir_bulk_streams_status_header {
    uint32_t endpoints;
    uint32_t no_streams;
    uint8_t status;
};

struct usb_redir_start_bulk_receiving_header {
    uint32_t stream_id;
    uint32_t bytes_per_transfer;
    uint8_t endpoint;
    uint8_t no_transfers;
};

struct usb_redir_stop_bulk_receiving_header {
    uint32_t stream_id;
    uint8_t endpoint;
};

struct usb_redir_bulk_receiving_status_header {
    uint32_t stream_id;
    uint8_t endpoint;
    uint8_t status;
};

struct usb_redir_control_packet_header {
    uint8_t endpoint;
    uint8_t request;
    uint8_t requesttype;
    uint8_t status;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

struct usb_redir_bulk_packet_header {
    uint8_t endpoint;
    uint8_t status;
    uint16_t length;
    uint32_t stream_id;
    uint16_t length_high;
};

struct usb_redir_iso_packet_header {
    uint8_t endpoint;
    uint8_t status;
    uint16_t length;
};

struct usb_redir_interrupt_packet_header {
    uint8_t endpoint;
    uint8_t status;
    uint16_t length;
};

struct usb_redir_buffered_bulk_packet_header {
    uint32_t stream_id;
    uint32_t length;
    uint8_t endpoint;
    uint8_t status;
};

struct usb_redir_acc_packet_header {
    uint8_t acc_type;
    uint32_t data_size;
};

struct usb_redir_filter_rule {
    int32_t device_class;
    int32_t vendor_id;
    int32_t product_id;
    int32_t device_version_bcd;
    int32_t allow;
};

#pragma pack(pop)

static_assert(sizeof(usb_redir_ep_info_header) == 288, "ep_info layout");
static_assert(sizeof(usb_redir_interface_info_header) == 132, "interface_info layout");
static_assert(sizeof(usb_redir_bulk_packet_header) == 10, "bulk layout");
static_assert(sizeof(usb_redir_buffered_bulk_packet_header) == 10, "buffered bulk layout");
static_assert(sizeof(usb_redir_acc_packet_header) == 5, "acc layout");

// Endpoint slot of an address, and back: slots 0-15 are OUT 0x00-0x0F, 16-31 are IN 0x80-0x8F.
inline int usb_redir_ep_slot(uint8_t ep) {
    return ((ep & 0x80) >> 3) | (ep & 0x0F);
}
inline uint8_t usb_redir_slot_ep(int slot) {
    return static_cast<uint8_t>(((slot & 0x10) << 3) | (slot & 0x0F));
}
