// The channel base, worker and message flow against a SPICE server of our own on loopback: the link bytes and
// the link's failures and retries, the worker's states and abort, the outgoing queue, the acknowledgement
// window, lists and malformed messages, ping, heartbeat, wait-for-channels, migration and the pong's network
// quality.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/session_block.h"
#include "support/channel_test_support.h"
#include "support/fake_spice_server.h"
#include "transport/channel/network_stats.h"
#include "winapi/windows.h"

using namespace channel_test;
using namespace fake_spice;

namespace {

const std::string kTlsDir = std::string(KTW_TEST_SOURCE_DIR) + "/fixtures/tls";
const uint16_t kMsgMmTime = SPICE_MSG_MAIN_MULTI_MEDIA_TIME;
const uint32_t kHeartbeatCommonWord1 = 1u << (SPICE_COMMON_CAP_HEARTBEAT - 32);

std::vector<uint8_t> u32_body(uint32_t v) {
    std::vector<uint8_t> out;
    put32(out, v);
    return out;
}

// A SPICE_MSG_LIST body: u16 count, the u32 offsets, then each sub-message {u16 type, u32 size, body}.
std::vector<uint8_t> list_body(const std::vector<fake_spice::Message>& subs) {
    std::vector<uint8_t> out;
    put16(out, uint16_t(subs.size()));
    out.resize(2 + 4 * subs.size());
    for (size_t i = 0; i < subs.size(); i++) {
        uint32_t offset = uint32_t(out.size());
        for (int b = 0; b < 4; b++) {
            out[2 + 4 * i + b] = uint8_t(offset >> (8 * b));
        }
        put16(out, subs[i].type);
        put32(out, uint32_t(subs[i].body.size()));
        out.insert(out.end(), subs[i].body.begin(), subs[i].body.end());
    }
    return out;
}

std::vector<uint8_t> ping_body(uint32_t id, uint64_t timestamp, size_t data_size = 0) {
    std::vector<uint8_t> out;
    put32(out, id);
    put64(out, timestamp);
    for (size_t i = 0; i < data_size; i++) {
        out.push_back(uint8_t(i * 7));
    }
    return out;
}

// A link reply body of exactly 178 bytes with the given counts and offset; the key is left zero.
std::vector<uint8_t> reply_body(uint32_t common, uint32_t channel, uint32_t offset) {
    std::vector<uint8_t> body;
    put32(body, 0);
    body.resize(166, 0);
    put32(body, common);
    put32(body, channel);
    put32(body, offset);
    return body;
}

// A client message of type 200 carrying a u32 value, counting its releases.
class CountedMessage : public ::Message {
public:
    CountedMessage(uint32_t value, int* releases) : ::Message(200), _releases(releases) {
        spice_marshaller_add_uint32(marshaller(), value);
    }
    void release() override {
        if (_releases) {
            (*_releases)++;
        }
        ::Message::release();
    }

private:
    int* _releases;
};

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);  // plain TCP, no tunnel attempt
        client.port = server.port();
    }

    void TearDown() override {
        if (channel) {
            EXPECT_TRUE(channel->abort_within());
            channel.reset();
        }
        SessionBlock::clear();
    }

    TestChannel& make_channel() {
        channel.reset(new TestChannel(client));
        client.main_channel = channel.get();
        channel->start();
        return *channel;
    }

    // Connects and links, granting the given common words; null when any step fails.
    std::unique_ptr<Connection> connect_linked(const std::vector<uint32_t>& common = {kCommonCapMiniHeader}) {
        if (!channel) {
            make_channel();
        }
        channel->connect();
        std::unique_ptr<Connection> conn = server.accept();
        if (!conn || !conn->accept_link(nullptr, common) || !channel->wait_state(RedChannel::CONNECTED)) {
            return nullptr;
        }
        return conn;
    }

    // True once the channel handled every message sent before this probe.
    bool probe(Connection& conn, uint32_t value) {
        conn.send_message(kMsgMmTime, u32_body(value));
        return channel->wait_mm_time(value);
    }

    Server server;
    TestClient client;
    std::unique_ptr<TestChannel> channel;
};

// ---- Link ----

TEST_F(ChannelTest, MainChannelLinkCarriesCapabilitiesVmIdAndEncryptedPassword) {
    make_channel();
    channel->connect();
    std::unique_ptr<Connection> conn = server.accept();
    ASSERT_TRUE(conn);
    LinkRequest link;
    ASSERT_TRUE(conn->read_link(&link));
    const std::vector<uint8_t> expected = {
        'R',
        'E',
        'D',
        'Q',
        2,
        0,
        0,
        0,
        2,
        0,
        0,
        0,
        42,
        0,
        0,
        0,  // header: version 2.2, 18 + 6 words
        4,
        3,
        2,
        1,  // connection id
        SPICE_CHANNEL_MAIN,
        0,  // type, id
        6,
        0,
        0,
        0,
        0,
        0,
        0,
        0,
        18,
        0,
        0,
        0,  // 6 common words, no channel words, offset
        8,
        0,
        0,
        0,  // mini header
        3,
        0,
        0,
        0,  // the maker's bits 32 and 33
        0,
        0,
        0,
        0,
        0,
        0,
        0,
        0,  // words 2 and 3
        0x88,
        0x77,
        0x66,
        0x55,
        0x44,
        0x33,
        0x22,
        0x11,  // the VM id, low half first
    };
    EXPECT_EQ(expected, link.bytes);

    conn->send_link_reply(0, {kCommonCapMiniHeader}, {1u << SPICE_MAIN_CAP_CLIENT_PING});
    std::string password;
    ASSERT_TRUE(conn->read_password(&password));
    EXPECT_EQ(std::string("secret", 7), password);  // with its NUL
    conn->send_link_result(0);
    ASSERT_TRUE(channel->wait_state(RedChannel::CONNECTED));
    EXPECT_EQ(0, channel->connect_failed_calls());
    EXPECT_EQ(2, client.get_protocol());
    EXPECT_EQ(spice_message_marshallers_get(), channel->get_marshallers());
    EXPECT_TRUE(main_channel_takes_ping());
    EXPECT_TRUE(channel_connected_unsecure());
}

TEST_F(ChannelTest, EmptyPasswordIsSentAsOneZeroByte) {
    client.password = "";
    make_channel();
    channel->connect();
    std::unique_ptr<Connection> conn = server.accept();
    ASSERT_TRUE(conn);
    LinkRequest link;
    ASSERT_TRUE(conn->read_link(&link));
    conn->send_link_reply(0, {kCommonCapMiniHeader}, {});
    std::string password;
    ASSERT_TRUE(conn->read_password(&password));
    EXPECT_EQ(std::string(1, '\0'), password);
}

TEST_F(ChannelTest, LinkFailuresEndTheConnectionWithTheirCode) {
    struct Case {
        const char* name;
        int protocol_option;
        std::function<void(Connection&)> serve;  // after the link message was read
        int error;
    };
    const Case cases[] = {
        {"bad magic", 0,
         [](Connection& c) { c.send_link_reply_raw(reply_body(0, 0, 178), 2, 2, 0x12345678); }, 3},
        {"refused: permission denied", 0,
         [](Connection& c) { c.send_link_reply(7, {kCommonCapMiniHeader}, {}); }, 3},
        {"refused: need secured", 0, [](Connection& c) { c.send_link_reply(5, {kCommonCapMiniHeader}, {}); },
         3},
        {"reply shorter than 178", 0,
         [](Connection& c) { c.send_link_reply_raw(std::vector<uint8_t>(100, 0)); }, 3},
        // 4 x (2^30 + 2^30) wraps to 0 in 32 bits.
        {"capability counts that wrap", 0,
         [](Connection& c) { c.send_link_reply_raw(reply_body(0x40000000, 0x40000000, 178)); }, 3},
        {"capability offset past the end", 0,
         [](Connection& c) { c.send_link_reply_raw(reply_body(1, 0, 0xFFFFFFFF)); }, 3},
        {"reply larger than 64 KiB", 0,
         [](Connection& c) {
             std::vector<uint8_t> header;
             put32(header, kLinkMagic);
             put32(header, 2);
             put32(header, 2);
             put32(header, 1u << 20);
             c.send_all(header);
         },
         3},
        {"exactly 178 bytes without the mini header", 0, [](Connection& c) { c.send_link_reply(0, {}, {}); },
         3},
        {"mini header not granted", 0, [](Connection& c) { c.send_link_reply(0, {1u << 1}, {}); }, 3},
        {"key that is not RSA", 0,
         [](Connection& c) {
             std::vector<uint8_t> body = reply_body(1, 0, 178);
             put32(body, kCommonCapMiniHeader);
             c.send_link_reply_raw(body);
         },
         1},
        {"wrong password", 0,
         [](Connection& c) {
             std::string password;
             c.send_link_reply(0, {kCommonCapMiniHeader}, {});
             c.read_password(&password);
             c.send_link_result(7);
         },
         3},
        {"closed before the reply", 0, [](Connection& c) { c.close(); }, 6},
        {"version mismatch with a fixed protocol", 2,
         [](Connection& c) { c.send_link_reply(0, {kCommonCapMiniHeader}, {}, 1, 3); }, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestClient local;
        local.port = server.port();
        local.protocol_option = c.protocol_option;
        TestChannel ch(local);
        local.main_channel = &ch;
        ch.start();
        ch.connect();
        std::unique_ptr<Connection> conn = server.accept();
        ASSERT_TRUE(conn);
        LinkRequest link;
        ASSERT_TRUE(conn->read_link(&link));
        c.serve(*conn);
        ASSERT_TRUE(local.wait_disconnects(1));
        EXPECT_TRUE(ch.wait_state(RedChannel::DISCONNECTED));
        EXPECT_EQ(std::vector<int>{c.error}, local.errors());
        EXPECT_EQ(1, ch.connect_failed_calls());
        EXPECT_FALSE(server.accept(100)) << "no second attempt";
        EXPECT_TRUE(ch.abort_within());
        EXPECT_EQ(1, local.disconnects());
    }
}

// Shortens the link deadline for one test.
struct LinkTimeout {
    explicit LinkTimeout(uint32_t ms) { RedPeer::set_link_timeout_ms(ms); }
    ~LinkTimeout() { RedPeer::set_link_timeout_ms(0); }
};

TEST_F(ChannelTest, LinkThatStallsEndsAtTheDeadline) {
    LinkTimeout timeout(300);
    struct Case {
        const char* name;
        bool tls;
        std::function<void(Connection&)> serve;  // after the link message was read (plain only)
    };
    const Case cases[] = {
        {"silent after the link message", false, [](Connection&) {}},
        {"stops after the reply header", false,
         [](Connection& c) {
             std::vector<uint8_t> header;
             put32(header, kLinkMagic);
             put32(header, 2);
             put32(header, 2);
             put32(header, 182);
             c.send_all(header);
         }},
        {"no link result", false,
         [](Connection& c) {
             std::string password;
             c.send_link_reply(0, {kCommonCapMiniHeader}, {});
             c.read_password(&password);
         }},
        {"silent TLS handshake", true, [](Connection&) {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestClient local;
        if (c.tls) {
            local.type = RedPeer::ConnectionOptions::CON_OP_SECURE;
            local.secure_port = server.port();
        } else {
            local.port = server.port();
        }
        TestChannel ch(local);
        local.main_channel = &ch;
        ch.start();
        ch.connect();
        std::unique_ptr<Connection> conn = server.accept();
        ASSERT_TRUE(conn);
        if (!c.tls) {
            LinkRequest link;
            ASSERT_TRUE(conn->read_link(&link));
            c.serve(*conn);
        }
        ASSERT_TRUE(local.wait_disconnects(1)) << "the link waits on";
        EXPECT_EQ(std::vector<int>{SPICEC_ERROR_CODE_CONNECT_FAILED}, local.errors());
        EXPECT_TRUE(ch.abort_within());
    }
}

// After the link silence is normal: the session outlives the link deadline, and keep-alive watches the
// server.
TEST_F(ChannelTest, IdleSessionOutlivesTheLinkDeadlineWithKeepAlive) {
    // The deadline leaves a loaded machine time to finish the link; the session then idles past it three
    // times over.
    LinkTimeout timeout(1000);
    std::unique_ptr<Connection> conn = connect_linked();
    ASSERT_TRUE(conn);
    Sleep(3000);
    EXPECT_TRUE(probe(*conn, 5));
    EXPECT_EQ(0, client.disconnects());
    int keep_alive = 0;
    int length = sizeof keep_alive;
    ASSERT_EQ(0, getsockopt(channel->get_socket(), SOL_SOCKET, SO_KEEPALIVE,
                            reinterpret_cast<char*>(&keep_alive), &length));
    EXPECT_NE(0, keep_alive);
}

TEST_F(ChannelTest, VersionMismatchFallsBackOnceToProtocolOne) {
    make_channel();
    channel->connect();
    std::unique_ptr<Connection> first = server.accept();
    ASSERT_TRUE(first);
    LinkRequest link;
    ASSERT_TRUE(first->read_link(&link));
    EXPECT_EQ(2u, link.major);
    EXPECT_EQ(2u, link.minor);
    first->send_link_reply(0, {kCommonCapMiniHeader}, {}, 1, 3);

    std::unique_ptr<Connection> second = server.accept();
    ASSERT_TRUE(second);
    ASSERT_TRUE(second->read_link(&link));
    EXPECT_EQ(1u, link.major);
    EXPECT_EQ(3u, link.minor);
    second->send_link_reply(0, {kCommonCapMiniHeader}, {}, 1, 3);
    std::string password;
    ASSERT_TRUE(second->read_password(&password));
    second->send_link_result(0);
    ASSERT_TRUE(channel->wait_state(RedChannel::CONNECTED));
    EXPECT_EQ(1, client.get_protocol());
    EXPECT_EQ(spice_message_marshallers_get1(), channel->get_marshallers());
    EXPECT_EQ(0, channel->connect_failed_calls());
    EXPECT_EQ(0, client.disconnects());
}

TEST_F(ChannelTest, SecondVersionMismatchFails) {
    make_channel();
    channel->connect();
    for (uint32_t reply_major : {1u, 2u}) {
        std::unique_ptr<Connection> conn = server.accept();
        ASSERT_TRUE(conn);
        LinkRequest link;
        ASSERT_TRUE(conn->read_link(&link));
        conn->send_link_reply(0, {kCommonCapMiniHeader}, {}, reply_major, 2);
    }
    ASSERT_TRUE(client.wait_disconnects(1));
    EXPECT_EQ(std::vector<int>{11}, client.errors());
    EXPECT_EQ(1, channel->connect_failed_calls());
    EXPECT_FALSE(server.accept(100));
}

TEST_F(ChannelTest, PlainFailureRetriesOverTls) {
    client.type = RedPeer::ConnectionOptions::CON_OP_BOTH;
    client.port = refused_port();
    client.secure_port = server.port();
    make_channel();
    channel->connect();
    std::unique_ptr<Connection> conn = server.accept();
    ASSERT_TRUE(conn);
    ASSERT_TRUE(conn->start_tls(kTlsDir + "/server-cert.pem", kTlsDir + "/server-key.pem"));
    ASSERT_TRUE(conn->accept_link());
    ASSERT_TRUE(channel->wait_state(RedChannel::CONNECTED));
    EXPECT_EQ(0, channel->connect_failed_calls());

    conn->send_message(SPICE_MSG_PING, ping_body(3, 77, 100000));
    fake_spice::Message pong;
    ASSERT_TRUE(conn->read_message_of_type(SPICE_MSGC_PONG, &pong));
    EXPECT_EQ(ping_body(3, 77), pong.body);
}

TEST_F(ChannelTest, PlainFailureWithoutSecurePortReportsConnectFailure) {
    client.port = refused_port();
    make_channel();
    channel->connect();
    ASSERT_TRUE(client.wait_disconnects(1));
    EXPECT_EQ(std::vector<int>{3}, client.errors());
    EXPECT_EQ(1, channel->connect_failed_calls());
}

TEST_F(ChannelTest, VersionMismatchIsNotRetriedOverTls) {
    Server tls_server;
    client.type = RedPeer::ConnectionOptions::CON_OP_BOTH;
    client.secure_port = tls_server.port();
    client.protocol_option = 2;
    make_channel();
    channel->connect();
    std::unique_ptr<Connection> conn = server.accept();
    ASSERT_TRUE(conn);
    LinkRequest link;
    ASSERT_TRUE(conn->read_link(&link));
    conn->send_link_reply(0, {kCommonCapMiniHeader}, {}, 1, 3);
    ASSERT_TRUE(client.wait_disconnects(1));
    EXPECT_EQ(std::vector<int>{11}, client.errors());
    EXPECT_FALSE(tls_server.accept(100));
}

// ---- Worker states ----

TEST_F(ChannelTest, AbortEndsTheWorkerInEveryState) {
    {
        SCOPED_TRACE("never started");
        TestChannel ch(client);
        EXPECT_TRUE(ch.abort());
        EXPECT_EQ(RedChannel::NEW, ch.get_state());
    }
    {
        SCOPED_TRACE("disconnected");
        TestChannel ch(client);
        ch.start();
        EXPECT_EQ(RedChannel::DISCONNECTED, ch.get_state());
        EXPECT_TRUE(ch.abort_within(2000));
        EXPECT_EQ(RedChannel::TERMINATED, ch.get_state());
        EXPECT_TRUE(ch.abort()) << "a terminated channel aborts at once";
    }
    EXPECT_EQ(0, client.disconnects());
    {
        SCOPED_TRACE("connecting: the server never answers the link");
        TestChannel ch(client);
        ch.start();
        ch.connect();
        std::unique_ptr<Connection> conn = server.accept();
        ASSERT_TRUE(conn);
        LinkRequest link;
        ASSERT_TRUE(conn->read_link(&link));
        EXPECT_EQ(RedChannel::CONNECTING, ch.get_state());
        EXPECT_TRUE(ch.abort_within(2000));
        EXPECT_EQ(RedChannel::TERMINATED, ch.get_state());
        EXPECT_EQ(1, client.disconnects());
    }
    {
        SCOPED_TRACE("connected");
        std::unique_ptr<Connection> conn = connect_linked();
        ASSERT_TRUE(conn);
        EXPECT_TRUE(channel->abort_within(2000));
        EXPECT_EQ(RedChannel::TERMINATED, channel->get_state());
        EXPECT_EQ(2, client.disconnects());
        EXPECT_TRUE(conn->wait_closed());
    }
}

TEST_F(ChannelTest, DisconnectReportsOnceAndRequestsOutOfStateAreIgnored) {
    std::unique_ptr<Connection> conn = connect_linked();
    ASSERT_TRUE(conn);
    channel->connect();  // connected: nothing happens
    EXPECT_FALSE(server.accept(100));

    channel->disconnect();
    ASSERT_TRUE(client.wait_disconnects(1));
    EXPECT_TRUE(channel->wait_state(RedChannel::DISCONNECTED));
    EXPECT_TRUE(conn->wait_closed());
    EXPECT_FALSE(client.wait_disconnects(2, 300)) << "one ended connection, one report";

    channel->disconnect();  // disconnected: nothing happens
    EXPECT_FALSE(client.wait_disconnects(2, 200));

    channel->clear_shut();
    std::unique_ptr<Connection> again = connect_linked();
    ASSERT_TRUE(again);
    EXPECT_TRUE(probe(*again, 1));
}

TEST_F(ChannelTest, ServerCloseEndsTheConnectionOnceWithReceiveError) {
    std::unique_ptr<Connection> conn = connect_linked();
    ASSERT_TRUE(conn);
    conn->close();
    ASSERT_TRUE(client.wait_disconnects(1));
    EXPECT_EQ(std::vector<int>{6}, client.errors());
    EXPECT_EQ(RedChannel::DISCONNECTED, channel->get_state());
    EXPECT_FALSE(client.wait_disconnects(2, 300));
}

// ---- Message flow ----

TEST_F(ChannelTest, OutgoingQueueWaitsForTheConnectionAndDisconnectEmptiesIt) {
    make_channel();
    int releases = 0;
    channel->post_message(new CountedMessage(1, &releases));  // disconnected
    channel->connect();
    std::unique_ptr<Connection> conn = server.accept();
    ASSERT_TRUE(conn);
    LinkRequest link;
    ASSERT_TRUE(conn->read_link(&link));
    ASSERT_TRUE(channel->wait_state(RedChannel::CONNECTING));
    channel->post_message(new CountedMessage(2, &releases));  // connecting
    conn->send_link_reply(0, {kCommonCapMiniHeader}, {});
    std::string password;
    ASSERT_TRUE(conn->read_password(&password));
    conn->send_link_result(0);

    for (uint32_t value : {1u, 2u}) {
        fake_spice::Message m;
        ASSERT_TRUE(conn->read_message(&m));
        EXPECT_EQ(200, m.type);
        EXPECT_EQ(u32_body(value), m.body);
    }
    EXPECT_TRUE(wait_until(kWaitMs, [&] { return releases == 2; }));

    channel->disconnect();
    ASSERT_TRUE(client.wait_disconnects(1));
    channel->post_message(new CountedMessage(3, &releases));
    channel->disconnect();  // out of state, but the queue is emptied all the same
    EXPECT_EQ(3, releases);

    channel->clear_shut();
    std::unique_ptr<Connection> again = connect_linked();
    ASSERT_TRUE(again);
    channel->post_message(new CountedMessage(4, &releases));
    fake_spice::Message m;
    ASSERT_TRUE(again->read_message(&m));
    EXPECT_EQ(u32_body(4), m.body) << "the dropped message never went out";
}

TEST_F(ChannelTest, LargeMessagesGoOutWholeAndInOrder) {
    std::unique_ptr<Connection> conn = connect_linked();
    ASSERT_TRUE(conn);
    // Far more than the socket buffers take: the send stops at would-block and resumes on the socket's
    // events.
    const size_t kSize = 8 << 20;
    ::Message* big = new ::Message(201);
    uint8_t* data = spice_marshaller_reserve_space(big->marshaller(), kSize);
    for (size_t i = 0; i < kSize; i++) {
        data[i] = uint8_t(i * 31 + 7);
    }
    channel->post_message(big);
    int releases = 0;
    channel->post_message(new CountedMessage(9, &releases));
    Sleep(200);

    fake_spice::Message m;
    ASSERT_TRUE(conn->read_message(&m));
    ASSERT_EQ(201, m.type);
    ASSERT_EQ(kSize, m.body.size());
    bool same = true;
    for (size_t i = 0; i < kSize && same; i++) {
        same = m.body[i] == uint8_t(i * 31 + 7);
    }
    EXPECT_TRUE(same);
    ASSERT_TRUE(conn->read_message(&m));
    EXPECT_EQ(u32_body(9), m.body);
}

TEST_F(ChannelTest, PingIsAnsweredWithPongEvenWhenLarge) {
    std::unique_ptr<Connection> conn = connect_linked();
    ASSERT_TRUE(conn);
    conn->send_message(SPICE_MSG_PING, ping_body(9, 0x0102030405060708ull, 1 << 20));
    fake_spice::Message pong;
    ASSERT_TRUE(conn->read_message(&pong));
    EXPECT_EQ(SPICE_MSGC_PONG, pong.type);
    EXPECT_EQ(ping_body(9, 0x0102030405060708ull), pong.body);
}

TEST_F(ChannelTest, AckWindowAcknowledgesEveryWindowMessagesCountingListsOnce) {
    std::unique_ptr<Connection> conn = connect_linked();
    ASSERT_TRUE(conn);
    std::vector<uint8_t> set_ack;
    put32(set_ack, 7);  // generation
    put32(set_ack, 3);  // window
    conn->send_message(SPICE_MSG_SET_ACK, set_ack);
    fake_spice::Message m;
    ASSERT_TRUE(conn->read_message(&m));
    EXPECT_EQ(SPICE_MSGC_ACK_SYNC, m.type);
    EXPECT_EQ(u32_body(7), m.body);

    conn->send_message(kMsgMmTime, u32_body(1));
    conn->send_message(kMsgMmTime, u32_body(2));
    conn->send_message(SPICE_MSG_LIST, list_body({{kMsgMmTime, u32_body(3)}, {kMsgMmTime, u32_body(4)}}));
    ASSERT_TRUE(conn->read_message(&m));
    EXPECT_EQ(SPICE_MSGC_ACK, m.type);
    EXPECT_TRUE(m.body.empty());
    for (uint32_t v : {5u, 6u, 7u, 8u}) {
        conn->send_message(kMsgMmTime, u32_body(v));
    }
    ASSERT_TRUE(conn->read_message(&m));
    EXPECT_EQ(SPICE_MSGC_ACK, m.type);
    EXPECT_TRUE(channel->wait_mm_time(8));
    EXPECT_TRUE(conn->stays_silent(300)) << "the eighth message opens a new window";
    EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}), channel->mm_times());
}

TEST_F(ChannelTest, HarmlessMessagesKeepTheConnection) {
    std::unique_ptr<Connection> conn = connect_linked();
    ASSERT_TRUE(conn);
    conn->send_message(SPICE_MSG_LIST, list_body({}));
    // Parsed (raw) but no handler registered on this channel: ignored.
    conn->send_message(SPICE_MSG_MIGRATE_DATA, {1, 2, 3});
    // A notify without text and one with text.
    for (const std::string text : {"", "hello"}) {
        std::vector<uint8_t> notify;
        put64(notify, 1);
        put32(notify, 2);  // severity: error
        put32(notify, 2);  // visibility: !!!
        put32(notify, 42);
        put32(notify, uint32_t(text.size()));
        notify.insert(notify.end(), text.begin(), text.end());
        notify.push_back(0);  // the sender's NUL, outside the length
        conn->send_message(SPICE_MSG_NOTIFY, notify);
    }
    std::vector<uint8_t> disconnecting;
    put64(disconnecting, 0x1122334455ull);
    put32(disconnecting, 17);
    conn->send_message(SPICE_MSG_DISCONNECTING, disconnecting);
    ASSERT_TRUE(probe(*conn, 1));
    EXPECT_EQ(0x1122334455ull, channel->get_disconnect_stamp());
    EXPECT_EQ(17u, channel->get_disconnect_reason());
    EXPECT_EQ(0, client.disconnects());
    EXPECT_EQ(6u, client.serial()) << "every completed message counts once";
}

TEST_F(ChannelTest, MalformedMessagesEndTheConnection) {
    struct Case {
        const char* name;
        std::function<void(Connection&)> send;
        int error;
    };
    auto message = [](uint16_t type, std::vector<uint8_t> body) {
        return [type, body](Connection& c) { c.send_message(type, body); };
    };
    std::vector<uint8_t> count_past_body;
    put16(count_past_body, 5);
    put32(count_past_body, 6);
    std::vector<uint8_t> offset_outside;
    put16(offset_outside, 1);
    put32(offset_outside, 1000);
    std::vector<uint8_t> header_cut;
    put16(header_cut, 1);
    put32(header_cut, 6);
    put16(header_cut, kMsgMmTime);  // the size word is missing
    // Three offsets to one ping: one body must not make three messages.
    std::vector<uint8_t> repeated_offsets;
    put16(repeated_offsets, 3);
    for (int i = 0; i < 3; i++) {
        put32(repeated_offsets, 14);
    }
    put16(repeated_offsets, kMsgMmTime);
    put32(repeated_offsets, 4);
    put32(repeated_offsets, 5);
    std::vector<uint8_t> bad_severity;
    put64(bad_severity, 0);
    put32(bad_severity, 3);
    put32(bad_severity, 0);
    put32(bad_severity, 0);
    put32(bad_severity, 0);
    const Case cases[] = {
        {"list with no count", message(SPICE_MSG_LIST, {}), 1},
        {"list count past the body", message(SPICE_MSG_LIST, count_past_body), 1},
        {"list offset outside the body", message(SPICE_MSG_LIST, offset_outside), 1},
        {"sub-message header cut by the body's end", message(SPICE_MSG_LIST, header_cut), 1},
        {"list whose offsets repeat", message(SPICE_MSG_LIST, repeated_offsets), 1},
        {"sub-message too short for its layout",
         message(SPICE_MSG_LIST, list_body({{SPICE_MSG_SET_ACK, {1, 2}}})), 1},
        {"message too short for its layout", message(SPICE_MSG_SET_ACK, {1, 2, 3}), 1},
        {"type unknown to the channel", message(500, {}), 1},
        {"notify with bad severity", message(SPICE_MSG_NOTIFY, bad_severity), 1},
        {"body size above the cap",
         [](Connection& c) {
             std::vector<uint8_t> header;
             put16(header, kMsgMmTime);
             put32(header, 0x10000001);
             c.send_all(header);
         },
         6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestClient local;
        local.port = server.port();
        TestChannel ch(local);
        ch.start();
        ch.connect();
        std::unique_ptr<Connection> conn = server.accept();
        ASSERT_TRUE(conn);
        ASSERT_TRUE(conn->accept_link());
        c.send(*conn);
        ASSERT_TRUE(local.wait_disconnects(1));
        EXPECT_EQ(std::vector<int>{c.error}, local.errors());
        EXPECT_TRUE(ch.mm_times().empty()) << "nothing of a refused list is handled";
        EXPECT_TRUE(conn->wait_closed());
        EXPECT_TRUE(ch.abort_within());
        EXPECT_EQ(1, local.disconnects());
    }
}

TEST_F(ChannelTest, WaitForChannelsReachesTheClientAndSerialsArePublished) {
    std::unique_ptr<Connection> conn = connect_linked();
    ASSERT_TRUE(conn);
    std::vector<uint8_t> wait = {2, SPICE_CHANNEL_DISPLAY, 0};
    put64(wait, 1234);
    wait.push_back(SPICE_CHANNEL_CURSOR);
    wait.push_back(1);
    put64(wait, 99);
    conn->send_message(SPICE_MSG_WAIT_FOR_CHANNELS, wait);
    ASSERT_TRUE(probe(*conn, 1));
    std::vector<SpiceWaitForChannel> waits = client.waits();
    ASSERT_EQ(2u, waits.size());
    EXPECT_EQ(SPICE_CHANNEL_DISPLAY, waits[0].channel_type);
    EXPECT_EQ(1234u, waits[0].message_serial);
    EXPECT_EQ(SPICE_CHANNEL_CURSOR, waits[1].channel_type);
    EXPECT_EQ(1, waits[1].channel_id);
    EXPECT_EQ(99u, waits[1].message_serial);
    EXPECT_EQ(2u, client.serial());
}

TEST_F(ChannelTest, HeartbeatOnlyWhenTheServerTakesItAndAnIntervalIsSet) {
    struct Case {
        bool granted;
        uint32_t interval;
    };
    for (const Case& c : {Case{true, 1}, Case{false, 1}, Case{true, 0}}) {
        SCOPED_TRACE(std::string(c.granted ? "granted" : "not granted") + ", interval " +
                     std::to_string(c.interval));
        SessionBlock::set_u32(SessionBlock::HEARTBEAT_INTERVAL, c.interval);
        TestClient local;
        local.port = server.port();
        TestChannel ch(local);
        ch.start();
        ch.connect();
        std::unique_ptr<Connection> conn = server.accept();
        ASSERT_TRUE(conn);
        uint32_t word1 = c.granted ? kHeartbeatCommonWord1 : 0;
        ASSERT_TRUE(conn->accept_link(nullptr, {kCommonCapMiniHeader, word1}));
        if (c.granted && c.interval) {
            fake_spice::Message m;
            ASSERT_TRUE(conn->read_message(&m, 3000));
            EXPECT_EQ(SPICE_MSGC_HEARTBEAT, m.type);
            EXPECT_TRUE(m.body.empty());
        } else {
            EXPECT_TRUE(conn->stays_silent(1500));
        }
        EXPECT_TRUE(ch.abort_within());
    }
}

TEST_F(ChannelTest, MigrateFlushesThenPassesTheDataOn) {
    std::unique_ptr<Connection> conn = connect_linked();
    ASSERT_TRUE(conn);
    conn->send_message(SPICE_MSG_MIGRATE,
                       u32_body(SPICE_MIGRATE_NEED_FLUSH | SPICE_MIGRATE_NEED_DATA_TRANSFER));
    fake_spice::Message m;
    ASSERT_TRUE(conn->read_message(&m));
    EXPECT_EQ(SPICE_MSGC_MIGRATE_FLUSH_MARK, m.type);
    conn->send_message(SPICE_MSG_MIGRATE_DATA, {'s', 't', 'a', 't', 'e'});
    ASSERT_TRUE(conn->read_message(&m));
    EXPECT_EQ(SPICE_MSGC_MIGRATE_DATA, m.type);
    EXPECT_EQ((std::vector<uint8_t>{'s', 't', 'a', 't', 'e'}), m.body);
    EXPECT_EQ(1, client.migrations());
    // Back in the loop on the (here unchanged) connection.
    EXPECT_TRUE(probe(*conn, 5));
    EXPECT_EQ(RedChannel::CONNECTED, channel->get_state());
}

TEST_F(ChannelTest, PongGivesDelayAndQuality) {
    std::unique_ptr<Connection> conn = connect_linked();
    ASSERT_TRUE(conn);
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    uint32_t pongs_before;
    {
        NetworkStatsLock lock;
        pongs_before = lock.stats().pongs_received;
    }

    // Id 0 fills the whole window with one sample, here 105 ms plus the time the test takes to deliver it
    // (which a loaded machine can stretch): no loss, an average from 100 ms to 150 ms gives quality 1, above
    // it 0.
    QueryPerformanceCounter(&now);
    conn->send_message(SPICE_MSG_MAIN_PONG,
                       ping_body(0, uint64_t(now.QuadPart) - uint64_t(frequency.QuadPart) * 105 / 1000));
    ASSERT_TRUE(probe(*conn, 1));
    ASSERT_EQ(1u, client.qualities().size());
    EXPECT_GE(client.qualities()[0].second, 105000u);
    EXPECT_LT(client.qualities()[0].second, 1000000u);
    EXPECT_EQ(client.qualities()[0].second < 150000u ? 1 : 0, client.qualities()[0].first);
    EXPECT_EQ(0, client.icmp_calls());

    // Two seconds late: the echo is tried (and fails here); the delay is capped at one second.
    QueryPerformanceCounter(&now);
    conn->send_message(SPICE_MSG_MAIN_PONG,
                       ping_body(5, uint64_t(now.QuadPart) - 2 * uint64_t(frequency.QuadPart)));
    ASSERT_TRUE(probe(*conn, 2));
    EXPECT_EQ(1, client.icmp_calls());
    EXPECT_EQ((std::pair<int, uint32_t>(0, 1000000)), client.qualities().back());

    // A successful echo below 200 ms replaces the delay.
    client.icmp_ok = true;
    client.icmp_seconds = 0.01;
    QueryPerformanceCounter(&now);
    conn->send_message(SPICE_MSG_MAIN_PONG,
                       ping_body(6, uint64_t(now.QuadPart) - 2 * uint64_t(frequency.QuadPart)));
    ASSERT_TRUE(probe(*conn, 3));
    EXPECT_EQ(10000u, client.qualities().back().second);
    NetworkStatsLock lock;
    EXPECT_EQ(6u, lock.stats().last_pong_id);
    EXPECT_EQ(10000u, lock.stats().delay_us);
    EXPECT_EQ(pongs_before + 2, lock.stats().pongs_received);
    EXPECT_EQ(1u, lock.stats().icmp_state);
}

}  // namespace
