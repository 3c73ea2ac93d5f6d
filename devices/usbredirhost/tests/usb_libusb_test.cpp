#include <gtest/gtest.h>

#include <set>

#include "devices/usbredirhost/usb_libusb.h"
#include "support/fake_usb_device.h"

namespace {

TEST(UsbLibusb, PortPathIds) {
    const uint8_t a[] = {1, 4, 2};
    const uint8_t b[] = {1, 4, 3};
    const uint8_t c[] = {2, 4, 2};
    std::set<uint32_t> ids = {usb_port_path_id(1, a, 3), usb_port_path_id(1, b, 3),
                              usb_port_path_id(1, c, 3), usb_port_path_id(2, a, 3),
                              usb_port_path_id(1, a, 2), usb_port_path_id(1, a, 0)};
    EXPECT_EQ(ids.size(), 6u);
    EXPECT_EQ(ids.count(0), 0u);
    EXPECT_EQ(usb_port_path_id(1, a, 3), usb_port_path_id(1, a, 3));
}

// The real back end without devices: it starts, lists what there is, refuses an unknown id and stops its
// event thread.
TEST(UsbLibusb, ContextWithoutDevices) {
    std::unique_ptr<UsbContext> context(UsbContext::create());
    ASSERT_NE(context, nullptr);
    for (const UsbDeviceInfo& info : context->list_devices()) {
        EXPECT_NE(info.unique_id, 0u);
        EXPECT_EQ(info.unique_id,
                  usb_port_path_id(info.bus, info.port_path.data(), int(info.port_path.size())));
    }
    EXPECT_EQ(context->open(0), nullptr);
    // Hot-plug may be missing where there is no device manager; registering and removing must not fail either
    // way.
    bool hotplug = context->set_hotplug([](void*, bool, const UsbDeviceInfo&) {}, nullptr);
    EXPECT_EQ(hotplug, context->set_hotplug([](void*, bool, const UsbDeviceInfo&) {}, nullptr));
    context->set_hotplug(nullptr, nullptr);
}

// A synchronous submit returns the transfer's status, and one that does not finish in time is cancelled.
TEST(UsbLibusb, SynchronousSubmit) {
    auto script = std::make_shared<FakeUsbScript>();
    script->cancel_async = true;
    FakeUsbDevice device(script);
    usb_transfer* t = usb_alloc_transfer(0);
    uint8_t buffer[8];
    usb_fill_bulk_transfer(t, &device, 0x81, buffer, 8, nullptr, nullptr, 0);
    EXPECT_EQ(usb_submit_transfer_sync(t, 50), USB_TRANSFER_CANCELLED);
    EXPECT_EQ(script->count("cancel"), 1u);
    std::thread finisher([&] {
        while (!script->first_submitted(0x81)) {
            std::this_thread::yield();
        }
        script->complete(script->first_submitted(0x81), USB_TRANSFER_COMPLETED, {1, 2});
    });
    EXPECT_EQ(usb_submit_transfer_sync(t, 10000), USB_TRANSFER_COMPLETED);
    finisher.join();
    EXPECT_EQ(t->actual_length, 2);
    script->submit_result = USB_ERROR_NO_DEVICE;
    EXPECT_EQ(usb_submit_transfer_sync(t, 50), USB_ERROR_NO_DEVICE);
    usb_free_transfer(t);
}

}  // namespace
