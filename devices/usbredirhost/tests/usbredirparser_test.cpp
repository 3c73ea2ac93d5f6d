#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "devices/usbredirhost/usbredirparser.h"
#include "support/parser_end.h"

namespace {

constexpr uint32_t HOST_CAPS = 0x400000FF;
constexpr uint32_t GUEST_CAPS = 0x000000FF;

std::vector<uint8_t> le32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

std::vector<uint8_t> hello_header(const char* text, std::vector<uint8_t> acc = {0, 0, 0, 0}) {
    std::vector<uint8_t> h(64, 0);
    memcpy(h.data(), text, strnlen(text, 64));
    std::copy(acc.begin(), acc.end(), h.begin() + 60);
    return h;
}

// A host whose peer (the server) has sent its hello with the given capability data.
struct HostWithPeer {
    explicit HostWithPeer(std::vector<uint8_t> caps_data, std::vector<uint8_t> acc = {0, 0, 0, 0},
                          uint32_t flags = 0)
        : host(true, HOST_CAPS, flags) {
        host.take_output();
        host.feed(make_packet(usb_redir_hello, 0, hello_header("peer", acc), caps_data, false));
        EXPECT_EQ(host.read_all(), 0);
    }
    ParserEnd host;
};

TEST(UsbRedirParser, HelloOnTheWire) {
    ParserEnd host(true, HOST_CAPS);
    auto out = host.take_output();
    ASSERT_EQ(out.size(), 80u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 12), make_packet(0, 0, {}, {}, false, 68));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&out[12])), "qelt session 0.9.9");
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 72, out.begin() + 76), (std::vector<uint8_t>{0, 1, 0, 1}));
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 76, out.end()), (std::vector<uint8_t>{0xFF, 0, 0, 0x40}));

    // Towards a standard peer the version field is plain text, and acceleration packets are never sent.
    ParserEnd standard(true, 0xFF, usbredirparser_fl_standard);
    out = standard.take_output();
    ASSERT_EQ(out.size(), 80u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 72, out.begin() + 76), (std::vector<uint8_t>{0, 0, 0, 0}));
    usb_redir_acc_packet_header acc{1, 0};
    usbredirparser_queue(standard.parser, usb_redir_acc_packet, 0, &acc, nullptr, 0);
    EXPECT_TRUE(standard.take_output().empty());

    ParserEnd none(true, HOST_CAPS, usbredirparser_fl_no_hello);
    EXPECT_TRUE(none.take_output().empty());
}

// What the peer's hello data does to the negotiated layouts of what the host sends next.
TEST(UsbRedirParser, NegotiationFromPeerHello) {
    struct Case {
        std::vector<uint8_t> caps;
        uint32_t peer_caps;
        size_t header, connect, ep_info, bulk;
    } cases[] = {
        {le32(0xFF), 0xFF, 16, 10, 288, 10},
        {{}, 0, 12, 8, 96, 8},              // fewer than 4 bytes: word 0
        {{0xFF, 0x00}, 0, 12, 8, 96, 8},    // still fewer than 4
        {le32(0x11), 0x11, 12, 8, 288, 8},  // streams with max packet size
        {le32(0x01), 0x00, 12, 8, 96, 8},   // streams without max packet size: corrected
        {le32(0x10), 0x10, 12, 8, 160, 8},
        {le32(0x62), 0x62, 16, 10, 96, 10},
        {(std::vector<uint8_t>{0xFF, 0, 0, 0, 0x12, 0x34, 0x56, 0x78}), 0xFF, 16, 10, 288,
         10},  // first word only
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.peer_caps);
        HostWithPeer hp(c.caps);
        EXPECT_EQ(hp.host.parser->peer_caps, c.peer_caps);
        EXPECT_EQ(hp.host.hellos, 1);
        usb_redir_device_connect_header connect{};
        usb_redir_ep_info_header ep{};
        usb_redir_bulk_packet_header bulk{0x81, 0, 4, 0, 0};
        uint8_t data[4] = {1, 2, 3, 4};
        usbredirparser_queue(hp.host.parser, usb_redir_device_connect, 0, &connect, nullptr, 0);
        EXPECT_EQ(hp.host.take_output().size(), c.header + c.connect);
        usbredirparser_queue(hp.host.parser, usb_redir_ep_info, 0, &ep, nullptr, 0);
        EXPECT_EQ(hp.host.take_output().size(), c.header + c.ep_info);
        usbredirparser_queue(hp.host.parser, usb_redir_bulk_packet, 7, &bulk, data, 4);
        EXPECT_EQ(hp.host.take_output().size(), c.header + c.bulk + 4);
    }
}

TEST(UsbRedirParser, SecondHelloChangesNothing) {
    HostWithPeer hp(le32(0xFF));
    hp.host.feed(make_packet(usb_redir_hello, 0, hello_header("again"), le32(0), true));
    EXPECT_EQ(hp.host.read_all(), 0);
    EXPECT_EQ(hp.host.parser->peer_caps, 0xFFu);
    EXPECT_EQ(hp.host.hellos, 1);
}

TEST(UsbRedirParser, AccelerationCompatibility) {
    struct Case {
        std::vector<uint8_t> acc;
        bool compatible;
    } cases[] = {
        {{0, 1, 0, 1}, true},  {{0, 1, 0, 9}, true},  {{0, 1, 1, 0}, true},    {{0, 2, 0, 0}, false},
        {{0, 0, 9, 0}, false}, {{1, 1, 0, 1}, false}, {{'x', 1, 0, 1}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.acc));
        HostWithPeer hp(le32(0x400000FF), c.acc);
        EXPECT_EQ(usbredirparser_peer_acc_compatible(hp.host.parser), c.compatible);
    }
    ParserEnd fresh(true, HOST_CAPS);
    EXPECT_FALSE(usbredirparser_peer_acc_compatible(fresh.parser));
    HostWithPeer standard(le32(0x400000FF), {0, 1, 0, 1}, usbredirparser_fl_standard);
    EXPECT_FALSE(usbredirparser_peer_acc_compatible(standard.host.parser));
}

// Every packet type through a host and a device-role parser, in the direction it is valid.
TEST(UsbRedirParser, EveryPacketTypeRoundTrips) {
    struct Case {
        uint32_t type;
        bool from_host;
        std::vector<uint8_t> header;
        std::vector<uint8_t> data;
    };
    std::vector<uint8_t> iface(132, 0), ep(288, 0);
    iface[0] = 2;
    iface[4] = 7;
    ep[17] = 3;
    ep[287] = 0x55;
    const std::vector<uint8_t> bytes = {9, 8, 7, 6, 5};
    const Case cases[] = {
        {usb_redir_device_connect, true, {2, 0, 0, 0, 0x6b, 0x1d, 0x02, 0x0f, 0x56, 0x04}, {}},
        {usb_redir_device_disconnect, true, {}, {}},
        {usb_redir_reset, false, {}, {}},
        {usb_redir_interface_info, true, iface, {}},
        {usb_redir_ep_info, true, ep, {}},
        {usb_redir_set_configuration, false, {1}, {}},
        {usb_redir_get_configuration, false, {}, {}},
        {usb_redir_configuration_status, true, {0, 1}, {}},
        {usb_redir_set_alt_setting, false, {1, 2}, {}},
        {usb_redir_get_alt_setting, false, {1}, {}},
        {usb_redir_alt_setting_status, true, {0, 1, 2}, {}},
        {usb_redir_start_iso_stream, false, {0x81, 8, 4}, {}},
        {usb_redir_stop_iso_stream, false, {0x81}, {}},
        {usb_redir_iso_stream_status, true, {0, 0x81}, {}},
        {usb_redir_start_interrupt_receiving, false, {0x81}, {}},
        {usb_redir_stop_interrupt_receiving, false, {0x81}, {}},
        {usb_redir_interrupt_receiving_status, true, {0, 0x81}, {}},
        {usb_redir_alloc_bulk_streams, false, {0, 0, 2, 0, 4, 0, 0, 0}, {}},
        {usb_redir_free_bulk_streams, false, {0, 0, 2, 0}, {}},
        {usb_redir_bulk_streams_status, true, {0, 0, 2, 0, 4, 0, 0, 0, 0}, {}},
        {usb_redir_cancel_data_packet, false, {}, {}},
        {usb_redir_filter_reject, false, {}, {}},
        {usb_redir_filter_filter,
         false,
         {},
         {'-', '1', ',', '-', '1', ',', '-', '1', ',', '-', '1', ',', '1', 0}},
        {usb_redir_filter_filter, true, {}, {'3', ',', '-', '1', ',', '-', '1', ',', '-', '1', ',', '0', 0}},
        {usb_redir_device_disconnect_ack, false, {}, {}},
        {usb_redir_start_bulk_receiving, false, {1, 0, 0, 0, 0, 0x40, 0, 0, 0x81, 4}, {}},
        {usb_redir_stop_bulk_receiving, false, {1, 0, 0, 0, 0x81}, {}},
        {usb_redir_bulk_receiving_status, true, {1, 0, 0, 0, 0x81, 0}, {}},
        {usb_redir_control_packet, false, {0x80, 6, 0x80, 0, 0, 1, 0, 0, 5, 0}, {}},
        {usb_redir_control_packet, true, {0x80, 6, 0x80, 0, 0, 1, 0, 0, 5, 0}, bytes},
        {usb_redir_control_packet, false, {0x00, 9, 0x00, 0, 1, 0, 0, 0, 5, 0}, bytes},
        {usb_redir_bulk_packet, false, {0x02, 0, 5, 0, 0, 0, 0, 0, 0, 0}, bytes},
        {usb_redir_bulk_packet, true, {0x81, 0, 5, 0, 0, 0, 0, 0, 0, 0}, bytes},
        {usb_redir_iso_packet, false, {0x02, 0, 5, 0}, bytes},
        {usb_redir_iso_packet, true, {0x81, 0, 5, 0}, bytes},
        {usb_redir_interrupt_packet, false, {0x02, 0, 5, 0}, bytes},
        {usb_redir_interrupt_packet, true, {0x81, 0, 5, 0}, bytes},
        {usb_redir_interrupt_packet, true, {0x02, 0, 5, 0}, {}},
        {usb_redir_buffered_bulk_packet, true, {0, 0, 0, 0, 5, 0, 0, 0, 0x81, 0}, bytes},
    };
    for (bool ids64 : {true, false}) {
        ParserEnd host(true, HOST_CAPS);
        ParserEnd guest(false, ids64 ? GUEST_CAPS : GUEST_CAPS & ~0x20u);
        exchange(host, guest);
        ASSERT_EQ(host.hellos, 1);
        ASSERT_EQ(guest.hellos, 1);
        uint64_t id = ids64 ? 0x1122334455667788ull : 0x55667788ull;
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "type " << c.type << (c.from_host ? " from host" : " to host")
                                            << (ids64 ? " 64" : " 32"));
            ParserEnd& sender = c.from_host ? host : guest;
            ParserEnd& receiver = c.from_host ? guest : host;
            receiver.received.clear();
            usbredirparser_queue(sender.parser, c.type, id, c.header.data(), c.data.data(),
                                 static_cast<uint32_t>(c.data.size()));
            receiver.feed(sender.take_output());
            EXPECT_EQ(receiver.read_all(), 0);
            ASSERT_EQ(receiver.received.size(), 1u);
            const ReceivedPacket& got = receiver.received[0];
            EXPECT_EQ(got.type, c.type);
            EXPECT_EQ(got.header, c.header);
            EXPECT_EQ(got.data, c.type == usb_redir_filter_filter ? std::vector<uint8_t>{} : c.data);
            bool carries_id = c.type >= usb_redir_set_configuration && c.type != usb_redir_filter_reject &&
                              c.type != usb_redir_filter_filter && c.type != usb_redir_device_disconnect_ack;
            if (carries_id) {
                EXPECT_EQ(got.id, id);
            }
            // The device-role parser acknowledges a disconnect; the host reads the ack.
            if (c.type == usb_redir_device_disconnect) {
                host.feed(guest.take_output());
                EXPECT_EQ(host.read_all(), 0);
                ASSERT_EQ(host.received.size(), 1u);
                EXPECT_EQ(host.received[0].type, usb_redir_device_disconnect_ack);
                host.received.clear();
            }
        }
    }
}

// Packets valid in one direction only are refused the other way, by the sender and by the receiver.
TEST(UsbRedirParser, WrongDirectionIsRefused) {
    ParserEnd host(true, HOST_CAPS);
    ParserEnd guest(false, GUEST_CAPS);
    exchange(host, guest);
    for (uint32_t type :
         {usb_redir_device_disconnect, usb_redir_interface_info, usb_redir_configuration_status}) {
        SCOPED_TRACE(type);
        std::vector<uint8_t> header(132, 0);
        usbredirparser_queue(guest.parser, type, 1, header.data(), nullptr, 0);
        EXPECT_TRUE(guest.take_output().empty());
    }
    // Type 2 sent to the host is skipped; the packet behind it is still read.
    host.feed(make_packet(usb_redir_device_disconnect, 0, {}, {}, true));
    host.feed(make_packet(usb_redir_reset, 3, {}, {}, true));
    EXPECT_EQ(usbredirparser_do_read(host.parser), usbredirparser_read_parse_error);
    EXPECT_TRUE(host.received.empty());
    EXPECT_EQ(host.read_all(), 0);
    ASSERT_EQ(host.received.size(), 1u);
    EXPECT_EQ(host.received[0].type, usb_redir_reset);
    // Interrupt IN data never goes to the host; iso without data is invalid either way.
    for (auto header : {std::vector<uint8_t>{0x81, 0, 4, 0}}) {
        host.feed(make_packet(usb_redir_interrupt_packet, 1, header, {}, true));
        EXPECT_EQ(host.read_all(), usbredirparser_read_parse_error);
        host.feed(make_packet(usb_redir_iso_packet, 1, header, {}, true));
        EXPECT_EQ(host.read_all(), usbredirparser_read_parse_error);
    }
}

// Received packets that fail their checks: each is refused, and the stream goes on with the next packet.
TEST(UsbRedirParser, RejectedPacketsAreSkipped) {
    struct Case {
        const char* what;
        std::vector<uint8_t> packet;
    } cases[] = {
        {"unknown type", make_packet(28, 0, {}, {1, 2, 3}, true)},
        {"short type header", make_packet(usb_redir_set_configuration, 0, {}, {}, true)},
        {"data on a type without data", make_packet(usb_redir_reset, 0, {}, {1}, true)},
        {"acc packet with data", make_packet(usb_redir_acc_packet, 0, {1, 1, 0, 0, 0}, {7}, true)},
        {"control IN request with data",
         make_packet(usb_redir_control_packet, 0, {0x80, 6, 0x80, 0, 0, 1, 0, 0, 1, 0}, {1}, true)},
        {"bulk OUT length mismatch",
         make_packet(usb_redir_bulk_packet, 0, {0x02, 0, 3, 0, 0, 0, 0, 0, 0, 0}, {1, 2}, true)},
        {"filter not terminated", make_packet(usb_redir_filter_filter, 0, {}, {'1'}, true)},
        {"filter without data", make_packet(usb_redir_filter_filter, 0, {}, {}, true)},
        {"interrupt start on OUT ep", make_packet(usb_redir_start_interrupt_receiving, 0, {0x02}, {}, true)},
        {"bulk receiving above 128 MiB",
         make_packet(usb_redir_start_bulk_receiving, 0, {0, 0, 0, 0, 1, 0, 0, 8, 0x81, 1}, {}, true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HostWithPeer hp(le32(GUEST_CAPS));
        hp.host.feed(c.packet);
        hp.host.feed(make_packet(usb_redir_get_configuration, 9, {}, {}, true));
        EXPECT_EQ(hp.host.read_all(), usbredirparser_read_parse_error);
        EXPECT_EQ(hp.host.read_all(), 0);
        ASSERT_EQ(hp.host.received.size(), 1u);
        EXPECT_EQ(hp.host.received[0].type, usb_redir_get_configuration);
        EXPECT_EQ(hp.host.received[0].id, 9u);
    }
    // A filter from a peer the host never told it could filter.
    ParserEnd no_filter(true, HOST_CAPS & ~0x04u);
    no_filter.feed(make_packet(usb_redir_hello, 0, hello_header("peer"), le32(GUEST_CAPS), false));
    no_filter.feed(make_packet(usb_redir_filter_reject, 0, {}, {}, true));
    EXPECT_EQ(no_filter.read_all(), usbredirparser_read_parse_error);
}

TEST(UsbRedirParser, AccPacketWithoutDataIsIgnored) {
    HostWithPeer hp(le32(GUEST_CAPS));
    hp.host.feed(make_packet(usb_redir_acc_packet, 0, {1, 0, 0, 0, 0}, {}, true));
    hp.host.feed(make_packet(usb_redir_reset, 0, {}, {}, true));
    EXPECT_EQ(hp.host.read_all(), 0);
    ASSERT_EQ(hp.host.received.size(), 1u);
    EXPECT_EQ(hp.host.received[0].type, usb_redir_reset);
}

// A length the peer cannot mean is refused as soon as the header is in, before any data is awaited or
// allocated; only that packet's bytes are skipped.
TEST(UsbRedirParser, OversizedPacketsAreRefusedAtTheHeader) {
    struct Case {
        const char* what;
        uint32_t type;
        std::vector<uint8_t> header;
        uint32_t length;
        bool refused;
    } cases[] = {
        {"hello of 1 KiB", usb_redir_hello, {}, 1024, false},
        {"hello above 1 KiB", usb_redir_hello, {}, 1025, true},
        {"filter of 64 KiB", usb_redir_filter_filter, {}, 65536, false},
        {"filter above 64 KiB", usb_redir_filter_filter, {}, 65537, true},
        {"bulk of 128 MiB", usb_redir_bulk_packet, {0x02}, 10 + (128u << 20), false},
        {"bulk above 128 MiB", usb_redir_bulk_packet, {0x02}, 10 + (128u << 20) + 1, true},
        {"control of 4 GiB", usb_redir_control_packet, {0x00}, 0xFFFFFFFE, true},
        {"buffered bulk of 4 GiB", usb_redir_interrupt_packet, {0x02}, 0xFFFFFFF0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HostWithPeer hp(le32(GUEST_CAPS));
        hp.host.feed(make_packet(c.type, 0, {}, {}, true, c.length));
        // Nothing but the header has arrived: a refused packet says so now, an accepted one waits for its
        // data.
        EXPECT_EQ(usbredirparser_do_read(hp.host.parser), c.refused ? usbredirparser_read_parse_error : 0);
        EXPECT_EQ(hp.host.parser->to_skip, c.refused ? c.length : 0u);
        EXPECT_EQ(hp.host.parser->data == nullptr, c.refused);
    }
    // The refused bytes are skipped, in pieces as they arrive, and the next packet is read.
    HostWithPeer hp(le32(GUEST_CAPS));
    hp.host.feed(make_packet(usb_redir_hello, 0, std::vector<uint8_t>(64, 'a'),
                             std::vector<uint8_t>(70000, 'b'), true));
    hp.host.feed(make_packet(usb_redir_reset, 4, {}, {}, true));
    EXPECT_EQ(usbredirparser_do_read(hp.host.parser), usbredirparser_read_parse_error);
    hp.host.read_chunk = 1000;
    EXPECT_EQ(hp.host.read_all(), 0);
    ASSERT_EQ(hp.host.received.size(), 1u);
    EXPECT_EQ(hp.host.received[0].type, usb_redir_reset);
}

// A stream of several packets read with the input cut at every byte gives the same packets.
TEST(UsbRedirParser, FramingSplitAtEveryByte) {
    std::vector<uint8_t> stream =
        make_packet(usb_redir_hello, 0, hello_header("peer"), le32(GUEST_CAPS), false);
    const std::vector<std::vector<uint8_t>> rest = {
        make_packet(usb_redir_set_configuration, 0x0102030405060708ull, {1}, {}, true),
        make_packet(usb_redir_control_packet, 5, {0x00, 9, 0, 0, 1, 0, 0, 0, 3, 0}, {1, 2, 3}, true),
        make_packet(usb_redir_reset, 0, {}, {}, true),
        make_packet(usb_redir_bulk_packet, 6, {0x02, 0, 2, 0, 0, 0, 0, 0, 0, 0}, {4, 5}, true),
        make_packet(usb_redir_filter_filter, 0, {}, {'1', ',', '2', ',', '3', ',', '4', ',', '5', 0}, true),
    };
    for (const auto& p : rest) {
        stream.insert(stream.end(), p.begin(), p.end());
    }
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        ParserEnd host(true, HOST_CAPS);
        host.feed(std::vector<uint8_t>(stream.begin(), stream.begin() + cut));
        ASSERT_EQ(host.read_all(), 0);
        host.feed(std::vector<uint8_t>(stream.begin() + cut, stream.end()));
        ASSERT_EQ(host.read_all(), 0);
        ASSERT_EQ(host.received.size(), 5u) << "cut at " << cut;
        EXPECT_EQ(host.received[0].id, 0x0102030405060708ull);
        EXPECT_EQ(host.received[1].data, (std::vector<uint8_t>{1, 2, 3}));
        EXPECT_EQ(host.received[3].data, (std::vector<uint8_t>{4, 5}));
        ASSERT_EQ(host.rules.size(), 1u);
        EXPECT_EQ(host.rules[0].allow, 5);
    }
    // One byte per read call, too.
    ParserEnd host(true, HOST_CAPS);
    host.read_chunk = 1;
    host.feed(stream);
    EXPECT_EQ(host.read_all(), 0);
    EXPECT_EQ(host.received.size(), 5u);
}

TEST(UsbRedirParser, EightByteBulkFormHasNoLengthHigh) {
    HostWithPeer hp(le32(GUEST_CAPS & ~0x40u));
    hp.host.feed(make_packet(usb_redir_bulk_packet, 1, {0x81, 0, 0, 1, 0, 0, 0, 0}, {}, true));
    EXPECT_EQ(hp.host.read_all(), 0);
    ASSERT_EQ(hp.host.received.size(), 1u);
    // The record's header is the 10-byte form with length_high 0.
    usb_redir_bulk_packet_header h;
    memcpy(&h, hp.host.parser->type_header, sizeof(h));
    EXPECT_EQ(hp.host.received[0].header, (std::vector<uint8_t>{0x81, 0, 0, 1, 0, 0, 0, 0}));
}

TEST(UsbRedirParser, FilterRuleText) {
    struct Case {
        const char* text;
        int result;
        std::vector<std::vector<int32_t>> rules;
    } cases[] = {
        {"-1,-1,-1,-1,1", 0, {{-1, -1, -1, -1, 1}}},
        {"3,0x1234,-1,-1,0|-1,-1,-1,-1,1", 0, {{3, 0x1234, -1, -1, 0}, {-1, -1, -1, -1, 1}}},
        {"0x08,-1,-1,-1,1||-1,-1,-1,-1,0", 0, {{8, -1, -1, -1, 1}, {-1, -1, -1, -1, 0}}},
        {"|010,0xffff,0,0x0110,7|", 0, {{8, 0xFFFF, 0, 0x110, 7}}},
        {"", 0, {}},
        {"255,65535,65535,65535,-9", 0, {{255, 0xFFFF, 0xFFFF, 0xFFFF, -9}}},
        {"1,2,3,4", -22, {}},
        {"1,2,3,4,5,6", -22, {}},
        {"256,-1,-1,-1,1", -22, {}},
        {"-2,-1,-1,-1,1", -22, {}},
        {"1,0x10000,-1,-1,1", -22, {}},
        {"1,2,3,4,5|1,2", -22, {}},
        {"1,2x,3,4,5", -22, {}},
        {"1, 2,3,4,5", -22, {}},
        {"1,2,3,4,99999999999", -22, {}},
        {"08,1,1,1,1", -22, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        usb_redir_filter_rule* rules = nullptr;
        int count = -1;
        EXPECT_EQ(usbredirparser_filter_string_to_rules(c.text, &rules, &count), c.result);
        if (c.result == 0) {
            ASSERT_EQ(count, static_cast<int>(c.rules.size()));
            for (int i = 0; i < count; ++i) {
                EXPECT_EQ(
                    (std::vector<int32_t>{rules[i].device_class, rules[i].vendor_id, rules[i].product_id,
                                          rules[i].device_version_bcd, rules[i].allow}),
                    c.rules[i]);
            }
        }
        free(rules);
    }
}

// A received filter that does not parse is dropped without ending the stream.
TEST(UsbRedirParser, InvalidFilterIsDropped) {
    HostWithPeer hp(le32(GUEST_CAPS));
    hp.host.feed(make_packet(usb_redir_filter_filter, 0, {}, {'1', ',', '2', 0}, true));
    EXPECT_EQ(hp.host.read_all(), 0);
    EXPECT_TRUE(hp.host.received.empty());
}

// The queue keeps what the write call-back did not take, in order, and counts its packets.
TEST(UsbRedirParser, WriteQueueResumesPartialWrites) {
    struct Writer {
        std::vector<uint8_t> out;
        int budget;
    } writer{{}, 30};
    ParserEnd host(true, HOST_CAPS);
    host.parser->cb.priv = &writer;
    host.parser->cb.write_func = [](void* priv, uint8_t* data, int count) {
        auto* w = static_cast<Writer*>(priv);
        int n = std::min(count, w->budget);
        w->budget -= n;
        w->out.insert(w->out.end(), data, data + n);
        return n;
    };
    usbredirparser_queue(host.parser, usb_redir_device_disconnect, 0, nullptr, nullptr, 0);
    EXPECT_EQ(usbredirparser_has_data_to_write(host.parser), 2);
    EXPECT_EQ(usbredirparser_do_write(host.parser), 0);
    EXPECT_EQ(writer.out.size(), 30u);
    EXPECT_EQ(usbredirparser_has_data_to_write(host.parser), 2);
    writer.budget = 1000;
    EXPECT_EQ(usbredirparser_do_write(host.parser), 0);
    EXPECT_EQ(usbredirparser_has_data_to_write(host.parser), 0);
    ASSERT_EQ(writer.out.size(), 92u);
    EXPECT_EQ(std::vector<uint8_t>(writer.out.begin() + 80, writer.out.end()),
              make_packet(usb_redir_device_disconnect, 0, {}, {}, false));
    host.parser->cb.priv = &host;
}

}  // namespace
