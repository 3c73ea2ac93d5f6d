#pragma once

// The USB library the usbredir host drives: one object per opened device (device and open handle in one),
// with asynchronous transfers whose completion function runs once per submitted transfer, on the library's
// own thread. Numbering of errors, transfer types and statuses follows libusb-1.0. The real back end is
// usb_libusb.h; tests put a scripted device behind this interface.
#include <cstdint>
#include <vector>

enum {
    USB_SUCCESS = 0,
    USB_ERROR_IO = -1,
    USB_ERROR_INVALID_PARAM = -2,
    USB_ERROR_ACCESS = -3,
    USB_ERROR_NO_DEVICE = -4,
    USB_ERROR_NOT_FOUND = -5,
    USB_ERROR_BUSY = -6,
    USB_ERROR_TIMEOUT = -7,
    USB_ERROR_OVERFLOW = -8,
    USB_ERROR_PIPE = -9,
    USB_ERROR_INTERRUPTED = -10,
    USB_ERROR_NO_MEM = -11,
    USB_ERROR_NOT_SUPPORTED = -12,
    USB_ERROR_OTHER = -99,
};

enum {
    USB_TRANSFER_TYPE_CONTROL = 0,
    USB_TRANSFER_TYPE_ISOCHRONOUS = 1,
    USB_TRANSFER_TYPE_BULK = 2,
    USB_TRANSFER_TYPE_INTERRUPT = 3,
    USB_TRANSFER_TYPE_BULK_STREAM = 4,
};

enum {
    USB_TRANSFER_COMPLETED = 0,
    USB_TRANSFER_ERROR = 1,
    USB_TRANSFER_TIMED_OUT = 2,
    USB_TRANSFER_CANCELLED = 3,
    USB_TRANSFER_STALL = 4,
    USB_TRANSFER_NO_DEVICE = 5,
    USB_TRANSFER_OVERFLOW = 6,
};

enum {
    USB_SPEED_UNKNOWN = 0,
    USB_SPEED_LOW = 1,
    USB_SPEED_FULL = 2,
    USB_SPEED_HIGH = 3,
    USB_SPEED_SUPER = 4
};

struct usb_device_descriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};

struct usb_endpoint_descriptor {
    uint8_t bEndpointAddress;
    uint8_t bmAttributes;
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
    bool has_ss_companion;            // a SuperSpeed endpoint companion descriptor follows
    uint8_t ss_companion_attributes;  // its bmAttributes: low 5 bits are the bulk stream exponent
};

struct usb_interface_descriptor {
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    std::vector<usb_endpoint_descriptor> endpoints;
};

// One interface: its alternate settings, in the order the descriptor lists them.
struct usb_interface {
    std::vector<usb_interface_descriptor> altsetting;
};

struct usb_config_descriptor {
    uint8_t bConfigurationValue;
    std::vector<usb_interface> interfaces;
};

struct usb_iso_packet_descriptor {
    uint32_t length;
    uint32_t actual_length;
    int status;
};

class UsbDevice;
struct usb_transfer;
typedef void (*usb_transfer_cb)(usb_transfer* transfer);

struct usb_transfer {
    UsbDevice* device;
    uint8_t endpoint;
    uint8_t type;
    uint32_t timeout;  // ms, 0 none
    int status;
    int length;
    int actual_length;
    usb_transfer_cb callback;
    void* user_data;
    uint8_t* buffer;
    uint32_t stream_id;
    int seq;  // for log lines only
    int num_iso_packets;
    usb_iso_packet_descriptor* iso_packet_desc;
    void* backend;  // the back end's own record while submitted
};

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    virtual int get_device_descriptor(usb_device_descriptor* desc) = 0;
    // An owned descriptor (usb_free_config_descriptor), or USB_ERROR_NOT_FOUND when unconfigured.
    virtual int get_active_config_descriptor(usb_config_descriptor** config) = 0;
    virtual int get_config_descriptor(uint8_t index, usb_config_descriptor** config) = 0;
    virtual int get_device_speed() = 0;
    virtual int claim_interface(int number) = 0;
    virtual int release_interface(int number) = 0;
    virtual int set_configuration(int value) = 0;
    virtual int set_interface_alt_setting(int number, int alt) = 0;
    virtual int reset_device() = 0;
    virtual int clear_halt(uint8_t endpoint) = 0;
    virtual int alloc_streams(uint32_t count, const uint8_t* endpoints, int endpoint_count) = 0;
    virtual int free_streams(const uint8_t* endpoints, int endpoint_count) = 0;
    virtual int submit_transfer(usb_transfer* transfer) = 0;
    virtual int cancel_transfer(usb_transfer* transfer) = 0;
    // Acknowledges a handled completion; the transfer is only a key here and may already be freed.
    virtual void after_completion(const usb_transfer* transfer) {}
};

// Closes the device (the object is deleted).
void usb_close(UsbDevice* device);

usb_transfer* usb_alloc_transfer(int iso_packets);
void usb_free_transfer(usb_transfer* transfer);
void usb_free_config_descriptor(usb_config_descriptor* config);
const char* usb_error_name(int code);

void usb_fill_control_setup(uint8_t* buffer, uint8_t request_type, uint8_t request, uint16_t value,
                            uint16_t index, uint16_t length);
void usb_fill_control_transfer(usb_transfer* transfer, UsbDevice* device, uint8_t* buffer,
                               usb_transfer_cb callback, void* user_data, uint32_t timeout);
void usb_fill_bulk_transfer(usb_transfer* transfer, UsbDevice* device, uint8_t endpoint, uint8_t* buffer,
                            int length, usb_transfer_cb callback, void* user_data, uint32_t timeout);
void usb_fill_bulk_stream_transfer(usb_transfer* transfer, UsbDevice* device, uint8_t endpoint,
                                   uint32_t stream_id, uint8_t* buffer, int length, usb_transfer_cb callback,
                                   void* user_data, uint32_t timeout);
void usb_fill_interrupt_transfer(usb_transfer* transfer, UsbDevice* device, uint8_t endpoint, uint8_t* buffer,
                                 int length, usb_transfer_cb callback, void* user_data, uint32_t timeout);

// Submits and waits (at most timeout_ms, then cancels and waits for the completion) for one transfer; returns
// its status, or the submit error. The transfer's own callback and user data are replaced while it runs.
int usb_submit_transfer_sync(usb_transfer* transfer, uint32_t timeout_ms);
