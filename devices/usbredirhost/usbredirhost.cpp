#include "devices/usbredirhost/usbredirhost.h"

#include <lzo/lzo1x.h>
#include <strings.h>

#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "devices/usbredirhost/usb_trace.h"
#include "devices/usbredirhost/usbredirhost_internal.h"
#include "runtime/threads.h"

namespace {

// ---- process-wide rule blocks ----

struct RuleEntry {
    std::string prefix;
    uint32_t value;
};

std::mutex rules_lock;
std::vector<RuleEntry> usb_rules;
std::vector<RuleEntry> acc_black_list;
usbredirhost_acc_hooks acc_hooks;

constexpr size_t RULE_ENTRY_SIZE = 524;

std::vector<RuleEntry> parse_rule_block(const uint8_t* block, size_t size) {
    std::vector<RuleEntry> entries;
    if (!block || size < 8) {
        return entries;
    }
    uint32_t count;
    memcpy(&count, block + 4, 4);
    const uint64_t fits = (size - 8) / RULE_ENTRY_SIZE;
    if (count > fits) {
        usb_trace("UsbHOST", "usbredirhost_set_usb_rules", USB_TRACE_E,
                  "rule block holds %" PRIu64 " of %u entries", fits, count);
        count = static_cast<uint32_t>(fits);
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = block + 8 + static_cast<size_t>(i) * RULE_ENTRY_SIZE;
        RuleEntry e;
        e.prefix.assign(reinterpret_cast<const char*>(entry),
                        strnlen(reinterpret_cast<const char*>(entry), 260));
        memcpy(&e.value, entry + 520, 4);
        entries.push_back(e);
    }
    return entries;
}

bool rule_matches(const RuleEntry& rule, const char* identifier) {
    return strncasecmp(rule.prefix.c_str(), identifier, rule.prefix.size()) == 0 &&
           strlen(identifier) >= rule.prefix.size();
}

}  // namespace

void usbredirhost_set_usb_rules(const uint8_t* block, size_t size) {
    auto entries = parse_rule_block(block, size);
    std::lock_guard<std::mutex> guard(rules_lock);
    usb_rules.swap(entries);
}

void usbredirhost_set_acc_black_list(const uint8_t* block, size_t size) {
    auto entries = parse_rule_block(block, size);
    std::lock_guard<std::mutex> guard(rules_lock);
    acc_black_list.swap(entries);
}

void usbredirhost_set_acc_hooks(const usbredirhost_acc_hooks* hooks) {
    std::lock_guard<std::mutex> guard(rules_lock);
    acc_hooks = hooks ? *hooks : usbredirhost_acc_hooks{};
}

// ---- logging, locks, flushing ----

void host_log(usbredirhost* host, int level, const char* format, ...) {
    if (level > host->verbose || !host->cb.log) {
        return;
    }
    char text[512];
    int n = snprintf(text, sizeof(text), "usbredirhost: ");
    va_list args;
    va_start(args, format);
    vsnprintf(text + n, sizeof(text) - n, format, args);
    va_end(args);
    host->cb.log(host->owner, level, text);
}

void host_lock(usbredirhost* host, void* lock) {
    if (lock) {
        host->cb.lock(lock);
    }
}

void host_unlock(usbredirhost* host, void* lock) {
    if (lock) {
        host->cb.unlock(lock);
    }
}

void host_flush(usbredirhost* host) {
    if (host->cb.flush) {
        host->cb.flush(host->owner);
    }
}

namespace {

// The runtime's recursive mutex, for an owner that brings no locks of its own.
void* default_alloc_lock() {
    return new RecurciveMutex;
}
void default_lock(void* l) {
    pthread_mutex_lock(static_cast<RecurciveMutex*>(l)->get());
}
void default_unlock(void* l) {
    pthread_mutex_unlock(static_cast<RecurciveMutex*>(l)->get());
}
void default_free_lock(void* l) {
    delete static_cast<RecurciveMutex*>(l);
}

// ---- parser call-backs ----

usbredirhost* host_of(void* priv) {
    return static_cast<usbredirhost*>(priv);
}

void parser_log(void* priv, int level, const char* text) {
    usbredirhost* host = host_of(priv);
    if (host->cb.log) {
        host->cb.log(host->owner, level, text);
    }
}

int parser_read(void* priv, uint8_t* data, int count) {
    usbredirhost* host = host_of(priv);
    if (host->read_status) {
        int status = host->read_status;
        host->read_status = 0;
        return status;
    }
    return host->cb.read(host->owner, data, count);
}

int parser_write(void* priv, uint8_t* data, int count) {
    usbredirhost* host = host_of(priv);
    return host->cb.write(host->owner, data, count);
}

}  // namespace

// ---- transfers ----

void in_flight_add(usbredirhost* host) {
    std::lock_guard<std::mutex> guard(host->in_flight_lock);
    host->in_flight++;
}

void in_flight_remove(usbredirhost* host) {
    std::lock_guard<std::mutex> guard(host->in_flight_lock);
    host->in_flight--;
    host->in_flight_done.notify_all();
}

// Waits until every transfer's completion handler has run, at most timeout_ms. True when none is left.
bool wait_in_flight(usbredirhost* host, int timeout_ms) {
    std::unique_lock<std::mutex> guard(host->in_flight_lock);
    return host->in_flight_done.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                         [&] { return host->in_flight == 0; });
}

usbredtrans* alloc_transfer(usbredirhost* host, int iso_packets, usbredirhost_completion_handler handler) {
    auto* trans = static_cast<usbredtrans*>(calloc(1, sizeof(usbredtrans)));
    usb_transfer* transfer = usb_alloc_transfer(iso_packets);
    if (!trans || !transfer) {
        usb_trace("UsbHOST", "usbredirhost_alloc_transfer", USB_TRACE_E,
                  "out of memory allocating usb transfer, dropping packet");
        free(trans);
        usb_free_transfer(transfer);
        return nullptr;
    }
    trans->host = host;
    trans->transfer = transfer;
    trans->handler = handler;
    trans->packet_idx = 0;
    transfer->user_data = trans;
    return trans;
}

void free_transfer(usbredtrans* trans) {
    if (!trans) {
        return;
    }
    USBHOST_TRACE(USB_TRACE_D, "free usbredtrans %p transfer %p seq %d", static_cast<void*>(trans),
                  static_cast<void*>(trans->transfer), trans->transfer->seq);
    free(trans->transfer->buffer);
    usb_free_transfer(trans->transfer);
    free(trans);
}

void add_transfer(usbredirhost* host, usbredtrans* trans) {
    host_lock(host, host->lock);
    host->request_bytes += static_cast<uint64_t>(trans->transfer->length);
    usbredtrans* last = host->transfers_head.prev ? host->transfers_head.prev : &host->transfers_head;
    trans->prev = last;
    trans->next = nullptr;
    last->next = trans;
    host->transfers_head.prev = trans;
    host_unlock(host, host->lock);
}

void remove_transfer(usbredirhost* host, usbredtrans* trans) {
    host_lock(host, host->lock);
    if (trans->prev) {
        trans->prev->next = trans->next;
        if (trans->next) {
            trans->next->prev = trans->prev;
        } else {
            host->transfers_head.prev = trans->prev == &host->transfers_head ? nullptr : trans->prev;
        }
        trans->prev = nullptr;
        trans->next = nullptr;
    }
    host_unlock(host, host->lock);
}

// Submits a transfer whose completion handler will run exactly once, through a failed submit too.
int submit_or_dispatch(usbredirhost* host, usbredtrans* trans, const char* what) {
    in_flight_add(host);
    int r = host->dev->submit_transfer(trans->transfer);
    if (r < 0) {
        USBHOST_TRACE(USB_TRACE_E, "error submitting %s transfer on ep %02X: %s", what,
                      trans->transfer->endpoint, usb_error_name(r));
        trans->transfer->actual_length = 0;
        trans->transfer->status = r;
        usbredirhost_callback_dispatch(trans->transfer);
    }
    return r;
}

void usbredirhost_callback_dispatch(usb_transfer* transfer) {
    auto* trans = static_cast<usbredtrans*>(transfer->user_data);
    usbredirhost* host = trans->host;
    USBHOST_TRACE(
        USB_TRACE_D,
        "####callback called now ! libusb_transfer %p, true callback %p, host 0x%p, data 0x%p, priv 0x%p",
        static_cast<void*>(transfer), reinterpret_cast<void*>(trans->handler), static_cast<void*>(host),
        static_cast<void*>(trans), host->owner);
    if (trans->handler) {
        host->cb.completion_dispatch(host->owner, transfer, trans->handler);
    }
}

// ---- status mapping and device loss ----

void handle_disconnect(usbredirhost* host) {
    host_lock(host, host->disconnect_lock);
    if (!host->disconnected) {
        USBHOST_TRACE(USB_TRACE_I, "device disconnected");
        usbredirparser_queue(host->parser, usb_redir_device_disconnect, 0, nullptr, nullptr, 0);
        if (acc_hooks.clear) {
            acc_hooks.clear(host);
        }
        if (usbredirparser_peer_has_cap(host->parser, usb_redir_cap_device_disconnect_ack)) {
            host->wait_disconnect = true;
        }
        host->disconnected = true;
    }
    host_unlock(host, host->disconnect_lock);
}

int usbredirhost_status_from_libusb(usbredirhost* host, int code) {
    switch (code) {
        case USB_TRANSFER_COMPLETED:
            return usb_redir_success;
        case USB_TRANSFER_TIMED_OUT:
        case USB_ERROR_TIMEOUT:
            return usb_redir_timeout;
        case USB_TRANSFER_CANCELLED:
            return usb_redir_cancelled;
        case USB_TRANSFER_STALL:
            return usb_redir_stall;
        case USB_TRANSFER_NO_DEVICE:
        case USB_ERROR_NO_DEVICE:
            handle_disconnect(host);
            return usb_redir_ioerror;
        case USB_TRANSFER_OVERFLOW:
            return usb_redir_babble;
        case USB_ERROR_INVALID_PARAM:
            return usb_redir_inval;
        default:
            return usb_redir_ioerror;
    }
}

// ---- descriptors, claiming, releasing ----

namespace {

// The alternate setting of an interface by its number; none when the descriptor has no such setting.
const usb_interface_descriptor* find_altsetting(const usb_interface& iface, uint8_t alt) {
    for (const usb_interface_descriptor& d : iface.altsetting) {
        if (d.bAlternateSetting == alt) {
            return &d;
        }
    }
    return nullptr;
}

}  // namespace

const usb_interface_descriptor* current_altsetting(usbredirhost* host, int i) {
    if (!host->config || i < 0 || static_cast<size_t>(i) >= host->config->interfaces.size()) {
        return nullptr;
    }
    const usb_interface& iface = host->config->interfaces[i];
    const usb_interface_descriptor* d = find_altsetting(iface, host->alt_setting[i]);
    if (!d) {
        USBHOST_TRACE(USB_TRACE_E, "interface %d has no alternate setting %d", i, host->alt_setting[i]);
    }
    return d;
}

void parse_interface(usbredirhost* host, int i) {
    const usb_interface_descriptor* intf = current_altsetting(host, i);
    if (!intf) {
        return;
    }
    for (const usb_endpoint_descriptor& ep : intf->endpoints) {
        usbredirhost_endpoint& e = host->endpoint[usb_redir_ep_slot(ep.bEndpointAddress)];
        e.type = ep.bmAttributes & 3;
        e.interval = ep.bInterval;
        e.interface = intf->bInterfaceNumber;
        int mult = 1;
        const int bits = (ep.wMaxPacketSize >> 11) & 3;
        if (host->dev->get_device_speed() == USB_SPEED_HIGH && e.type == usb_redir_type_iso &&
            (bits == 1 || bits == 2)) {
            mult = bits + 1;
        }
        e.max_packetsize = (ep.wMaxPacketSize & 0x7FF) * mult;
        e.warn_on_drop = 1;
        e.max_streams = 0;
        if (e.type == usb_redir_type_bulk && ep.has_ss_companion && (ep.ss_companion_attributes & 0x1F)) {
            e.max_streams = 1u << (ep.ss_companion_attributes & 0x1F);
        }
    }
}

void reset_endpoint(usbredirhost_endpoint& e, int slot) {
    e.type = (slot == 0 || slot == 16) ? usb_redir_type_control : usb_redir_type_invalid;
    e.interval = 0;
    e.interface = 0;
    e.max_packetsize = 0;
    e.max_streams = 0;
}

void parse_config(usbredirhost* host) {
    for (int slot = 0; slot < 32; ++slot) {
        reset_endpoint(host->endpoint[slot], slot);
    }
    if (!host->config) {
        return;
    }
    for (size_t i = 0; i < host->config->interfaces.size(); ++i) {
        parse_interface(host, static_cast<int>(i));
    }
}

int config_value(usbredirhost* host) {
    return host->config ? host->config->bConfigurationValue : -1;
}

int claim(usbredirhost* host, bool first) {
    if (host->config) {
        usb_free_config_descriptor(host->config);
        host->config = nullptr;
    }
    int r = host->dev->get_device_descriptor(&host->desc);
    if (r < 0) {
        USBHOST_TRACE(USB_TRACE_E, "could not get device descriptor: %s", usb_error_name(r));
        return usbredirhost_status_from_libusb(host, r);
    }
    r = host->dev->get_active_config_descriptor(&host->config);
    if (r < 0 && r != USB_ERROR_NOT_FOUND) {
        USBHOST_TRACE(USB_TRACE_E, "could not get descriptors for active configuration: %s",
                      usb_error_name(r));
        host->config = nullptr;
        return usbredirhost_status_from_libusb(host, r);
    }
    if (r < 0) {
        host->config = nullptr;
    }
    if (host->config && host->config->interfaces.size() > 32) {
        USBHOST_TRACE(USB_TRACE_E, "usb decriptor has too much intefaces (%d > %d)",
                      static_cast<int>(host->config->interfaces.size()), 32);
        return usb_redir_ioerror;
    }
    if (first) {
        host->restore_config = config_value(host);
        if (host->restore_config == -1 && host->desc.bNumConfigurations == 1) {
            usb_config_descriptor* config = nullptr;
            if (host->dev->get_config_descriptor(0, &config) == 0 && config) {
                host->restore_config = config->bConfigurationValue;
            }
            usb_free_config_descriptor(config);
        }
    }
    memset(host->alt_setting, 0, sizeof(host->alt_setting));
    host->claimed = true;
    if (host->config) {
        for (const usb_interface& iface : host->config->interfaces) {
            if (iface.altsetting.empty()) {
                continue;
            }
            const int n = iface.altsetting[0].bInterfaceNumber;
            r = host->dev->claim_interface(n);
            if (r < 0) {
                if (r == USB_ERROR_BUSY) {
                    USBHOST_TRACE(USB_TRACE_E, "Device is in use by another application");
                } else {
                    USBHOST_TRACE(USB_TRACE_E, "could not claim interface %d (configuration %d): %s", n,
                                  host->config->bConfigurationValue, usb_error_name(r));
                }
                return usbredirhost_status_from_libusb(host, r);
            }
        }
    }
    parse_config(host);
    return usb_redir_success;
}

int reset_device(usbredirhost* host) {
    if (host->quirks & 0x1) {
        return 0;
    }
    int r = host->dev->reset_device();
    if (r == 0) {
        host->reset = true;
    }
    return r;
}

void release(usbredirhost* host, bool full) {
    if (!host->claimed) {
        return;
    }
    if (host->config) {
        for (const usb_interface& iface : host->config->interfaces) {
            if (iface.altsetting.empty()) {
                continue;
            }
            const int n = iface.altsetting[0].bInterfaceNumber;
            int r = host->dev->release_interface(n);
            if (r < 0 && r != USB_ERROR_NOT_FOUND && r != USB_ERROR_NO_DEVICE) {
                USBHOST_TRACE(USB_TRACE_E, "could not release interface %d (configuration %d): %s", n,
                              host->config->bConfigurationValue, usb_error_name(r));
            }
        }
    }
    if (!full) {
        return;
    }
    host->claimed = false;
    if (!(host->quirks & 0x1)) {
        int r = host->dev->reset_device();
        if (r < 0) {
            host_log(host, 1, "error resetting device: %s", usb_error_name(r));
            return;
        }
    }
    if (config_value(host) != host->restore_config) {
        int r = host->dev->set_configuration(host->restore_config);
        if (r < 0) {
            USBHOST_TRACE(USB_TRACE_E, "could not restore configuration to %d: %s", host->restore_config,
                          usb_error_name(r));
        }
    }
}

void send_interface_n_ep_info(usbredirhost* host) {
    usb_redir_interface_info_header info;
    memset(&info, 0, sizeof(info));
    if (host->config) {
        info.interface_count = static_cast<uint32_t>(host->config->interfaces.size());
        for (uint32_t i = 0; i < info.interface_count; ++i) {
            const usb_interface_descriptor* d = current_altsetting(host, static_cast<int>(i));
            if (!d) {
                continue;
            }
            info.interface[i] = d->bInterfaceNumber;
            info.interface_class[i] = d->bInterfaceClass;
            info.interface_subclass[i] = d->bInterfaceSubClass;
            info.interface_protocol[i] = d->bInterfaceProtocol;
        }
    }
    usbredirparser_queue(host->parser, usb_redir_interface_info, 0, &info, nullptr, 0);

    usb_redir_ep_info_header ep;
    memset(&ep, 0, sizeof(ep));
    for (int slot = 0; slot < 32; ++slot) {
        ep.type[slot] = host->endpoint[slot].type;
        ep.interval[slot] = host->endpoint[slot].interval;
        ep.interface[slot] = host->endpoint[slot].interface;
        ep.max_packet_size[slot] = static_cast<uint16_t>(host->endpoint[slot].max_packetsize);
        ep.max_streams[slot] = host->endpoint[slot].max_streams;
    }
    usbredirparser_queue(host->parser, usb_redir_ep_info, 0, &ep, nullptr, 0);
}

namespace {

void identifier(usbredirhost* host, char out[16]) {
    snprintf(out, 16, "%04X:%04x", host->desc.idVendor, host->desc.idProduct);
}

void init_acc(usbredirhost* host) {
    if (!host->disconnected) {
        USBHOST_TRACE(USB_TRACE_E, "internal error sending device_connect but already connected 0x%x", 0);
        return;
    }
    if (!host->parser->have_peer_caps || host->wait_disconnect) {
        host->connect_pending = true;
        USBHOST_TRACE(USB_TRACE_W, "connect pending ...");
        return;
    }
    char id[16];
    identifier(host, id);
    usbredirhost_acc_hooks hooks;
    {
        std::lock_guard<std::mutex> guard(rules_lock);
        for (const RuleEntry& e : acc_black_list) {
            if (rule_matches(e, id)) {
                USBHOST_TRACE(USB_TRACE_I, "usbacc black list match %s ", id);
                return;
            }
        }
        hooks = acc_hooks;
    }
    const bool peer = usbredirparser_peer_has_cap(host->parser, usb_redir_cap_usbacc);
    const bool local = usbredirparser_have_cap(host->parser, usb_redir_cap_usbacc);
    USBHOST_TRACE(USB_TRACE_I, "peer %d local %d", peer, local);
    if (!usbredirparser_peer_acc_compatible(host->parser)) {
        USBHOST_TRACE(USB_TRACE_W, "client usbacc version is not compatible to server");
        return;
    }
    if (peer && local && hooks.host_init) {
        int r = hooks.host_init(host);
        USBHOST_TRACE(USB_TRACE_I, "usbacc_host_init finish, r=%d", r);
    } else {
        USBHOST_TRACE(USB_TRACE_I, "not need usbacc_host_init");
    }
}

}  // namespace

void send_device_connect(usbredirhost* host) {
    if (!host->disconnected) {
        USBHOST_TRACE(USB_TRACE_E, "internal error sending device_connect but already connected");
        return;
    }
    if (!host->parser->have_peer_caps || host->wait_disconnect) {
        host->connect_pending = true;
        return;
    }
    init_acc(host);
    usb_redir_device_connect_header connect;
    switch (host->dev->get_device_speed()) {
        case USB_SPEED_LOW:
            connect.speed = usb_redir_speed_low;
            break;
        case USB_SPEED_FULL:
            connect.speed = usb_redir_speed_full;
            break;
        case USB_SPEED_HIGH:
            connect.speed = usb_redir_speed_high;
            break;
        case USB_SPEED_SUPER:
            connect.speed = usb_redir_speed_super;
            break;
        default:
            connect.speed = usb_redir_speed_unknown;
    }
    connect.device_class = host->desc.bDeviceClass;
    connect.device_subclass = host->desc.bDeviceSubClass;
    connect.device_protocol = host->desc.bDeviceProtocol;
    connect.vendor_id = host->desc.idVendor;
    connect.product_id = host->desc.idProduct;
    connect.device_version_bcd = host->desc.bcdDevice;
    send_interface_n_ep_info(host);
    usbredirparser_queue(host->parser, usb_redir_device_connect, 0, &connect, nullptr, 0);
    host->connect_pending = false;
    host->disconnected = false;
    host_flush(host);
}

// ---- cancelling ----

bool cancel_pending_urbs(usbredirhost* host, bool notify_guest) {
    host_lock(host, host->lock);
    for (int slot = 0; slot < 32; ++slot) {
        if (notify_guest && host->endpoint[slot].transfer_count) {
            send_stream_status(host, 0, usb_redir_slot_ep(slot), usb_redir_stall);
        }
        cancel_stream_unlocked(host, usb_redir_slot_ep(slot));
    }
    bool wait = host->cancels_pending > 0;
    for (usbredtrans* t = host->transfers_head.next; t; t = t->next) {
        if (!t->cancelled) {
            t->cancelled = 1;
            host->cancels_pending++;
            host->dev->cancel_transfer(t->transfer);
        }
        wait = true;
    }
    host_unlock(host, host->lock);
    if (notify_guest) {
        host_flush(host);
    }
    return wait;
}

void cancel_pending_urbs_on_interface(usbredirhost* host, int i) {
    host_lock(host, host->lock);
    const usb_interface_descriptor* intf = current_altsetting(host, i);
    if (intf) {
        for (const usb_endpoint_descriptor& ep : intf->endpoints) {
            cancel_stream_unlocked(host, ep.bEndpointAddress);
            for (usbredtrans* t = host->transfers_head.next; t; t = t->next) {
                if (t->transfer->endpoint == ep.bEndpointAddress && !t->cancelled) {
                    t->cancelled = 1;
                    host->cancels_pending++;
                    host->dev->cancel_transfer(t->transfer);
                }
            }
        }
    }
    host_unlock(host, host->lock);
}

void wait_for_cancel_completion(usbredirhost* host) {
    USBHOST_TRACE(USB_TRACE_D, "wait for cancel completion now ,pendings %d", host->cancels_pending);
    host_lock(host, host->lock);
    usbredtrans* t = host->transfers_head.next;
    while (t) {
        usbredtrans* next = t->next;
        t->next = nullptr;
        t->prev = nullptr;
        t = next;
    }
    host->transfers_head.next = nullptr;
    host->transfers_head.prev = nullptr;
    host_unlock(host, host->lock);
    USBHOST_TRACE(USB_TRACE_D, "wait for cancel completion succeed, pending %d", host->cancels_pending);
}

void clear_device(usbredirhost* host) {
    if (!host->dev) {
        return;
    }
    if (cancel_pending_urbs(host, false)) {
        wait_for_cancel_completion(host);
    }
    // The library must not be left with transfers of a device that is about to be closed, nor may their
    // completions reach a host that is gone: wait (bounded) until every handler has run.
    if (!wait_in_flight(host, USBREDIRHOST_DETACH_WAIT_MS)) {
        USBHOST_TRACE(USB_TRACE_E, "%d transfers still in flight at detach", host->in_flight);
    }
    release(host, true);
    if (host->config) {
        usb_free_config_descriptor(host->config);
        host->config = nullptr;
    }
    usb_close(host->dev);
    host->connect_pending = false;
    host->quirks = 0;
    host->dev = nullptr;
    handle_disconnect(host);
    host_flush(host);
}

// ---- creation and attachment ----

usbredirhost* usbredirhost_create(void* owner, const usbredirhost_callbacks* callbacks, uint32_t flags,
                                  uint32_t component_config) {
    auto* host = new (std::nothrow) usbredirhost();
    if (!host) {
        usb_trace("VUsb", "UsbRedirChannel::UsbRedirError", USB_TRACE_E,
                  "usbredirhost error: Out of memory allocating usbredirhost");
        return nullptr;
    }
    host->cb = *callbacks;
    if (!host->cb.alloc_lock || !host->cb.lock || !host->cb.unlock || !host->cb.free_lock) {
        host->cb.alloc_lock = default_alloc_lock;
        host->cb.lock = default_lock;
        host->cb.unlock = default_unlock;
        host->cb.free_lock = default_free_lock;
    }
    host->owner = owner;
    host->verbose = 2;
    host->disconnected = true;
    host->restore_config = -1;
    for (int slot = 0; slot < 32; ++slot) {
        reset_endpoint(host->endpoint[slot], slot);
    }
    host->parser = static_cast<usbredirparser*>(calloc(1, sizeof(usbredirparser)));
    if (!host->parser) {
        usb_trace("VUsb", "UsbRedirChannel::UsbRedirError", USB_TRACE_E,
                  "usbredirhost error: Out of memory allocating usbredirparser");
        usbredirhost_close(host);
        return nullptr;
    }
    usbredirparser_callbacks& p = host->parser->cb;
    p.priv = host;
    p.log_func = parser_log;
    p.read_func = parser_read;
    p.write_func = parser_write;
    install_request_handlers(&p);
    p.alloc_lock_func = host->cb.alloc_lock;
    p.lock_func = host->cb.lock;
    p.unlock_func = host->cb.unlock;
    p.free_lock_func = host->cb.free_lock;

    host->lock = host->cb.alloc_lock();
    host->disconnect_lock = host->cb.alloc_lock();

    uint32_t caps = 0x000000FF;
    if (!(flags & usbredirhost_fl_standard)) {
        caps |= 1u << usb_redir_cap_usbacc;
        int r = lzo_init();
        if (r == LZO_E_OK) {
            caps |= 1u << usb_redir_cap_lzo_compress;
        } else {
            host_log(host, 1, "lzo init fail, ret %d", r);
        }
        if ((component_config & 0x01) && (component_config & 0x04)) {
            caps |= (component_config & 0x10) ? 1u << 26 : (component_config & 0x08) ? 1u << 28 : 1u << 27;
        }
    }
    usbredirparser_init(
        host->parser, &caps,
        usbredirparser_fl_usb_host | ((flags & usbredirhost_fl_standard) ? usbredirparser_fl_standard : 0));
    usbredirhost_set_device(host, nullptr);
    host_flush(host);
    return host;
}

void usbredirhost_close(usbredirhost* host) {
    if (!host) {
        return;
    }
    if (host->parser) {
        clear_device(host);
    }
    if (!wait_in_flight(host, USBREDIRHOST_DETACH_WAIT_MS)) {
        // A completion still to come would find the host freed: keep it, as a leak rather than a crash.
        USBHOST_TRACE(USB_TRACE_E, "closing with %d transfers in flight, host kept", host->in_flight);
        return;
    }
    if (host->lock) {
        host->cb.free_lock(host->lock);
    }
    if (host->disconnect_lock) {
        host->cb.free_lock(host->disconnect_lock);
    }
    usbredirparser_destroy(host->parser);
    free(host->filter_rules);
    delete host;
}

int usbredirhost_set_device(usbredirhost* host, UsbDevice* device) {
    clear_device(host);
    if (!device) {
        return usb_redir_success;
    }
    USBHOST_TRACE(USB_TRACE_E, "usbredirhost_set origin %p , set to %p", static_cast<void*>(host->dev),
                  static_cast<void*>(device));
    host->dev = device;
    int status = claim(host, true);
    if (status != usb_redir_success) {
        clear_device(host);
        return status;
    }
    char id[16];
    identifier(host, id);
    {
        std::lock_guard<std::mutex> guard(rules_lock);
        for (const RuleEntry& e : usb_rules) {
            if (rule_matches(e, id)) {
                host->quirks |= e.value;
                USBHOST_TRACE(USB_TRACE_I, "reset_device by self and match %s with quirk 0x%x ", id,
                              host->quirks);
            }
        }
    }
    if (host->quirks == 0 || (host->quirks & 0x2)) {
        int r = host->dev->reset_device();
        if (r < 0) {
            host_log(host, 1, "error resetting device: %s", usb_error_name(r));
            status = usbredirhost_status_from_libusb(host, r);
            clear_device(host);
            return status;
        }
        host->reset = true;
    }
    send_device_connect(host);
    return usb_redir_success;
}
