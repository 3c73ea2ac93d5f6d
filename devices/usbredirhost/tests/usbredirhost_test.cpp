#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "devices/usbredirhost/usbredirhost.h"
#include "support/host_harness.h"

namespace {

template <typename H>
H as(const ReceivedPacket& p) {
    H h;
    memset(&h, 0, sizeof(h));
    memcpy(&h, p.header.data(), std::min(sizeof(h), p.header.size()));
    return h;
}

std::vector<uint32_t> types(const std::vector<ReceivedPacket>& packets) {
    std::vector<uint32_t> out;
    for (const auto& p : packets) {
        out.push_back(p.type);
    }
    return out;
}

// A USB rules block with one entry.
std::vector<uint8_t> rules_block(const char* prefix, uint32_t value) {
    std::vector<uint8_t> block(8 + 524, 0);
    block[4] = 1;
    memcpy(&block[8], prefix, strlen(prefix));
    memcpy(&block[8 + 520], &value, 4);
    return block;
}

struct RulesReset {
    ~RulesReset() { usbredirhost_set_usb_rules(nullptr, 0); }
};

TEST(UsbRedirHost, AnnouncesTheDeviceOnlyAfterTheServersHello) {
    auto dev = make_test_device();
    HostHarness h(0xFF, false);
    h.scripts.push_back(dev);
    EXPECT_EQ(usbredirhost_set_device(h.host, new FakeUsbDevice(dev)), usb_redir_success);
    h.server.read_all();
    EXPECT_EQ(h.server.hellos, 1);
    EXPECT_TRUE(h.take().empty());
    EXPECT_TRUE(h.host->connect_pending);
    h.pump();
    auto packets = h.take();
    ASSERT_EQ(types(packets),
              (std::vector<uint32_t>{usb_redir_interface_info, usb_redir_ep_info, usb_redir_device_connect}));
    auto info = as<usb_redir_interface_info_header>(packets[0]);
    EXPECT_EQ(info.interface_count, 2u);
    EXPECT_EQ(info.interface_class[1], 8);
    auto ep = as<usb_redir_ep_info_header>(packets[1]);
    EXPECT_EQ(ep.type[0], usb_redir_type_control);
    EXPECT_EQ(ep.type[17], usb_redir_type_interrupt);  // 0x81
    EXPECT_EQ(ep.max_packet_size[18], 512);            // 0x82
    EXPECT_EQ(ep.type[2], usb_redir_type_bulk);        // 0x02
    EXPECT_EQ(ep.type[19], usb_redir_type_invalid);    // 0x83 is in setting 2 only
    auto connect = as<usb_redir_device_connect_header>(packets[2]);
    EXPECT_EQ(connect.speed, usb_redir_speed_high);
    EXPECT_EQ(connect.vendor_id, 0x1234);
    EXPECT_EQ(connect.product_id, 0xABCD);
    EXPECT_EQ(connect.device_version_bcd, 0x0123);
    EXPECT_EQ(dev->count("claim 0"), 1u);
    EXPECT_EQ(dev->count("claim 1"), 1u);
}

// Quirk words from the USB rules, matched by device identifier: when the device is reset.
TEST(UsbRedirHost, QuirksDecideTheResets) {
    RulesReset cleanup;
    struct Case {
        const char* prefix;
        uint32_t quirk;
        size_t at_attach, on_request, on_release;
    } cases[] = {
        {"1234:ABCD", 0x1, 0, 0, 0}, {"1234:abcd", 0x3, 1, 0, 0},  {"1234", 0x4, 0, 1, 1},
        {"", 0x1, 0, 0, 0},          {"1234:abcd0", 0x1, 1, 1, 1}, {"4321", 0x1, 1, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.prefix << " quirk " << c.quirk);
        auto block = rules_block(c.prefix, c.quirk);
        usbredirhost_set_usb_rules(block.data(), block.size());
        auto dev = make_test_device();
        HostHarness h;
        h.attach(dev);
        EXPECT_EQ(dev->count("reset"), c.at_attach);
        h.send(usb_redir_set_configuration, 1,
               std::vector<uint8_t>{1}.data());  // uses the device: clears "reset"
        h.host->reset = false;
        h.send(usb_redir_reset, 0, nullptr);
        EXPECT_EQ(dev->count("reset"), c.at_attach + c.on_request);
        usbredirhost_set_device(h.host, nullptr);
        EXPECT_EQ(dev->count("reset"), c.at_attach + c.on_request + c.on_release);
        EXPECT_TRUE(dev->closed);
    }
    // A truncated block gives only the entries it holds.
    auto block = rules_block("1234", 0x1);
    block[4] = 200;
    usbredirhost_set_usb_rules(block.data(), block.size());
    auto dev = make_test_device();
    HostHarness h;
    h.attach(dev);
    EXPECT_EQ(dev->count("reset"), 0u);
}

TEST(UsbRedirHost, ControlTransfers) {
    auto dev = make_test_device();
    HostHarness h;
    h.attach(dev);
    h.take();

    // IN: the reply carries the data and the request's id.
    usb_redir_control_packet_header in{0x80, 6, 0x80, 0x5a, 0x0100, 0, 18};
    h.send(usb_redir_control_packet, 0x1122334455ull, &in);
    usb_transfer* t = dev->first_submitted(0x80);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(t->buffer, t->buffer + 8),
              (std::vector<uint8_t>{0x80, 6, 0, 1, 0, 0, 18, 0}));
    EXPECT_EQ(t->timeout, 5000u);
    dev->complete(t, USB_TRANSFER_COMPLETED, {18, 1, 0, 2, 0, 0, 0, 64, 0x34, 0x12});
    EXPECT_TRUE(h.take().empty());  // nothing until the worker runs the completion
    h.run_completions();
    auto packets = h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].id, 0x1122334455ull);
    EXPECT_EQ(as<usb_redir_control_packet_header>(packets[0]).length, 10);
    EXPECT_EQ(as<usb_redir_control_packet_header>(packets[0]).status, usb_redir_success);
    EXPECT_EQ(packets[0].data.size(), 10u);

    // OUT: the data follows the setup; the reply has none.
    usb_redir_control_packet_header out{0x00, 9, 0x21, 0, 0x0200, 0, 3};
    h.send(usb_redir_control_packet, 7, &out, {1, 2, 3});
    t = dev->first_submitted(0x00);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(t->buffer + 8, t->buffer + 11), (std::vector<uint8_t>{1, 2, 3}));
    dev->complete(t, USB_TRANSFER_STALL, {}, 0);
    h.run_completions();
    packets = h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(as<usb_redir_control_packet_header>(packets[0]).status, usb_redir_stall);
    EXPECT_TRUE(packets[0].data.empty());

    // CLEAR_FEATURE(ENDPOINT_HALT) goes to clear_halt, answered at once.
    usb_redir_control_packet_header clear{0x00, 1, 2, 0, 0, 0x81, 0};
    h.send(usb_redir_control_packet, 8, &clear);
    EXPECT_EQ(dev->count("clear_halt 81"), 1u);
    packets = h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(as<usb_redir_control_packet_header>(packets[0]).status, usb_redir_success);

    // Not a control endpoint.
    usb_redir_control_packet_header wrong{0x81, 6, 0x80, 0, 0x0100, 0, 8};
    h.send(usb_redir_control_packet, 9, &wrong);
    packets = h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(as<usb_redir_control_packet_header>(packets[0]).status, usb_redir_inval);

    // A submit that fails is answered through the completion path.
    dev->submit_result = USB_ERROR_IO;
    h.send(usb_redir_control_packet, 10, &in);
    h.run_completions();
    packets = h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].id, 10u);
    EXPECT_EQ(as<usb_redir_control_packet_header>(packets[0]).status, usb_redir_ioerror);
    EXPECT_EQ(h.host->in_flight, 0);
}

// Only the device descriptor of a USB 3 device is rewritten, and only inside the bytes it returned.
TEST(UsbRedirHost, Usb3DescriptorRewrite) {
    struct Case {
        const char* what;
        uint8_t request, requesttype;
        uint16_t value, bcd;
        size_t returned;
        bool rewritten;
    } cases[] = {
        {"3.2 device descriptor", 6, 0x80, 0x0100, 0x0320, 18, true},
        {"3.0 first 8 bytes", 6, 0x80, 0x0100, 0x0300, 8, true},
        {"3.1 device descriptor", 6, 0x80, 0x0100, 0x0310, 18, true},
        {"2.1 device", 6, 0x80, 0x0100, 0x0210, 18, false},
        {"config descriptor", 6, 0x80, 0x0200, 0x0320, 18, false},
        {"vendor request with value 0x0100", 1, 0xC0, 0x0100, 0x0320, 18, false},
        {"class request with value 0x0100", 6, 0xA1, 0x0100, 0x0320, 18, false},
        {"short reply", 6, 0x80, 0x0100, 0x0320, 6, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto dev = make_test_device();
        HostHarness h;
        h.attach(dev);
        h.take();
        usb_redir_control_packet_header in{0x80, c.request, c.requesttype, 0, c.value, 0, 18};
        h.send(usb_redir_control_packet, 1, &in);
        std::vector<uint8_t> reply = {
            18, 1, uint8_t(c.bcd), uint8_t(c.bcd >> 8), 0, 0, 0, 9, 0x34, 0x12, 0xcd, 0xab, 0, 0, 0, 0, 0, 1};
        reply.resize(c.returned);
        dev->complete(dev->first_submitted(0x80), USB_TRANSFER_COMPLETED, reply);
        h.run_completions();
        auto packets = h.take();
        ASSERT_EQ(packets.size(), 1u);
        std::vector<uint8_t> expected = reply;
        if (c.rewritten) {
            expected[2] = 0x10;
            expected[3] = 0x02;
            expected[7] = 64;
        }
        EXPECT_EQ(packets[0].data, expected);
    }
}

TEST(UsbRedirHost, BulkAndInterruptTransfers) {
    auto dev = make_test_device();
    HostHarness h;
    h.attach(dev);
    h.take();

    // Bulk IN of more than 64 KiB: length_high carries the rest.
    usb_redir_bulk_packet_header in{0x82, 0, 0x0000, 0, 0x0002};
    h.send(usb_redir_bulk_packet, 3, &in);
    usb_transfer* t = dev->first_submitted(0x82);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->length, 0x20000);
    EXPECT_EQ(t->type, USB_TRANSFER_TYPE_BULK);
    dev->complete(t, USB_TRANSFER_COMPLETED, std::vector<uint8_t>(0x10005, 0xAB));
    h.run_completions();
    auto packets = h.take();
    ASSERT_EQ(packets.size(), 1u);
    auto reply = as<usb_redir_bulk_packet_header>(packets[0]);
    EXPECT_EQ(reply.length, 5);
    EXPECT_EQ(reply.length_high, 1);
    EXPECT_EQ(packets[0].data.size(), 0x10005u);

    // Bulk OUT on a stream: a stream transfer; the reply has no data.
    usb_redir_bulk_packet_header out{0x02, 0, 4, 7, 0};
    h.send(usb_redir_bulk_packet, 4, &out, {1, 2, 3, 4});
    t = dev->first_submitted(0x02);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->type, USB_TRANSFER_TYPE_BULK_STREAM);
    EXPECT_EQ(t->stream_id, 7u);
    dev->complete(t, USB_TRANSFER_COMPLETED, {}, 4);
    h.run_completions();
    packets = h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(as<usb_redir_bulk_packet_header>(packets[0]).length, 4);
    EXPECT_TRUE(packets[0].data.empty());

    // Bulk on an interrupt endpoint; interrupt OUT larger than the endpoint's packet; interrupt on bulk.
    usb_redir_bulk_packet_header wrong{0x81, 0, 8, 0, 0};
    h.send(usb_redir_bulk_packet, 5, &wrong);
    usb_redir_interrupt_packet_header big{0x02, 0, 600};
    h.send(usb_redir_interrupt_packet, 6, &big, std::vector<uint8_t>(600, 1));
    packets = h.take();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(as<usb_redir_bulk_packet_header>(packets[0]).status, usb_redir_inval);
    EXPECT_EQ(as<usb_redir_interrupt_packet_header>(packets[1]).status, usb_redir_inval);
    EXPECT_TRUE(dev->submitted.empty());
}

// Requests the server leaves in flight hold at most a bounded amount of memory; past it they fail at once,
// and completions give the room back.
TEST(UsbRedirHost, RequestMemoryIsBounded) {
    auto dev = make_test_device();
    HostHarness h;
    h.attach(dev);
    h.take();
    usb_redir_bulk_packet_header big{0x82, 0, 0, 0, 0x0800};  // 128 MiB
    for (uint64_t id = 1; id <= 5; ++id) {
        h.send(usb_redir_bulk_packet, id, &big);
    }
    EXPECT_EQ(dev->submitted.size(), 4u);
    auto packets = h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].id, 5u);
    EXPECT_EQ(as<usb_redir_bulk_packet_header>(packets[0]).status, usb_redir_ioerror);
    usb_redir_control_packet_header in{0x80, 6, 0x80, 0, 0x0100, 0, 18};
    h.send(usb_redir_control_packet, 6, &in);
    EXPECT_EQ(as<usb_redir_control_packet_header>(h.take().at(0)).status, usb_redir_ioerror);

    dev->complete(dev->submitted[0], USB_TRANSFER_COMPLETED, {1});
    h.run_completions();
    h.take();
    h.send(usb_redir_control_packet, 7, &in);
    EXPECT_EQ(dev->submitted.size(), 4u);
    EXPECT_TRUE(h.take().empty());
}

TEST(UsbRedirHost, RequestsWhileNoDeviceAnswerIoError) {
    HostHarness h;
    h.take();
    usb_redir_control_packet_header c{0x80, 6, 0x80, 0, 0x0100, 0, 8};
    h.send(usb_redir_control_packet, 1, &c);
    usb_redir_bulk_packet_header b{0x82, 0, 8, 0, 0};
    h.send(usb_redir_bulk_packet, 2, &b);
    h.send(usb_redir_get_configuration, 3, nullptr);
    usb_redir_get_alt_setting_header g{0};
    h.send(usb_redir_get_alt_setting, 4, &g);
    auto packets = h.take();
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(as<usb_redir_control_packet_header>(packets[0]).status, usb_redir_ioerror);
    EXPECT_EQ(as<usb_redir_bulk_packet_header>(packets[1]).status, usb_redir_ioerror);
    EXPECT_EQ(as<usb_redir_configuration_status_header>(packets[2]).status, usb_redir_ioerror);
    EXPECT_EQ(as<usb_redir_alt_setting_status_header>(packets[3]).alt, 255);
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].id, i + 1);
    }
}

TEST(UsbRedirHost, CancelAnswersAtOnceAndDropsTheLateCompletion) {
    auto dev = make_test_device();
    HostHarness h;
    h.attach(dev);
    h.take();
    usb_redir_bulk_packet_header in{0x82, 0, 512, 0, 0};
    h.send(usb_redir_bulk_packet, 11, &in);
    h.send(usb_redir_cancel_data_packet, 11, nullptr);
    auto packets = h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].id, 11u);
    EXPECT_EQ(as<usb_redir_bulk_packet_header>(packets[0]).status, usb_redir_cancelled);
    EXPECT_EQ(h.host->cancels_pending, 1);
    // Again, and for an id nobody knows: nothing.
    h.send(usb_redir_cancel_data_packet, 11, nullptr);
    h.send(usb_redir_cancel_data_packet, 99, nullptr);
    EXPECT_TRUE(h.take().empty());
    EXPECT_EQ(dev->count("cancel"), 1u);
    // The real completion is dropped, and no cancellation is left pending.
    dev->finish_cancelled();
    h.run_completions();
    EXPECT_TRUE(h.take().empty());
    EXPECT_EQ(h.host->cancels_pending, 0);
    EXPECT_EQ(h.host->transfers_head.next, nullptr);
    // A cancel after the completion does nothing either.
    h.send(usb_redir_bulk_packet, 12, &in);
    dev->complete(dev->first_submitted(0x82), USB_TRANSFER_COMPLETED, {1});
    h.run_completions();
    h.send(usb_redir_cancel_data_packet, 12, nullptr);
    packets = h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(as<usb_redir_bulk_packet_header>(packets[0]).status, usb_redir_success);
}

// Detaching with transfers in flight waits for their completions before the device is closed and the host can
// go; the completions arrive on the library's thread while the detach waits.
TEST(UsbRedirHost, DetachWaitsForTransfersInFlight) {
    auto dev = make_test_device();
    dev->cancel_async = true;
    auto h = std::make_unique<HostHarness>();
    h->immediate_completions = true;
    h->attach(dev);
    usb_redir_bulk_packet_header in{0x82, 0, 512, 0, 0};
    usb_redir_control_packet_header c{0x80, 6, 0x80, 0, 0x0100, 0, 18};
    usb_redir_start_interrupt_receiving_header irq{0x81};
    h->send(usb_redir_bulk_packet, 1, &in);
    h->send(usb_redir_control_packet, 2, &c);
    h->send(usb_redir_start_interrupt_receiving, 3, &irq);
    EXPECT_EQ(dev->submitted.size(), 7u);
    EXPECT_EQ(usbredirhost_set_device(h->host, nullptr), usb_redir_success);
    EXPECT_TRUE(dev->closed);
    EXPECT_EQ(dev->in_flight_at_close, 0u);
    EXPECT_EQ(h->host->in_flight, 0);
    EXPECT_EQ(h->host->stream_bytes, 0u);
    h.reset();  // frees the host; ASan reports any completion that reaches it later
    for (auto& t : dev->threads) {
        t.join();
    }
    dev->threads.clear();
}

TEST(UsbRedirHost, DeviceLossAndDisconnectAck) {
    // Without the ack capability the next device is announced at once.
    {
        auto first = make_test_device();
        auto second = make_test_device();
        HostHarness h(0xFF & ~0x08u);
        h.attach(first);
        h.take();
        h.attach(second);
        EXPECT_EQ(types(h.take()),
                  (std::vector<uint32_t>{usb_redir_device_disconnect, usb_redir_interface_info,
                                         usb_redir_ep_info, usb_redir_device_connect}));
    }
    // With it, only after the ack (which the server-side parser sends when it reads the disconnect).
    auto first = make_test_device();
    auto second = make_test_device();
    HostHarness h;
    h.attach(first);
    h.take();
    usbredirhost_set_device(h.host, new FakeUsbDevice(second));
    h.scripts.push_back(second);
    EXPECT_TRUE(h.host->wait_disconnect);
    EXPECT_TRUE(h.host->connect_pending);
    h.pump();
    EXPECT_FALSE(h.host->wait_disconnect);
    EXPECT_EQ(types(h.take()), (std::vector<uint32_t>{usb_redir_device_disconnect, usb_redir_interface_info,
                                                      usb_redir_ep_info, usb_redir_device_connect}));
    // A transfer that finds the device gone: ioerror reply, then the disconnect.
    usb_redir_bulk_packet_header in{0x82, 0, 8, 0, 0};
    h.send(usb_redir_bulk_packet, 5, &in);
    second->complete(second->first_submitted(0x82), USB_TRANSFER_NO_DEVICE);
    h.run_completions();
    auto packets = h.take();
    ASSERT_EQ(types(packets), (std::vector<uint32_t>{usb_redir_device_disconnect, usb_redir_bulk_packet}));
    EXPECT_EQ(as<usb_redir_bulk_packet_header>(packets[1]).status, usb_redir_ioerror);
}

TEST(UsbRedirHost, FilterRejectEndsTheNextRead) {
    auto dev = make_test_device();
    HostHarness h;
    h.attach(dev);
    usbredirparser_queue(h.server.parser, usb_redir_filter_reject, 0, nullptr, nullptr, 0);
    usbredirparser_queue(h.server.parser, usb_redir_get_configuration, 1, nullptr, nullptr, 0);
    EXPECT_EQ(h.pump(), usbredirhost_read_device_rejected);
    // The rules of a filter are kept.
    const char text[] = "0x03,-1,-1,-1,0|-1,-1,-1,-1,1";
    h.send(usb_redir_filter_filter, 0, nullptr, std::vector<uint8_t>(text, text + sizeof(text)));
    EXPECT_EQ(h.host->filter_rules_count, 2);
}

TEST(UsbRedirHost, Configuration) {
    auto dev = make_test_device();
    HostHarness h;
    h.attach(dev);
    h.take();
    size_t calls = dev->calls.size();
    usb_redir_set_configuration_header same{1};
    h.send(usb_redir_set_configuration, 5, &same);
    EXPECT_EQ(dev->calls.size(), calls);
    auto packets = h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(as<usb_redir_configuration_status_header>(packets[0]).configuration, 1);

    usb_redir_set_configuration_header other{2};
    h.send(usb_redir_set_configuration, 6, &other);
    EXPECT_EQ(dev->count("set_configuration 2"), 1u);
    EXPECT_EQ(dev->count("release 0"), 1u);
    EXPECT_EQ(dev->count("claim 0"), 2u);
    packets = h.take();
    ASSERT_EQ(types(packets), (std::vector<uint32_t>{usb_redir_interface_info, usb_redir_ep_info,
                                                     usb_redir_configuration_status}));
    EXPECT_EQ(packets[2].id, 6u);
    EXPECT_EQ(as<usb_redir_configuration_status_header>(packets[2]).configuration, 2);
    // Release restores the configuration the device had.
    usbredirhost_set_device(h.host, nullptr);
    EXPECT_EQ(dev->count("set_configuration 1"), 1u);
}

// Alternate settings are found by their number, wherever the descriptor lists them.
TEST(UsbRedirHost, AlternateSettings) {
    auto dev = make_test_device();
    HostHarness h;
    h.attach(dev);
    h.take();
    usb_redir_set_alt_setting_header set{1, 2};
    h.send(usb_redir_set_alt_setting, 7, &set);
    EXPECT_EQ(dev->count("set_alt 1 2"), 1u);
    auto packets = h.take();
    ASSERT_EQ(types(packets), (std::vector<uint32_t>{usb_redir_interface_info, usb_redir_ep_info,
                                                     usb_redir_alt_setting_status}));
    auto ep = as<usb_redir_ep_info_header>(packets[1]);
    EXPECT_EQ(ep.type[19], usb_redir_type_interrupt);  // 0x83 of setting 2
    EXPECT_EQ(ep.max_packet_size[19], 16);
    EXPECT_EQ(ep.type[18], usb_redir_type_invalid);    // 0x82 of setting 0 is gone
    EXPECT_EQ(ep.type[17], usb_redir_type_interrupt);  // interface 0 untouched
    auto status = as<usb_redir_alt_setting_status_header>(packets[2]);
    EXPECT_EQ(status.status, usb_redir_success);
    EXPECT_EQ(status.alt, 2);

    usb_redir_get_alt_setting_header get{1};
    h.send(usb_redir_get_alt_setting, 8, &get);
    usb_redir_get_alt_setting_header none{9};
    h.send(usb_redir_get_alt_setting, 9, &none);
    packets = h.take();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(as<usb_redir_alt_setting_status_header>(packets[0]).alt, 2);
    EXPECT_EQ(as<usb_redir_alt_setting_status_header>(packets[1]).status, usb_redir_inval);
    EXPECT_EQ(as<usb_redir_alt_setting_status_header>(packets[1]).alt, 255);

    // A setting the descriptor does not have: the device refuses, the stored one stays.
    dev->set_alt_result = USB_ERROR_NOT_FOUND;
    usb_redir_set_alt_setting_header bad{1, 5};
    h.send(usb_redir_set_alt_setting, 10, &bad);
    packets = h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(as<usb_redir_alt_setting_status_header>(packets[0]).alt, 2);
}

}  // namespace
