#include <gtest/gtest.h>

#include <cstring>

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

struct StreamHost {
    StreamHost() : dev(make_test_device()) {
        h.attach(dev);
        h.take();
    }
    size_t submitted(uint8_t ep) {
        size_t n = 0;
        for (usb_transfer* t : dev->submitted) {
            n += t->endpoint == ep;
        }
        return n;
    }
    std::shared_ptr<FakeUsbScript> dev;
    HostHarness h;
};

TEST(UsbRedirHostStreams, InterruptReceiving) {
    StreamHost s;
    usb_redir_start_interrupt_receiving_header start{0x81};
    s.h.send(usb_redir_start_interrupt_receiving, 0, &start);
    ASSERT_EQ(s.submitted(0x81), 5u);
    for (usb_transfer* t : s.dev->submitted) {
        EXPECT_EQ(t->length, 8);
        EXPECT_EQ(t->type, USB_TRANSFER_TYPE_INTERRUPT);
    }
    auto packets = s.h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].type, usb_redir_interrupt_receiving_status);
    EXPECT_EQ(as<usb_redir_interrupt_receiving_status_header>(packets[0]).status, usb_redir_success);

    // A second start on a running stream.
    s.h.send(usb_redir_start_interrupt_receiving, 0, &start);
    packets = s.h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(as<usb_redir_interrupt_receiving_status_header>(packets[0]).status, usb_redir_inval);

    // Results go out with running ids, and each transfer is resubmitted; an error result is sent empty and
    // the stream goes on.
    usb_transfer* first = s.dev->submitted[0];
    s.dev->complete(first, USB_TRANSFER_COMPLETED, {1, 2, 3});
    s.h.run_completions();
    usb_transfer* second = s.dev->submitted[0];
    s.dev->complete(second, USB_TRANSFER_ERROR, {9});
    s.h.run_completions();
    s.dev->complete(first, USB_TRANSFER_COMPLETED, {4});
    s.h.run_completions();
    packets = s.h.take();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].type, usb_redir_interrupt_packet);
    EXPECT_EQ(packets[0].id, 0u);
    EXPECT_EQ(packets[0].data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(packets[1].id, 1u);
    EXPECT_EQ(as<usb_redir_interrupt_packet_header>(packets[1]).status, usb_redir_ioerror);
    EXPECT_TRUE(packets[1].data.empty());
    EXPECT_EQ(packets[2].id, 5u);
    EXPECT_EQ(s.submitted(0x81), 5u);

    // A stall is cleared and the stream set up again, its ids from 0.
    s.dev->complete(s.dev->submitted[0], USB_TRANSFER_STALL);
    s.h.run_completions();
    EXPECT_EQ(s.dev->count("clear_halt 81"), 1u);
    EXPECT_TRUE(s.h.take().empty());
    s.dev->finish_cancelled();
    s.h.run_completions();
    ASSERT_EQ(s.submitted(0x81), 5u);
    s.dev->complete(s.dev->submitted[0], USB_TRANSFER_COMPLETED, {7});
    s.h.run_completions();
    packets = s.h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].id, 0u);
    EXPECT_EQ(s.h.host->cancels_pending, 0);

    // Stop: every transfer cancelled, success, and their late completions send nothing.
    usb_redir_stop_interrupt_receiving_header stop{0x81};
    s.h.send(usb_redir_stop_interrupt_receiving, 0, &stop);
    packets = s.h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(as<usb_redir_interrupt_receiving_status_header>(packets[0]).status, usb_redir_success);
    s.dev->finish_cancelled();
    s.h.run_completions();
    EXPECT_TRUE(s.h.take().empty());
    EXPECT_EQ(s.h.host->cancels_pending, 0);
    EXPECT_EQ(s.h.host->stream_bytes, 0u);
}

// Set-up requests that are refused, each answered by the status type of the endpoint's own kind.
TEST(UsbRedirHostStreams, BulkReceivingSetUp) {
    struct Case {
        const char* what;
        uint32_t type;
        uint8_t ep;
        uint32_t bytes;
        uint8_t transfers;
        uint32_t reply_type;
        uint8_t status;
        size_t submitted;
    } cases[] = {
        {"16 KiB x 4", usb_redir_start_bulk_receiving, 0x82, 16384, 4, usb_redir_bulk_receiving_status,
         usb_redir_success, 4},
        {"not a multiple of 512", usb_redir_start_bulk_receiving, 0x82, 1000, 4,
         usb_redir_bulk_receiving_status, usb_redir_stall, 0},
        {"17 transfers", usb_redir_start_bulk_receiving, 0x82, 16384, 17, usb_redir_bulk_receiving_status,
         usb_redir_stall, 0},
        {"no transfers", usb_redir_start_bulk_receiving, 0x82, 16384, 0, usb_redir_bulk_receiving_status,
         usb_redir_stall, 0},
        {"zero bytes", usb_redir_start_bulk_receiving, 0x82, 0, 4, usb_redir_bulk_receiving_status,
         usb_redir_stall, 0},
        {"bulk receiving on interrupt ep", usb_redir_start_bulk_receiving, 0x81, 512, 4,
         usb_redir_interrupt_receiving_status, usb_redir_stall, 0},
        {"interrupt receiving on bulk ep", usb_redir_start_interrupt_receiving, 0x82, 0, 0,
         usb_redir_bulk_receiving_status, usb_redir_stall, 0},
        // 16 rings of 128 MiB each would be 2 GiB held for one server.
        {"128 MiB x 16", usb_redir_start_bulk_receiving, 0x82, 128u << 20, 16,
         usb_redir_bulk_receiving_status, usb_redir_stall, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StreamHost s;
        if (c.type == usb_redir_start_bulk_receiving) {
            usb_redir_start_bulk_receiving_header start{1, c.bytes, c.ep, c.transfers};
            s.h.send(c.type, 3, &start);
        } else {
            usb_redir_start_interrupt_receiving_header start{c.ep};
            s.h.send(c.type, 3, &start);
        }
        auto packets = s.h.take();
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(packets[0].type, c.reply_type);
        EXPECT_EQ(packets[0].id, 3u);
        // The status is the first byte of the interrupt status, the last of the bulk one.
        EXPECT_EQ(
            c.reply_type == usb_redir_bulk_receiving_status ? packets[0].header.back() : packets[0].header[0],
            c.status);
        EXPECT_EQ(s.dev->submitted.size(), c.submitted);
    }
}

// Many rings at once stay under the host's bound, and freeing them gives the room back.
TEST(UsbRedirHostStreams, StreamMemoryIsBounded) {
    StreamHost s;
    usb_redir_start_bulk_receiving_header big{1, 64u << 20, 0x82, 4};
    s.h.send(usb_redir_start_bulk_receiving, 1, &big);
    EXPECT_EQ(s.submitted(0x82), 4u);
    EXPECT_EQ(s.h.host->stream_bytes, 256ull << 20);
    usb_redir_start_interrupt_receiving_header irq{0x81};
    s.h.send(usb_redir_start_interrupt_receiving, 2, &irq);
    auto packets = s.h.take();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[1].header[0], usb_redir_stall);
    usb_redir_stop_bulk_receiving_header stop{1, 0x82};
    s.h.send(usb_redir_stop_bulk_receiving, 3, &stop);
    s.dev->finish_cancelled();
    s.h.run_completions();
    EXPECT_EQ(s.h.host->stream_bytes, 0u);
    s.h.send(usb_redir_start_interrupt_receiving, 4, &irq);
    EXPECT_EQ(s.submitted(0x81), 5u);
}

TEST(UsbRedirHostStreams, BufferedBulkData) {
    StreamHost s;
    usb_redir_start_bulk_receiving_header start{1, 1024, 0x82, 2};
    s.h.send(usb_redir_start_bulk_receiving, 1, &start);
    s.h.take();
    s.dev->complete(s.dev->submitted[0], USB_TRANSFER_COMPLETED, std::vector<uint8_t>(700, 5));
    s.h.run_completions();
    auto packets = s.h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].type, usb_redir_buffered_bulk_packet);
    auto h = as<usb_redir_buffered_bulk_packet_header>(packets[0]);
    EXPECT_EQ(h.length, 700u);
    EXPECT_EQ(h.endpoint, 0x82);
    EXPECT_EQ(packets[0].data.size(), 700u);
}

// While more than 800 packets wait to be written, stream data is dropped; the warning comes once.
TEST(UsbRedirHostStreams, SlowConnectionDropsStreamData) {
    StreamHost s;
    usb_redir_start_interrupt_receiving_header start{0x81};
    s.h.send(usb_redir_start_interrupt_receiving, 0, &start);
    s.h.take();
    s.h.write_blocked = true;
    for (int i = 0; i < 801; ++i) {
        usbredirparser_queue(s.h.host->parser, usb_redir_device_disconnect, 0, nullptr, nullptr, 0);
    }
    for (int i = 0; i < 3; ++i) {
        s.dev->complete(s.dev->submitted[0], USB_TRANSFER_COMPLETED, {1});
        s.h.run_completions();
    }
    s.h.write_blocked = false;
    s.h.pump();
    auto packets = s.h.take();
    EXPECT_EQ(packets.size(), 801u);
    for (const auto& p : packets) {
        EXPECT_NE(p.type, usb_redir_interrupt_packet);
    }
    EXPECT_EQ(s.h.host->endpoint[17].warn_on_drop, 0);
    EXPECT_EQ(s.submitted(0x81), 5u);
    // Once the queue drains, data flows again with the ids the dropped packets left.
    s.dev->complete(s.dev->submitted[0], USB_TRANSFER_COMPLETED, {1});
    s.h.run_completions();
    packets = s.h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].id, 3u);
}

TEST(UsbRedirHostStreams, IsoRequestsAndBulkStreams) {
    StreamHost s;
    usb_redir_start_iso_stream_header iso{0x81, 8, 4};
    s.h.send(usb_redir_start_iso_stream, 1, &iso);
    EXPECT_TRUE(s.h.take().empty());
    EXPECT_TRUE(s.dev->submitted.empty());
    // An iso OUT packet is answered by the endpoint's own status type, which for a bulk OUT or control
    // endpoint is nothing a server accepts: no reply, and the stream goes on.
    usb_redir_iso_packet_header data{0x02, 0, 2};
    s.h.send(usb_redir_iso_packet, 2, &data, {1, 2});
    usb_redir_iso_packet_header control{0x00, 0, 2};
    s.h.send(usb_redir_iso_packet, 3, &control, {1, 2});
    EXPECT_TRUE(s.h.take().empty());
    std::vector<ReceivedPacket> packets;

    usb_redir_alloc_bulk_streams_header alloc{0x00020000, 4};
    s.h.send(usb_redir_alloc_bulk_streams, 4, &alloc);
    EXPECT_EQ(s.dev->stream_endpoints, (std::vector<uint8_t>{0x81}));
    s.dev->streams_result = 2;
    usb_redir_alloc_bulk_streams_header two{0x00060004, 4};
    s.h.send(usb_redir_alloc_bulk_streams, 5, &two);
    EXPECT_EQ(s.dev->stream_endpoints, (std::vector<uint8_t>{0x02, 0x81, 0x82}));
    usb_redir_free_bulk_streams_header release{0x00020000};
    s.h.send(usb_redir_free_bulk_streams, 6, &release);
    packets = s.h.take();
    ASSERT_EQ(packets.size(), 3u);
    auto ok = as<usb_redir_bulk_streams_status_header>(packets[0]);
    EXPECT_EQ(ok.status, usb_redir_success);
    EXPECT_EQ(ok.no_streams, 4u);
    EXPECT_EQ(as<usb_redir_bulk_streams_status_header>(packets[1]).status, usb_redir_ioerror);
    EXPECT_EQ(as<usb_redir_bulk_streams_status_header>(packets[2]).no_streams, 0u);
}

// A server reset cancels the streams and tells the server they stalled.
TEST(UsbRedirHostStreams, ResetStopsStreams) {
    StreamHost s;
    s.h.host->reset = false;
    usb_redir_start_interrupt_receiving_header start{0x81};
    s.h.send(usb_redir_start_interrupt_receiving, 0, &start);
    s.h.take();
    s.h.send(usb_redir_reset, 0, nullptr);
    auto packets = s.h.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].type, usb_redir_interrupt_receiving_status);
    EXPECT_EQ(packets[0].header[0], usb_redir_stall);
    EXPECT_EQ(s.dev->count("cancel"), 5u);
}

}  // namespace
