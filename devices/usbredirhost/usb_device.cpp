#include "devices/usbredirhost/usb_device.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::atomic<int> next_seq{1};

}  // namespace

void usb_close(UsbDevice* device) {
    delete device;
}

usb_transfer* usb_alloc_transfer(int iso_packets) {
    if (iso_packets < 0) {
        return nullptr;
    }
    auto* transfer = static_cast<usb_transfer*>(calloc(1, sizeof(usb_transfer)));
    if (!transfer) {
        return nullptr;
    }
    if (iso_packets) {
        transfer->iso_packet_desc =
            static_cast<usb_iso_packet_descriptor*>(calloc(iso_packets, sizeof(usb_iso_packet_descriptor)));
        if (!transfer->iso_packet_desc) {
            free(transfer);
            return nullptr;
        }
    }
    transfer->num_iso_packets = iso_packets;
    transfer->seq = next_seq++;
    return transfer;
}

void usb_free_transfer(usb_transfer* transfer) {
    if (transfer) {
        free(transfer->iso_packet_desc);
        free(transfer);
    }
}

void usb_free_config_descriptor(usb_config_descriptor* config) {
    delete config;
}

const char* usb_error_name(int code) {
    switch (code) {
        case USB_SUCCESS:
            return "USB_SUCCESS";
        case USB_ERROR_IO:
            return "USB_ERROR_IO";
        case USB_ERROR_INVALID_PARAM:
            return "USB_ERROR_INVALID_PARAM";
        case USB_ERROR_ACCESS:
            return "USB_ERROR_ACCESS";
        case USB_ERROR_NO_DEVICE:
            return "USB_ERROR_NO_DEVICE";
        case USB_ERROR_NOT_FOUND:
            return "USB_ERROR_NOT_FOUND";
        case USB_ERROR_BUSY:
            return "USB_ERROR_BUSY";
        case USB_ERROR_TIMEOUT:
            return "USB_ERROR_TIMEOUT";
        case USB_ERROR_OVERFLOW:
            return "USB_ERROR_OVERFLOW";
        case USB_ERROR_PIPE:
            return "USB_ERROR_PIPE";
        case USB_ERROR_INTERRUPTED:
            return "USB_ERROR_INTERRUPTED";
        case USB_ERROR_NO_MEM:
            return "USB_ERROR_NO_MEM";
        case USB_ERROR_NOT_SUPPORTED:
            return "USB_ERROR_NOT_SUPPORTED";
        default:
            return "USB_ERROR_OTHER";
    }
}

void usb_fill_control_setup(uint8_t* buffer, uint8_t request_type, uint8_t request, uint16_t value,
                            uint16_t index, uint16_t length) {
    buffer[0] = request_type;
    buffer[1] = request;
    buffer[2] = static_cast<uint8_t>(value);
    buffer[3] = static_cast<uint8_t>(value >> 8);
    buffer[4] = static_cast<uint8_t>(index);
    buffer[5] = static_cast<uint8_t>(index >> 8);
    buffer[6] = static_cast<uint8_t>(length);
    buffer[7] = static_cast<uint8_t>(length >> 8);
}

void usb_fill_control_transfer(usb_transfer* transfer, UsbDevice* device, uint8_t* buffer,
                               usb_transfer_cb callback, void* user_data, uint32_t timeout) {
    transfer->device = device;
    transfer->endpoint = 0;
    transfer->type = USB_TRANSFER_TYPE_CONTROL;
    transfer->timeout = timeout;
    transfer->buffer = buffer;
    transfer->length = buffer ? 8 + (buffer[6] | (buffer[7] << 8)) : 0;
    transfer->user_data = user_data;
    transfer->callback = callback;
}

void usb_fill_bulk_transfer(usb_transfer* transfer, UsbDevice* device, uint8_t endpoint, uint8_t* buffer,
                            int length, usb_transfer_cb callback, void* user_data, uint32_t timeout) {
    transfer->device = device;
    transfer->endpoint = endpoint;
    transfer->type = USB_TRANSFER_TYPE_BULK;
    transfer->timeout = timeout;
    transfer->buffer = buffer;
    transfer->length = length;
    transfer->user_data = user_data;
    transfer->callback = callback;
}

void usb_fill_bulk_stream_transfer(usb_transfer* transfer, UsbDevice* device, uint8_t endpoint,
                                   uint32_t stream_id, uint8_t* buffer, int length, usb_transfer_cb callback,
                                   void* user_data, uint32_t timeout) {
    usb_fill_bulk_transfer(transfer, device, endpoint, buffer, length, callback, user_data, timeout);
    transfer->type = USB_TRANSFER_TYPE_BULK_STREAM;
    transfer->stream_id = stream_id;
}

void usb_fill_interrupt_transfer(usb_transfer* transfer, UsbDevice* device, uint8_t endpoint, uint8_t* buffer,
                                 int length, usb_transfer_cb callback, void* user_data, uint32_t timeout) {
    usb_fill_bulk_transfer(transfer, device, endpoint, buffer, length, callback, user_data, timeout);
    transfer->type = USB_TRANSFER_TYPE_INTERRUPT;
}

namespace {

struct SyncWait {
    std::mutex lock;
    std::condition_variable done_cond;
    bool done = false;
};

void sync_done(usb_transfer* transfer) {
    auto* wait = static_cast<SyncWait*>(transfer->user_data);
    std::lock_guard<std::mutex> guard(wait->lock);
    wait->done = true;
    wait->done_cond.notify_all();
}

}  // namespace

int usb_submit_transfer_sync(usb_transfer* transfer, uint32_t timeout_ms) {
    SyncWait wait;
    usb_transfer_cb callback = transfer->callback;
    void* user_data = transfer->user_data;
    transfer->callback = sync_done;
    transfer->user_data = &wait;
    int r = transfer->device->submit_transfer(transfer);
    if (r == USB_SUCCESS) {
        std::unique_lock<std::mutex> guard(wait.lock);
        if (!wait.done_cond.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                     [&] { return wait.done; })) {
            guard.unlock();
            transfer->device->cancel_transfer(transfer);
            guard.lock();
            // A cancelled transfer still completes once; the library guarantees it.
            wait.done_cond.wait(guard, [&] { return wait.done; });
        }
        r = transfer->status;
    }
    transfer->callback = callback;
    transfer->user_data = user_data;
    return r;
}
