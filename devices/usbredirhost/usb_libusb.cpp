#include "devices/usbredirhost/usb_libusb.h"

#include <libusb.h>

#include <cstdlib>
#include <cstring>

#include "devices/usbredirhost/usb_trace.h"

namespace {

UsbDeviceInfo describe(libusb_device* device) {
    UsbDeviceInfo info{};
    uint8_t ports[8];
    int count = libusb_get_port_numbers(device, ports, sizeof(ports));
    if (count < 0) {
        count = 0;
    }
    info.bus = libusb_get_bus_number(device);
    info.address = libusb_get_device_address(device);
    info.port_path.assign(ports, ports + count);
    info.unique_id = usb_port_path_id(info.bus, ports, count);
    info.parent_id = count > 1 ? usb_port_path_id(info.bus, ports, count - 1) : 0;
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(device, &desc) == 0) {
        info.vendor_id = desc.idVendor;
        info.product_id = desc.idProduct;
        info.device_class = desc.bDeviceClass;
    }
    return info;
}

usb_config_descriptor* convert_config(const libusb_config_descriptor* in) {
    auto* out = new usb_config_descriptor();
    out->bConfigurationValue = in->bConfigurationValue;
    for (int i = 0; i < in->bNumInterfaces; ++i) {
        usb_interface iface;
        for (int a = 0; a < in->interface[i].num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = in->interface[i].altsetting[a];
            usb_interface_descriptor d{alt.bInterfaceNumber,   alt.bAlternateSetting,  alt.bInterfaceClass,
                                       alt.bInterfaceSubClass, alt.bInterfaceProtocol, {}};
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                usb_endpoint_descriptor o{ep.bEndpointAddress, ep.bmAttributes, ep.wMaxPacketSize,
                                          ep.bInterval,        false,           0};
                libusb_ss_endpoint_companion_descriptor* companion = nullptr;
                if (libusb_get_ss_endpoint_companion_descriptor(nullptr, &ep, &companion) == 0 && companion) {
                    o.has_ss_companion = true;
                    o.ss_companion_attributes = companion->bmAttributes;
                    libusb_free_ss_endpoint_companion_descriptor(companion);
                }
                d.endpoints.push_back(o);
            }
            iface.altsetting.push_back(d);
        }
        out->interfaces.push_back(iface);
    }
    return out;
}

class LibusbDevice : public UsbDevice {
public:
    LibusbDevice(libusb_device* device, libusb_device_handle* handle) : device(device), handle(handle) {}
    ~LibusbDevice() override {
        libusb_close(handle);
        libusb_unref_device(device);
    }

    int get_device_descriptor(usb_device_descriptor* desc) override {
        libusb_device_descriptor d;
        int r = libusb_get_device_descriptor(device, &d);
        if (r == 0) {
            static_assert(sizeof(d) == sizeof(*desc), "device descriptor layout");
            memcpy(desc, &d, sizeof(d));
        }
        return r;
    }
    int get_active_config_descriptor(usb_config_descriptor** config) override {
        libusb_config_descriptor* c = nullptr;
        int r = libusb_get_active_config_descriptor(device, &c);
        if (r == 0) {
            *config = convert_config(c);
            libusb_free_config_descriptor(c);
        }
        return r;
    }
    int get_config_descriptor(uint8_t index, usb_config_descriptor** config) override {
        libusb_config_descriptor* c = nullptr;
        int r = libusb_get_config_descriptor(device, index, &c);
        if (r == 0) {
            *config = convert_config(c);
            libusb_free_config_descriptor(c);
        }
        return r;
    }
    int get_device_speed() override { return libusb_get_device_speed(device); }
    int claim_interface(int number) override { return libusb_claim_interface(handle, number); }
    int release_interface(int number) override { return libusb_release_interface(handle, number); }
    int set_configuration(int value) override { return libusb_set_configuration(handle, value); }
    int set_interface_alt_setting(int number, int alt) override {
        return libusb_set_interface_alt_setting(handle, number, alt);
    }
    int reset_device() override { return libusb_reset_device(handle); }
    int clear_halt(uint8_t endpoint) override { return libusb_clear_halt(handle, endpoint); }
    int alloc_streams(uint32_t count, const uint8_t* endpoints, int endpoint_count) override {
        return libusb_alloc_streams(handle, count, const_cast<uint8_t*>(endpoints), endpoint_count);
    }
    int free_streams(const uint8_t* endpoints, int endpoint_count) override {
        return libusb_free_streams(handle, const_cast<uint8_t*>(endpoints), endpoint_count);
    }

    int submit_transfer(usb_transfer* transfer) override {
        libusb_transfer* t = libusb_alloc_transfer(transfer->num_iso_packets);
        if (!t) {
            return USB_ERROR_NO_MEM;
        }
        t->dev_handle = handle;
        t->endpoint = transfer->endpoint;
        t->timeout = transfer->timeout;
        t->buffer = transfer->buffer;
        t->length = transfer->length;
        t->user_data = transfer;
        t->callback = completed;
        switch (transfer->type) {
            case USB_TRANSFER_TYPE_CONTROL:
                t->type = LIBUSB_TRANSFER_TYPE_CONTROL;
                t->endpoint = 0;
                break;
            case USB_TRANSFER_TYPE_ISOCHRONOUS:
                t->type = LIBUSB_TRANSFER_TYPE_ISOCHRONOUS;
                t->num_iso_packets = transfer->num_iso_packets;
                for (int i = 0; i < transfer->num_iso_packets; ++i) {
                    t->iso_packet_desc[i].length = transfer->iso_packet_desc[i].length;
                }
                break;
            case USB_TRANSFER_TYPE_BULK:
                t->type = LIBUSB_TRANSFER_TYPE_BULK;
                break;
            case USB_TRANSFER_TYPE_BULK_STREAM:
                t->type = LIBUSB_TRANSFER_TYPE_BULK_STREAM;
                libusb_transfer_set_stream_id(t, transfer->stream_id);
                break;
            default:
                t->type = LIBUSB_TRANSFER_TYPE_INTERRUPT;
        }
        std::lock_guard<std::mutex> guard(lock);
        transfer->backend = t;
        int r = libusb_submit_transfer(t);
        if (r < 0) {
            transfer->backend = nullptr;
            libusb_free_transfer(t);
        }
        return r;
    }

    int cancel_transfer(usb_transfer* transfer) override {
        std::lock_guard<std::mutex> guard(lock);
        if (!transfer->backend) {
            return USB_ERROR_NOT_FOUND;
        }
        return libusb_cancel_transfer(static_cast<libusb_transfer*>(transfer->backend));
    }

private:
    // On the event thread.
    static void LIBUSB_CALL completed(libusb_transfer* t) {
        auto* transfer = static_cast<usb_transfer*>(t->user_data);
        auto* self = static_cast<LibusbDevice*>(transfer->device);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            transfer->backend = nullptr;
        }
        transfer->status = t->status;
        transfer->actual_length = t->actual_length;
        for (int i = 0; i < transfer->num_iso_packets && i < t->num_iso_packets; ++i) {
            transfer->iso_packet_desc[i].actual_length = t->iso_packet_desc[i].actual_length;
            transfer->iso_packet_desc[i].status = t->iso_packet_desc[i].status;
        }
        libusb_free_transfer(t);
        transfer->callback(transfer);
    }

    libusb_device* device;
    libusb_device_handle* handle;
    std::mutex lock;  // pairs each submitted transfer with its libusb transfer
};

}  // namespace

uint32_t usb_port_path_id(uint8_t bus, const uint8_t* ports, int count) {
    uint32_t hash = 2166136261u;
    auto mix = [&](uint8_t byte) {
        hash ^= byte;
        hash *= 16777619u;
    };
    mix(bus);
    mix(static_cast<uint8_t>(count));
    for (int i = 0; i < count; ++i) {
        mix(ports[i]);
    }
    return hash ? hash : 1;
}

UsbContext* UsbContext::create() {
    libusb_context* context = nullptr;
    int r = libusb_init(&context);
    if (r < 0) {
        usb_trace("VUsb", "UsbContext::create", USB_TRACE_E, "libusb init failed: %s", libusb_error_name(r));
        return nullptr;
    }
    return new UsbContext(context);
}

UsbContext::UsbContext(libusb_context* context) : context(context) {
    event_thread = std::thread([this] { event_loop(); });
}

UsbContext::~UsbContext() {
    {
        std::lock_guard<std::mutex> guard(hotplug_lock);
        if (hotplug_registered) {
            libusb_hotplug_deregister_callback(context, hotplug_handle);
            hotplug_registered = false;
        }
    }
    stopping = true;
    libusb_interrupt_event_handler(context);
    event_thread.join();
    libusb_exit(context);
}

void UsbContext::event_loop() {
    while (!stopping) {
        timeval tv{0, 200000};
        libusb_handle_events_timeout_completed(context, &tv, nullptr);
    }
}

std::vector<UsbDeviceInfo> UsbContext::list_devices() {
    std::vector<UsbDeviceInfo> out;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < n; ++i) {
        out.push_back(describe(list[i]));
    }
    if (list) {
        libusb_free_device_list(list, 1);
    }
    return out;
}

UsbDevice* UsbContext::open(uint32_t unique_id) {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(context, &list);
    UsbDevice* opened = nullptr;
    for (ssize_t i = 0; i < n && !opened; ++i) {
        if (describe(list[i]).unique_id != unique_id) {
            continue;
        }
        libusb_device_handle* handle = nullptr;
        int r = libusb_open(list[i], &handle);
        if (r < 0) {
            usb_trace("VUsb", "UsbContext::open", USB_TRACE_E, "could not open device %08x: %s", unique_id,
                      libusb_error_name(r));
            break;
        }
        opened = new LibusbDevice(libusb_ref_device(list[i]), handle);
    }
    if (list) {
        libusb_free_device_list(list, 1);
    }
    return opened;
}

namespace {

int LIBUSB_CALL hotplug_event(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                              void* user_data) {
    auto* notice = static_cast<std::pair<UsbContext::HotplugCallback, void*>*>(user_data);
    notice->first(notice->second, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, describe(device));
    return 0;
}

}  // namespace

bool UsbContext::set_hotplug(HotplugCallback callback, void* opaque) {
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(hotplug_lock);
    if (hotplug_registered) {
        libusb_hotplug_deregister_callback(context, hotplug_handle);
        hotplug_registered = false;
    }
    hotplug_notice = {callback, opaque};
    if (!callback) {
        return true;
    }
    int r = libusb_hotplug_register_callback(
        context,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        hotplug_event, &hotplug_notice, &hotplug_handle);
    hotplug_registered = r == LIBUSB_SUCCESS;
    return hotplug_registered;
}
