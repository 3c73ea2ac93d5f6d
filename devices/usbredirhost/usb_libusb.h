#pragma once

// The real USB library over libusb-1.0: one context with its own event thread, on which transfer completions
// and hot-plug notices arrive. Devices are named by a unique id derived from their port path, stable while
// they stay in the same port.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "devices/usbredirhost/usb_device.h"

struct libusb_context;

struct UsbDeviceInfo {
    uint32_t unique_id;
    uint32_t parent_id;  // the hub's unique id; 0 for a device on a root port
    uint8_t bus;
    uint8_t address;
    std::vector<uint8_t> port_path;
    uint16_t vendor_id;
    uint16_t product_id;
    uint8_t device_class;
};

// The id of a port path on a bus; never 0.
uint32_t usb_port_path_id(uint8_t bus, const uint8_t* ports, int count);

class UsbContext {
public:
    typedef void (*HotplugCallback)(void* opaque, bool arrived, const UsbDeviceInfo& device);

    // None when libusb cannot start.
    static UsbContext* create();
    ~UsbContext();
    UsbContext(const UsbContext&) = delete;
    UsbContext& operator=(const UsbContext&) = delete;

    std::vector<UsbDeviceInfo> list_devices();
    // Opens the device with this unique id; none when there is no such device or it cannot be opened.
    UsbDevice* open(uint32_t unique_id);
    // Hot-plug notices on the event thread; false when the platform has none.
    bool set_hotplug(HotplugCallback callback, void* opaque);

private:
    explicit UsbContext(libusb_context* context);
    void event_loop();

    libusb_context* context;
    std::atomic<bool> stopping{false};
    std::thread event_thread;
    std::mutex hotplug_lock;
    std::pair<HotplugCallback, void*> hotplug_notice{nullptr, nullptr};  // read on the event thread
    int hotplug_handle = 0;
    bool hotplug_registered = false;
};
