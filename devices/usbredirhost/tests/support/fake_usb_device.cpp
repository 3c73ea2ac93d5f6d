#include "support/fake_usb_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>

FakeUsbScript::~FakeUsbScript() {
    for (auto& t : threads) {
        t.join();
    }
}

size_t FakeUsbScript::count(const std::string& call) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return std::count(calls.begin(), calls.end(), call);
}

usb_transfer* FakeUsbScript::first_submitted(uint8_t endpoint) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    for (usb_transfer* t : submitted) {
        if (t->endpoint == endpoint) {
            return t;
        }
    }
    return nullptr;
}

void FakeUsbScript::complete(usb_transfer* transfer, int status, const std::vector<uint8_t>& in_data,
                             int out_length) {
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        submitted.erase(std::remove(submitted.begin(), submitted.end(), transfer), submitted.end());
        cancelled.erase(std::remove(cancelled.begin(), cancelled.end(), transfer), cancelled.end());
    }
    const size_t offset = transfer->type == USB_TRANSFER_TYPE_CONTROL ? 8 : 0;
    const size_t room = transfer->length > static_cast<int>(offset) ? transfer->length - offset : 0;
    const size_t n = std::min(room, in_data.size());
    if (n) {
        memcpy(transfer->buffer + offset, in_data.data(), n);
    }
    transfer->status = status;
    transfer->actual_length = out_length >= 0 ? out_length : static_cast<int>(n);
    transfer->callback(transfer);
}

void FakeUsbScript::finish_cancelled() {
    std::vector<usb_transfer*> list;
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        list = cancelled;
    }
    for (usb_transfer* t : list) {
        complete(t, USB_TRANSFER_CANCELLED);
    }
}

FakeUsbDevice::~FakeUsbDevice() {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    s->closed = true;
    s->in_flight_at_close = s->submitted.size() + s->cancelled.size();
    s->calls.push_back("close");
}

int FakeUsbDevice::get_device_descriptor(usb_device_descriptor* desc) {
    *desc = s->desc;
    return 0;
}

int FakeUsbDevice::get_active_config_descriptor(usb_config_descriptor** config) {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    if (!s->configured) {
        return USB_ERROR_NOT_FOUND;
    }
    *config = new usb_config_descriptor(s->config);
    return 0;
}

int FakeUsbDevice::get_config_descriptor(uint8_t index, usb_config_descriptor** config) {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    if (index >= s->configs.size()) {
        return USB_ERROR_NOT_FOUND;
    }
    *config = new usb_config_descriptor(s->configs[index]);
    return 0;
}

int FakeUsbDevice::get_device_speed() {
    return s->speed;
}

int FakeUsbDevice::claim_interface(int number) {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    s->calls.push_back("claim " + std::to_string(number));
    return s->claim_result;
}

int FakeUsbDevice::release_interface(int number) {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    s->calls.push_back("release " + std::to_string(number));
    return 0;
}

int FakeUsbDevice::set_configuration(int value) {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    s->calls.push_back("set_configuration " + std::to_string(value));
    if (s->set_configuration_result == 0) {
        s->config.bConfigurationValue = static_cast<uint8_t>(value);
    }
    return s->set_configuration_result;
}

int FakeUsbDevice::set_interface_alt_setting(int number, int alt) {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    s->calls.push_back("set_alt " + std::to_string(number) + " " + std::to_string(alt));
    return s->set_alt_result;
}

int FakeUsbDevice::reset_device() {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    s->calls.push_back("reset");
    return s->reset_result;
}

int FakeUsbDevice::clear_halt(uint8_t endpoint) {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    char text[32];
    snprintf(text, sizeof(text), "clear_halt %02x", endpoint);
    s->calls.push_back(text);
    return s->clear_halt_result;
}

int FakeUsbDevice::alloc_streams(uint32_t count, const uint8_t* endpoints, int endpoint_count) {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    s->stream_endpoints.assign(endpoints, endpoints + endpoint_count);
    return s->streams_result < 0 ? static_cast<int>(count) : s->streams_result;
}

int FakeUsbDevice::free_streams(const uint8_t* endpoints, int endpoint_count) {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    s->stream_endpoints.assign(endpoints, endpoints + endpoint_count);
    return 0;
}

int FakeUsbDevice::submit_transfer(usb_transfer* transfer) {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    if (s->submit_result) {
        return s->submit_result;
    }
    s->submitted.push_back(transfer);
    return 0;
}

int FakeUsbDevice::cancel_transfer(usb_transfer* transfer) {
    std::lock_guard<std::recursive_mutex> guard(s->lock);
    if (std::find(s->submitted.begin(), s->submitted.end(), transfer) == s->submitted.end()) {
        return USB_ERROR_NOT_FOUND;
    }
    s->submitted.erase(std::remove(s->submitted.begin(), s->submitted.end(), transfer), s->submitted.end());
    s->cancelled.push_back(transfer);
    s->calls.push_back("cancel");
    if (s->cancel_async) {
        // As the library does: the completion comes later, on another thread.
        FakeUsbScript* script = s.get();
        s->threads.emplace_back([script, transfer] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            script->complete(transfer, USB_TRANSFER_CANCELLED);
        });
    }
    return 0;
}
