// The byte-stream channels (USB redirection, port, WebDAV) and the tunnel channel.
#include "parser_test_util.h"

namespace {

const int V2 = 2;

class StreamChannelMessages : public ::testing::TestWithParam<MinimalBody> {};

TEST_P(StreamChannelMessages, MinimalBodyParsesAndEveryShorterBodyFails) {
    expect_minimal(GetParam());
}

std::vector<MinimalBody> stream_bodies() {
    std::vector<MinimalBody> rows = {
        {"usbredir data", V2, SPICE_CHANNEL_USBREDIR, SPICE_MSG_SPICEVMC_DATA, {}, 2},
        {"usbredir compressed_data", V2, SPICE_CHANNEL_USBREDIR, SPICE_MSG_USBREDIR_COMPRESSED_DATA, {}, 2},
        {"tunnel init", V2, SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_INIT, Body().u16(1).u32(2), 2},
        {"tunnel service_ip_map", V2, SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SERVICE_IP_MAP,
         Body().u32(1).u16(0).bytes({10, 0, 0, 1}), 2},
        {"tunnel socket_open", V2, SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_OPEN,
         Body().u16(1).u32(2).u32(3), 2},
        {"tunnel socket_fin", V2, SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_FIN, Body().u16(1), 2},
        {"tunnel socket_close", V2, SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_CLOSE, Body().u16(1), 2},
        {"tunnel socket_data", V2, SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_DATA, Body().u16(1), 2},
        {"tunnel socket_closed_ack", V2, SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_CLOSED_ACK,
         Body().u16(1), 2},
        {"tunnel socket_token", V2, SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_TOKEN, Body().u16(1).u32(2),
         2},
    };
    for (int channel : {SPICE_CHANNEL_PORT, SPICE_CHANNEL_WEBDAV}) {
        const char* data = channel == SPICE_CHANNEL_PORT ? "port data" : "webdav data";
        const char* init = channel == SPICE_CHANNEL_PORT ? "port init" : "webdav init";
        const char* event = channel == SPICE_CHANNEL_PORT ? "port event" : "webdav event";
        rows.push_back({data, V2, uint8_t(channel), SPICE_MSG_SPICEVMC_DATA, {}, 2});
        // The name (its NUL alone) right behind the 9 fixed bytes.
        rows.push_back(
            {init, V2, uint8_t(channel), SPICE_MSG_PORT_INIT, Body().u32(1).u32(9).u8(1).u8(0), 2});
        rows.push_back({event, V2, uint8_t(channel), SPICE_MSG_PORT_EVENT, Body().u8(0), 2});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(CurrentGeneration, StreamChannelMessages, ::testing::ValuesIn(stream_bodies()),
                         minimal_body_name);

TEST(UsbRedir, BothDataMessagesAreTheBodyItself) {
    for (int type : {int(SPICE_MSG_SPICEVMC_DATA), int(SPICE_MSG_USBREDIR_COMPRESSED_DATA)}) {
        Parsed msg(V2, SPICE_CHANNEL_USBREDIR, uint16_t(type), Body().text("usbredir"));
        ASSERT_TRUE(msg.ok());
        EXPECT_EQ(msg.result(), msg.body());
        EXPECT_EQ(msg.parsed_size(), 8u);
    }
}

TEST(PortInit, NameIsRequiredAndCopied) {
    Parsed msg(V2, SPICE_CHANNEL_PORT, SPICE_MSG_PORT_INIT,
               Body().u32(14).u32(9).u8(1).text("org.test.port").u8(0));
    ASSERT_TRUE(msg.ok());
    auto m = msg.as<SpiceMsgPortInit>();
    EXPECT_STREQ(m->name, "org.test.port");
    EXPECT_EQ(m->opened, 1);
    EXPECT_FALSE(Parsed(V2, SPICE_CHANNEL_PORT, SPICE_MSG_PORT_INIT,
                        Body().u32(14).u32(0).u8(1).text("org.test.port").u8(0))
                     .ok());
}

TEST(TunnelSocketData, ConnectionIdThenTheRestInPlace) {
    Parsed msg(V2, SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SOCKET_DATA, Body().u16(7).bytes({1, 2, 3}));
    ASSERT_TRUE(msg.ok());
    auto m = msg.as<SpiceMsgTunnelSocketData>();
    EXPECT_EQ(m->connection_id, 7);
    EXPECT_EQ(m->data, msg.body() + 2);
    EXPECT_EQ(m->data_size, 3u);
    // Only IPv4 service addresses have a known size.
    EXPECT_FALSE(
        Parsed(V2, SPICE_CHANNEL_TUNNEL, SPICE_MSG_TUNNEL_SERVICE_IP_MAP, Body().u32(1).u16(1).zeros(16))
            .ok());
}

}  // namespace
