#pragma once

// The usb-host side of usbredir: gives the server one local USB device. Request handlers and completion
// handlers run on the channel's worker thread; set_device may run on another thread; the USB library's thread
// only runs usbredirhost_callback_dispatch, which hands each finished transfer to the channel.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "devices/usbredirhost/usb_device.h"
#include "devices/usbredirhost/usbredirparser.h"

struct usbredirhost;
typedef void (*usbredirhost_completion_handler)(usb_transfer* transfer);

struct usbredirhost_callbacks {
    void (*log)(void* owner, int level, const char* text);
    int (*read)(void* owner, uint8_t* data, int count);
    int (*write)(void* owner, uint8_t* data, int count);
    void (*flush)(void* owner);
    // Queues (transfer, handler) for the worker thread, which later calls handler(transfer).
    void (*completion_dispatch)(void* owner, usb_transfer* transfer, usbredirhost_completion_handler handler);
    // Recursive locks; a recursive mutex of the host's own when left out.
    void* (*alloc_lock)();
    void (*lock)(void* lock);
    void (*unlock)(void* lock);
    void (*free_lock)(void* lock);
};

enum {
    // The server is a standard usbredir implementation: announce none of the acceleration capabilities.
    usbredirhost_fl_standard = 0x01,
};

// The read results the host hands to the channel through usbredirparser_do_read.
enum { usbredirhost_read_device_rejected = -3, usbredirhost_read_device_lost = -4 };

// Bounds of the host's own: how long a detach waits for the completions of cancelled transfers, and how many
// bytes all input-stream rings of one host may hold together.
constexpr int USBREDIRHOST_DETACH_WAIT_MS = 5000;
constexpr uint64_t USBREDIRHOST_MAX_STREAM_BYTES = 256ull * 1024 * 1024;
// The buffers of the server's control, bulk and interrupt requests in flight, together.
constexpr uint64_t USBREDIRHOST_MAX_REQUEST_BYTES = 512ull * 1024 * 1024;

struct usbredtrans {
    usbredirhost* host;
    usb_transfer* transfer;
    usbredirhost_completion_handler handler;
    uint64_t id;
    uint8_t cancelled;
    int packet_idx;  // -1 while a stream transfer is submitted
    union {
        usb_redir_control_packet_header control_packet;
        usb_redir_bulk_packet_header bulk_packet;
        usb_redir_interrupt_packet_header interrupt_packet;
    };
    usbredtrans* next;
    usbredtrans* prev;
};

struct usbredirhost_endpoint {
    uint8_t type;
    uint8_t interval;
    uint8_t interface;
    uint8_t warn_on_drop;
    uint8_t stream_started;
    uint8_t pkts_per_transfer;
    uint8_t transfer_count;
    int out_idx;
    int drop_packets;
    int max_packetsize;
    uint32_t max_streams;
    usbredtrans* transfer[16];
};

struct usbredirhost {
    usbredirparser* parser;
    void* lock;             // endpoint table, transfer list, stream state
    void* disconnect_lock;  // the device-lost handling
    usbredirhost_callbacks cb;
    void* owner;
    int verbose;
    UsbDevice* dev;
    usb_device_descriptor desc;
    usb_config_descriptor* config;
    uint32_t quirks;
    int restore_config;
    bool claimed;
    bool reset;
    bool disconnected;
    int read_status;
    int cancels_pending;
    bool wait_disconnect;
    bool connect_pending;
    usbredirhost_endpoint endpoint[32];
    uint8_t alt_setting[32];
    usbredtrans transfers_head;  // list head: next is the oldest
    usb_redir_filter_rule* filter_rules;
    int filter_rules_count;
    uint64_t stream_bytes;   // held by all stream rings; under lock
    uint64_t request_bytes;  // held by the transfers of the transfer list; under lock

    // Transfers submitted (or failed and dispatched) whose completion handler has not yet run.
    std::mutex in_flight_lock;
    std::condition_variable in_flight_done;
    int in_flight;
};

usbredirhost* usbredirhost_create(void* owner, const usbredirhost_callbacks* callbacks, uint32_t flags,
                                  uint32_t component_config);
void usbredirhost_close(usbredirhost* host);
// Takes over an opened device (closed on detach); none detaches. A usbredir status.
int usbredirhost_set_device(usbredirhost* host, UsbDevice* device);
// The completion function of every library transfer.
void usbredirhost_callback_dispatch(usb_transfer* transfer);
int usbredirhost_status_from_libusb(usbredirhost* host, int code);

// Process-wide blocks from the parent client: the USB rules (quirks per device) and the acceleration black
// list. Each is a u32, a u32 entry count, then 524-byte entries (a NUL-terminated prefix text, a u32 at byte
// 520).
void usbredirhost_set_usb_rules(const uint8_t* block, size_t size);
void usbredirhost_set_acc_black_list(const uint8_t* block, size_t size);

// The mass-storage acceleration start and reset, set by its module; none means acceleration is not built in.
struct usbredirhost_acc_hooks {
    int (*host_init)(usbredirhost* host);
    void (*clear)(usbredirhost* host);
};
void usbredirhost_set_acc_hooks(const usbredirhost_acc_hooks* hooks);
