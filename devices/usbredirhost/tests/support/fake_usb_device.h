#pragma once

// A scripted USB device for the host's tests. Its state lives in a FakeUsbScript the test keeps, so it can be
// looked at after the host has closed the device. Submitted transfers wait until the test completes them;
// cancelled ones complete when the test says so, or by themselves on a thread of their own (cancel_async).
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/usbredirhost/usb_device.h"

struct FakeUsbScript {
    std::recursive_mutex lock;
    usb_device_descriptor desc{};
    bool configured = true;
    usb_config_descriptor config{};
    std::vector<usb_config_descriptor> configs;  // by index, for get_config_descriptor
    int speed = USB_SPEED_HIGH;
    std::vector<std::string> calls;
    int reset_result = 0;
    int claim_result = 0;
    int set_configuration_result = 0;
    int set_alt_result = 0;
    int clear_halt_result = 0;
    int submit_result = 0;
    int streams_result = -1;  // -1: as many as asked
    std::vector<uint8_t> stream_endpoints;
    std::vector<usb_transfer*> submitted;  // not yet completed
    std::vector<usb_transfer*> cancelled;  // cancel asked, completion not yet delivered
    bool cancel_async = false;
    std::vector<std::thread> threads;
    bool closed = false;
    size_t in_flight_at_close = 0;

    ~FakeUsbScript();
    size_t count(const std::string& call);
    // Completes a submitted transfer: IN data copied into its buffer (behind the setup for control).
    void complete(usb_transfer* transfer, int status, const std::vector<uint8_t>& in_data = {},
                  int out_length = -1);
    // Delivers the completions of every cancelled transfer.
    void finish_cancelled();
    usb_transfer* first_submitted(uint8_t endpoint);
};

class FakeUsbDevice : public UsbDevice {
public:
    explicit FakeUsbDevice(std::shared_ptr<FakeUsbScript> script) : s(std::move(script)) {}
    ~FakeUsbDevice() override;

    int get_device_descriptor(usb_device_descriptor* desc) override;
    int get_active_config_descriptor(usb_config_descriptor** config) override;
    int get_config_descriptor(uint8_t index, usb_config_descriptor** config) override;
    int get_device_speed() override;
    int claim_interface(int number) override;
    int release_interface(int number) override;
    int set_configuration(int value) override;
    int set_interface_alt_setting(int number, int alt) override;
    int reset_device() override;
    int clear_halt(uint8_t endpoint) override;
    int alloc_streams(uint32_t count, const uint8_t* endpoints, int endpoint_count) override;
    int free_streams(const uint8_t* endpoints, int endpoint_count) override;
    int submit_transfer(usb_transfer* transfer) override;
    int cancel_transfer(usb_transfer* transfer) override;

private:
    std::shared_ptr<FakeUsbScript> s;
};
