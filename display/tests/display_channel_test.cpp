// The display channel against a scripted server: plain and compact headers, both list forms, the compressed
// body that cannot be expanded, surfaces made and destroyed, draw messages into a small surface against the
// pixels they must leave, and the caches. The application loop runs on a thread of its own, as the main
// loop would.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "app/red_client.h"
#include "codecs/glz_decoded_image.h"
#include "display/display_channel.h"
#include "platform/session_block.h"
#include "support/fake_application.h"
#include "transport/tests/support/channel_test_support.h"
#include "transport/tests/support/fake_spice_server.h"

using namespace channel_test;
using namespace fake_spice;

namespace {

const uint32_t kSide = 8;
const uint32_t kOptWanWord1 = 1u << (SPICE_DISPLAY_CAP_COMPACT_DRAWS - 32);

struct Bytes {
    std::vector<uint8_t> b;
    Bytes& u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Bytes& u16(uint16_t v) {
        put16(b, v);
        return *this;
    }
    Bytes& u32(uint32_t v) {
        put32(b, v);
        return *this;
    }
    Bytes& u64(uint64_t v) {
        put64(b, v);
        return *this;
    }
    Bytes& raw(const std::vector<uint8_t>& more) {
        b.insert(b.end(), more.begin(), more.end());
        return *this;
    }
    // A draw message's base: surface, box (sent top, left, bottom, right) and no clip.
    Bytes& base(uint32_t surface, int32_t left, int32_t top, int32_t right, int32_t bottom) {
        return u32(surface)
            .u32(uint32_t(top))
            .u32(uint32_t(left))
            .u32(uint32_t(bottom))
            .u32(uint32_t(right))
            .u8(0);
    }
    Bytes& no_mask() { return u8(0).u32(0).u32(0).u32(0); }
};

std::vector<uint8_t> surface_create(uint32_t id, uint32_t width, uint32_t height, uint32_t flags,
                                    uint32_t format = 32) {
    return Bytes().u32(id).u32(width).u32(height).u32(format).u32(flags).b;
}

std::vector<uint8_t> fill(uint32_t surface, int32_t l, int32_t t, int32_t r, int32_t b, uint32_t color) {
    return Bytes()
        .base(surface, l, t, r, b)
        .u8(SPICE_BRUSH_TYPE_SOLID)
        .u32(color)
        .u16(SPICE_ROPD_OP_PUT)
        .no_mask()
        .b;
}

// A compact sub-header: flags (size bytes - 1, bit 2 when a code follows), the code, the size.
std::vector<uint8_t> compact(int code, const std::vector<uint8_t>& body) {
    Bytes h;
    uint32_t size = uint32_t(body.size());
    uint8_t size_len = size < 0x100 ? 1 : size < 0x10000 ? 2 : 4;
    h.u8(uint8_t((size_len - 1) | (code >= 0 ? 4 : 0)));
    if (code >= 0) {
        h.u8(uint8_t(code));
    }
    for (uint8_t i = 0; i < size_len; i++) {
        h.u8(uint8_t(size >> (8 * i)));
    }
    return h.raw(body).b;
}

std::vector<uint8_t> plain_sub(uint16_t type, const std::vector<uint8_t>& body) {
    return Bytes().u16(type).u32(uint32_t(body.size())).raw(body).b;
}

// Type 8: count, offsets from the body start, the sub-messages.
std::vector<uint8_t> offset_list(const std::vector<std::vector<uint8_t>>& subs) {
    Bytes list;
    list.u16(uint16_t(subs.size()));
    uint32_t at = 2 + 4 * uint32_t(subs.size());
    for (const auto& sub : subs) {
        list.u32(at);
        at += uint32_t(sub.size());
    }
    for (const auto& sub : subs) {
        list.raw(sub);
    }
    return list.b;
}

std::vector<uint8_t> sequential_list(const std::vector<std::vector<uint8_t>>& subs) {
    Bytes list;
    list.raw(std::vector<uint8_t>(16, 0));
    for (const auto& sub : subs) {
        list.raw(sub);
    }
    return list.b;
}

class DisplayChannelTest : public testing::Test {
protected:
    void SetUp() override {
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);
    }

    // Links with the mini header and channel word 1 (opt-WAN and what else the server grants); link receives
    // the client's link message.
    void start(bool opt_wan, uint32_t word1 = 0, LinkRequest* link = nullptr) {
        app.canvas_types = {CANVAS_TYPE_SW};
        loop_thread = std::thread([this] {
            while (!stop_loop) {
                app.run_events();
                Sleep(1);
            }
        });
        client.port = server.port();
        channel.reset(new DisplayChannel(client, 0, app, images));
        channel->start();
        channel->connect();
        conn = server.accept();
        ASSERT_TRUE(conn && conn->accept_link(link, {kCommonCapMiniHeader},
                                              {0, word1 | (opt_wan ? kOptWanWord1 : 0)}));
        ASSERT_TRUE(wait_until(kWaitMs, [this] { return channel->get_state() == RedChannel::CONNECTED; }));
        ASSERT_EQ(opt_wan, channel->opt_wan());
        fake_spice::Message init;
        ASSERT_TRUE(conn->read_message_of_type(SPICE_MSGC_DISPLAY_INIT, &init));
    }

    void TearDown() override {
        conn.reset();
        if (channel) {
            EXPECT_TRUE(wait_until(kWaitMs, [this] { return channel->abort(); }));
        }
        channel.reset();
        stop_loop = true;
        if (loop_thread.joinable()) {
            loop_thread.join();
        }
        SessionBlock::clear();
    }

    // A message in the channel's framing: the mini header, or a compact header in the opt-WAN mode.
    void send(uint16_t type, const std::vector<uint8_t>& body) { conn->send_message(type, body); }

    // True once the channel handled everything sent before (it answers a ping in order); false when it
    // closed the connection instead.
    bool synced() {
        std::vector<uint8_t> ping = Bytes().u32(77).u64(0).b;
        if (channel->opt_wan()) {
            conn->send_all(compact(4, ping));
        } else {
            conn->send_message(SPICE_MSG_PING, ping);
        }
        fake_spice::Message message;
        while (conn->read_message(&message, 10000)) {
            if (message.type == SPICE_MSGC_PONG) {
                return true;
            }
        }
        return false;
    }

    // The pixel of a surface (0xRRGGBB); 0xFFFFFFFF when the surface does not exist.
    uint32_t pixel(uint32_t surface, int x, int y) {
        Canvas* canvas = channel->canvas_of(surface);
        if (!canvas) {
            return 0xFFFFFFFF;
        }
        SpiceCanvas* c = canvas->get_internal_canvas();
        uint32_t value = 0;
        SpiceRect area = {x, y, x + 1, y + 1};
        c->ops->read_bits(c, reinterpret_cast<uint8_t*>(&value), 4, &area);
        return value & 0xFFFFFF;
    }

    FakeApplication app;
    std::atomic<bool> stop_loop{false};
    std::thread loop_thread;
    Server server;
    TestClient client;
    DisplaySharedImages images;
    std::unique_ptr<DisplayChannel> channel;
    std::unique_ptr<Connection> conn;
};

TEST(CompactCodes, MapToMessageTypes) {
    struct Case {
        uint8_t code;
        uint16_t type;
    };
    const Case cases[] = {{0, 0},         {1, 1},         {9, 9},    {10, 0},   {31, 0},     {32, 101},
                          {39, 108},      {40, 122},      {44, 126}, {45, 302}, {0x2F, 304}, {62, 319},
                          {63, 360},      {0x40, 361},    {66, 363}, {67, 800}, {68, 0},     {0x7F, 0},
                          {0xAD, 0x812E}, {0x81, 0x8001}, {0x80, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.type, DisplayChannel::compact_type(c.code)) << "code " << int(c.code);
    }
}

TEST_F(DisplayChannelTest, SurfacesAreMadeReplacedAndDestroyed) {
    start(false);
    send(SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(0, kSide, kSide, 1));
    send(SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(3, 4, 4, 0));
    ASSERT_TRUE(synced());
    EXPECT_TRUE(channel->has_surface(0));
    EXPECT_TRUE(channel->has_surface(3));
    EXPECT_NE(nullptr, channel->screen()) << "the primary surface attaches the layer";

    // A surface made again replaces the old one (the old canvas is deleted first).
    send(SPICE_MSG_DISPLAY_DRAW_FILL, fill(3, 0, 0, 4, 4, 0x112233));
    ASSERT_TRUE(synced());
    EXPECT_EQ(0x112233u, pixel(3, 1, 1));
    send(SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(3, 4, 4, 0));
    ASSERT_TRUE(synced());
    EXPECT_EQ(0u, pixel(3, 1, 1));

    // Flags bit 0 makes the primary surface whatever the id; a 24-bit mode makes a 16-bit one.
    send(SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(5, kSide, kSide, 1));
    ASSERT_TRUE(synced());
    EXPECT_FALSE(channel->has_surface(5));
    EXPECT_TRUE(channel->has_surface(0));

    send(SPICE_MSG_DISPLAY_SURFACE_DESTROY, Bytes().u32(3).b);
    send(SPICE_MSG_DISPLAY_SURFACE_DESTROY, Bytes().u32(9).b);  // unknown: logged only
    ASSERT_TRUE(synced());
    EXPECT_FALSE(channel->has_surface(3));
    send(SPICE_MSG_DISPLAY_SURFACE_DESTROY, Bytes().u32(0).b);
    ASSERT_TRUE(synced());
    EXPECT_FALSE(channel->has_surface(0));
    EXPECT_EQ(nullptr, channel->screen()) << "destroying the primary surface detaches the layer";
    EXPECT_EQ(0, client.disconnects());
}

TEST_F(DisplayChannelTest, DrawsLeaveTheirPixels) {
    start(false);
    send(SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(0, kSide, kSide, 1));
    struct Case {
        const char* name;
        uint16_t type;
        std::vector<uint8_t> body;
        uint32_t inside;   // at (2, 2)
        uint32_t outside;  // at (6, 6)
    };
    const uint32_t red = 0xFF0000;
    const Case cases[] = {
        {"fill", SPICE_MSG_DISPLAY_DRAW_FILL, fill(0, 0, 0, 4, 4, red), red, 0},
        {"whiteness", SPICE_MSG_DISPLAY_DRAW_WHITENESS, Bytes().base(0, 0, 0, 4, 4).no_mask().b, 0xFFFFFF, 0},
        {"invers", SPICE_MSG_DISPLAY_DRAW_INVERS, Bytes().base(0, 0, 0, 8, 8).no_mask().b, 0, 0xFFFFFF},
        {"blackness", SPICE_MSG_DISPLAY_DRAW_BLACKNESS, Bytes().base(0, 4, 4, 8, 8).no_mask().b, 0, 0},
        // The top-left quarter (now black) copied over the whole of the bottom-right one after a white fill.
        {"fill white", SPICE_MSG_DISPLAY_DRAW_FILL, fill(0, 0, 0, 8, 8, 0xFFFFFF), 0xFFFFFF, 0xFFFFFF},
        {"fill corner", SPICE_MSG_DISPLAY_DRAW_FILL, fill(0, 0, 0, 4, 4, 0x0000FF), 0x0000FF, 0xFFFFFF},
        {"copy bits", SPICE_MSG_DISPLAY_COPY_BITS, Bytes().base(0, 4, 4, 8, 8).u32(0).u32(0).b, 0x0000FF,
         0x0000FF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        send(c.type, c.body);
        ASSERT_TRUE(synced());
        EXPECT_EQ(c.inside, pixel(0, 2, 2));
        EXPECT_EQ(c.outside, pixel(0, 6, 6));
    }
    // A draw to a surface that does not exist is skipped; the channel goes on.
    send(SPICE_MSG_DISPLAY_DRAW_FILL, fill(7, 0, 0, 4, 4, red));
    ASSERT_TRUE(synced());
    EXPECT_EQ(0, client.disconnects());
}

struct Malformed {
    const char* name;
    uint16_t type;
    std::vector<uint8_t> body;
};

std::ostream& operator<<(std::ostream& out, const Malformed& m) {
    return out << m.name;
}

std::vector<uint8_t> sub_message_past_the_body() {
    std::vector<uint8_t> list = sequential_list({plain_sub(SPICE_MSG_DISPLAY_MARK, {})});
    list[16 + 2] = 1;  // declared size 1, no byte left
    return list;
}

const Malformed kMalformed[] = {
    {"surface_too_wide", SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(1, 0x10000, 1, 0)},
    {"surface_area_too_large", SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(1, 0x4000, 0x4001, 0)},
    {"surface_size_wraps", SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(0, 0x80000000u, 2, 1)},
    {"empty_surface", SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(0, 0, 4, 1)},
    {"mode_too_large", SPICE_MSG_DISPLAY_MODE, Bytes().u32(0x40000000).u32(0x40000000).u32(32).b},
    {"list_in_a_list", SPICE_MSG_LIST,
     offset_list({plain_sub(SPICE_MSG_LIST, offset_list({plain_sub(SPICE_MSG_DISPLAY_MARK, {})}))})},
    {"sequential_list_in_a_list", SPICE_MSG_SEQUENTIAL_LIST,
     sequential_list({plain_sub(SPICE_MSG_SEQUENTIAL_LIST, sequential_list({}))})},
    {"sequential_list_in_an_offset_list", SPICE_MSG_LIST,
     offset_list({plain_sub(SPICE_MSG_SEQUENTIAL_LIST, sequential_list({}))})},
    {"sequential_list_shorter_than_its_prefix", SPICE_MSG_SEQUENTIAL_LIST, std::vector<uint8_t>(15, 0)},
    {"sub_message_past_the_body", SPICE_MSG_SEQUENTIAL_LIST, sub_message_past_the_body()},
    {"offset_outside_the_body", SPICE_MSG_LIST, Bytes().u16(1).u32(100).b},
    {"offsets_past_the_body", SPICE_MSG_LIST, Bytes().u16(3).u32(14).b},
    {"inval_list_of_another_resource_type", SPICE_MSG_DISPLAY_INVAL_LIST, Bytes().u16(1).u8(2).u64(1).b},
    {"unknown_palette", SPICE_MSG_DISPLAY_INVAL_PALETTE, Bytes().u64(5).b},
};

class MalformedMessageTest : public DisplayChannelTest, public testing::WithParamInterface<Malformed> {};

TEST_P(MalformedMessageTest, EndsTheChannel) {
    start(false);
    send(GetParam().type, GetParam().body);
    EXPECT_FALSE(synced());
    EXPECT_TRUE(client.wait_disconnects(1));
}

INSTANTIATE_TEST_SUITE_P(Display, MalformedMessageTest, testing::ValuesIn(kMalformed),
                         [](const testing::TestParamInfo<Malformed>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(DisplayChannelTest, PlainListsDispatchEverySubMessage) {
    start(false);
    send(SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(0, kSide, kSide, 1));
    send(SPICE_MSG_LIST,
         offset_list({plain_sub(SPICE_MSG_DISPLAY_DRAW_FILL, fill(0, 0, 0, 8, 8, 0x0000FF)),
                      plain_sub(SPICE_MSG_DISPLAY_DRAW_FILL, fill(0, 0, 0, 4, 4, 0x00FF00))}));
    send(SPICE_MSG_SEQUENTIAL_LIST,
         sequential_list({plain_sub(SPICE_MSG_DISPLAY_DRAW_FILL, fill(0, 4, 4, 8, 8, 0xFF0000)),
                          plain_sub(SPICE_MSG_DISPLAY_MARK, {})}));
    send(SPICE_MSG_SEQUENTIAL_LIST, sequential_list({}));  // the prefix alone: nothing
    send(SPICE_MSG_LIST, Bytes().u16(0).b);                // count 0: nothing
    // Parsed, but without a handler: dropped.
    send(SPICE_MSG_DISPLAY_MONITORS_CONFIG, Bytes().u16(0).u16(1).b);
    ASSERT_TRUE(synced());
    EXPECT_EQ(0x00FF00u, pixel(0, 2, 2));
    EXPECT_EQ(0xFF0000u, pixel(0, 6, 6));
    EXPECT_EQ(0x0000FFu, pixel(0, 6, 2));
    EXPECT_EQ(0, client.disconnects());
}

TEST_F(DisplayChannelTest, CompactHeadersCarryAndRememberTheType) {
    start(true);
    const int code_surface_create = 45 + 12;  // 314
    const int code_cache_copy = 0x40;         // 361
    // Flags 0x07: a code byte and four size bytes; then a header without a code byte: the same type again.
    // A compressed cache copy (dropped: no compression level was announced) is not remembered: the
    // code-less header after it is still a surface create.
    conn->send_all(
        Bytes().u8(0x07).u8(code_surface_create).u32(20).raw(surface_create(0, kSide, kSide, 1)).b);
    conn->send_all(compact(-1, surface_create(2, 4, 4, 0)));
    conn->send_all(compact(0x80 | code_cache_copy, {1, 2, 3}));
    conn->send_all(compact(-1, surface_create(6, 4, 4, 0)));
    ASSERT_TRUE(synced());
    EXPECT_TRUE(channel->has_surface(0));
    EXPECT_TRUE(channel->has_surface(2));
    EXPECT_TRUE(channel->has_surface(6));
    EXPECT_EQ(0, client.disconnects());

    // A size above the cap ends the channel before any body byte is read.
    conn->send_all(
        Bytes().u8(0x07).u8(code_surface_create).u32(DisplayChannel::MAX_COMPACT_MESSAGE_SIZE + 1).b);
    EXPECT_FALSE(synced());
    EXPECT_TRUE(client.wait_disconnects(1));
}

TEST_F(DisplayChannelTest, CompactListsAndTheRememberedType) {
    start(true);
    const int code_surface_create = 45 + 12;
    const int code_destroy = 45 + 13;  // 315
    // Sequential list: the first sub-header names the type, the second reuses it.
    conn->send_all(
        compact(9, sequential_list({compact(code_surface_create, surface_create(0, kSide, kSide, 1)),
                                    compact(-1, surface_create(4, 4, 4, 0))})));
    ASSERT_TRUE(synced());
    EXPECT_TRUE(channel->has_surface(0));
    EXPECT_TRUE(channel->has_surface(4));
    // Offset list: a destroy, then a top-level code-less header, which has the list's last type.
    conn->send_all(compact(8, offset_list({compact(code_destroy, Bytes().u32(4).b)})));
    conn->send_all(compact(-1, Bytes().u32(0).b));
    ASSERT_TRUE(synced());
    EXPECT_FALSE(channel->has_surface(4));
    EXPECT_FALSE(channel->has_surface(0));
    EXPECT_EQ(0, client.disconnects());
}

TEST_F(DisplayChannelTest, CompressedBodyWithoutACompressionLevelIsDropped) {
    start(true);
    conn->send_all(compact(0x80 | (45 + 12), {1, 2, 3}));  // compressed surface create
    conn->send_all(compact(45 + 12, surface_create(0, kSide, kSide, 1)));
    ASSERT_TRUE(synced());
    EXPECT_TRUE(channel->has_surface(0));
    EXPECT_EQ(0, client.disconnects());
}

TEST_F(DisplayChannelTest, CacheBuildAreaMustLieInTheSurface) {
    start(false);
    send(SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(0, kSide, kSide, 1));
    auto build = [](uint64_t id, uint8_t format, int32_t l, int32_t t, int32_t r, int32_t b) {
        return Bytes()
            .u64(id)
            .u8(format)
            .u8(0)
            .u32(0)
            .u32(0)
            .u32(0)
            .u32(0)
            .u32(uint32_t(t))
            .u32(uint32_t(l))
            .u32(uint32_t(b))
            .u32(uint32_t(r))
            .b;
    };
    send(SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD, build(1, 8, 0, 0, 4, 4));   // kept
    send(SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD, build(2, 8, 4, 4, 9, 8));   // past the right edge
    send(SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD, build(3, 8, 4, 4, 2, 8));   // right before left
    send(SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD, build(4, 8, -1, 0, 2, 2));  // negative
    send(SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD, build(5, 99, 0, 0, 2, 2));  // unknown format
    ASSERT_TRUE(synced());
    EXPECT_EQ(0, client.disconnects());
    // Only id 1 is held: removing it works once, any other id ends the channel.
    send(SPICE_MSG_DISPLAY_INVAL_LIST, Bytes().u16(1).u8(1).u64(1).b);
    ASSERT_TRUE(synced());
    send(SPICE_MSG_DISPLAY_INVAL_LIST, Bytes().u16(1).u8(1).u64(2).b);
    EXPECT_FALSE(synced());
}

// ---- The video plug-in ----

const uint32_t kVideoPluginWord1 = 1u << (DisplayChannel::CAP_VIDEO_PLUGIN - 32);

// A display channel whose link offer can be read without a server, on a direct or a tunnelled connection.
class OfferProbe : public DisplayChannel {
public:
    using DisplayChannel::DisplayChannel;
    ChannelCaps offer(bool tunnelled) {
        set_tunnelled(tunnelled);
        before_send_link_msg();
        return get_caps();
    }
};

TEST(VideoPluginOffer, GraphicTypeForceAndTunnel) {
    struct Case {
        uint32_t graphic;
        uint32_t force;
        uint32_t on_tunnel;
        bool tunnelled;
        bool offered;
    };
    const Case cases[] = {
        {0, 1, 0, false, true},  {1, 1, 0, false, true},  {3, 1, 0, true, true},  {2, 1, 1, true, false},
        {4, 1, 0, false, false}, {0, 0, 1, true, true},   {3, 0, 1, true, true},  {0, 0, 1, false, false},
        {0, 0, 0, true, false},  {1, 0, 0, false, false}, {2, 0, 1, true, false},
    };
    FakeApplication app;
    TestClient client;
    DisplaySharedImages images;
    for (const Case& c : cases) {
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::GRAPHIC_TYPE, c.graphic);
        SessionBlock::set_u32(SessionBlock::VIDEO_PLUGIN, c.force);
        SessionBlock::set_u32(SessionBlock::VIDEO_PLUGIN_TUNNEL, c.on_tunnel);
        SessionBlock::set_u32(964, 0xC4C4C4C4);
        SessionBlock::set_u32(968, 0xC5C5C5C5);
        OfferProbe channel(client, 0, app, images);
        ChannelCaps caps = channel.offer(c.tunnelled);
        std::string row = "graphic " + std::to_string(c.graphic) + " force " + std::to_string(c.force) +
                          " on tunnel " + std::to_string(c.on_tunnel) +
                          (c.tunnelled ? " tunnelled" : " direct");
        EXPECT_EQ(c.offered, caps_has(caps, DisplayChannel::CAP_VIDEO_PLUGIN)) << row;
        EXPECT_TRUE(caps_has(caps, SPICE_DISPLAY_CAP_COMPACT_DRAWS)) << row << ": the other bits stay";
        if (c.offered) {
            ASSERT_GE(caps.size(), 6u) << row;
            EXPECT_EQ(0xC4C4C4C4u, caps[4]) << row;
            EXPECT_EQ(0xC5C5C5C5u, caps[5]) << row;
        } else {
            EXPECT_LE(caps.size(), 2u) << row;
        }
    }
    SessionBlock::clear();
}

// The stand-in plug-in (built beside this test as the library the wrapper loads by name) and its hooks.
class VideoPluginTest : public DisplayChannelTest {
protected:
    void SetUp() override {
        DisplayChannelTest::SetUp();
        SessionBlock::set_u32(SessionBlock::VIDEO_PLUGIN, 1);
        SessionBlock::set_u32(964, 0x1234);
        SessionBlock::set_u32(968, 0x5678);
        module = LoadLibraryA("libmix.dll");
        ASSERT_NE(nullptr, module) << "the stand-in plug-in is copied beside the test";
        reset = export_of<void (*)()>("stub_reset");
        block = export_of<void (*)(int, void*)>("stub_block");
        push_count = export_of<size_t (*)()>("stub_push_count");
        pushed = export_of<size_t (*)(size_t, uint8_t*)>("stub_pushed");
        calls = export_of<int (*)(int)>("stub_calls");
        ASSERT_TRUE(reset && block && push_count && pushed && calls);
        reset();
        MixWrapper::get_instance().set_display_size(0, 0);
    }
    void TearDown() override {
        DisplayChannelTest::TearDown();
        MixWrapper::get_instance().set_enabled(false);
        if (module) {
            FreeLibrary(module);
        }
    }
    template <typename Proc>
    Proc export_of(const char* name) {
        return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    }
    MixPluginBlock block_of(int which) {
        MixPluginBlock b = {};
        block(which, &b);
        return b;
    }

    HMODULE module = nullptr;
    void (*reset)() = nullptr;
    void (*block)(int, void*) = nullptr;
    size_t (*push_count)() = nullptr;
    size_t (*pushed)(size_t, uint8_t*) = nullptr;
    int (*calls)(int) = nullptr;  // 0 uninit decode, 1 uninit plug-in
};

std::vector<uint8_t> fragment(uint32_t id, uint64_t frame_id, uint32_t index, bool last,
                              const std::vector<uint8_t>& data) {
    return Bytes()
        .u32(id)
        .u64(frame_id)
        .u32(index)
        .u16(0)
        .u16(last ? 1 : 0)
        .u32(uint32_t(data.size()))
        .raw(data)
        .b;
}

TEST_F(VideoPluginTest, OfferedGrantedStartedFedAndStopped) {
    LinkRequest link;
    start(false, kVideoPluginWord1, &link);
    ASSERT_GE(link.channel_caps.size(), 6u);
    EXPECT_TRUE(link.channel_caps[1] & kVideoPluginWord1);
    EXPECT_EQ(0x1234u, link.channel_caps[4]);
    EXPECT_EQ(0x5678u, link.channel_caps[5]);
    ASSERT_TRUE(synced());
    MixWrapper& mix = MixWrapper::get_instance();
    EXPECT_TRUE(mix.enabled());
    EXPECT_TRUE(mix.loaded());
    EXPECT_EQ(1920u, block_of(0).width) << "the plug-in was started on connect";

    // A primary surface larger than a video frame: the decoder gets the clamped size, the surface and the
    // display keep the message's.
    send(SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(0, 2000, 1300, 1));
    ASSERT_TRUE(synced());
    EXPECT_TRUE(channel->has_surface(0));
    EXPECT_EQ(1920u, block_of(1).width);
    EXPECT_EQ(1200u, block_of(1).height);
    EXPECT_EQ(2000u, mix.display_width());
    EXPECT_EQ(1300u, mix.display_height());

    // A frame in two fragments: each acknowledged in order, the whole frame pushed once.
    std::vector<uint8_t> frame = Bytes().u32(9).u32(3).u32(2).u8(1).u8(2).u8(3).u8(4).u8(5).b;
    send(SPICE_MSG_DISPLAY_VIDEO_FRAGMENT,
         fragment(0xA1, 1, 1, false, std::vector<uint8_t>(frame.begin(), frame.begin() + 10)));
    send(SPICE_MSG_DISPLAY_VIDEO_FRAGMENT,
         fragment(0xA2, 1, 2, true, std::vector<uint8_t>(frame.begin() + 10, frame.end())));
    for (uint32_t index : {1u, 2u}) {
        fake_spice::Message ack;
        ASSERT_TRUE(conn->read_message_of_type(SPICE_MSGC_DISPLAY_VIDEO_FRAGMENT_ACK, &ack));
        EXPECT_EQ(Bytes().u32(0xA0 + index).u32(1).u32(0).u32(index).b, ack.body);
    }
    ASSERT_EQ(1u, push_count());
    std::vector<uint8_t> got(pushed(0, nullptr));
    pushed(0, got.data());
    EXPECT_EQ(frame, got);

    // Off-screen surfaces neither resize the display nor stop the decoder; the primary surface's end does.
    send(SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(2, 16, 16, 0));
    send(SPICE_MSG_DISPLAY_SURFACE_DESTROY, Bytes().u32(2).b);
    ASSERT_TRUE(synced());
    EXPECT_EQ(2000u, mix.display_width());
    EXPECT_EQ(1300u, mix.display_height());
    EXPECT_EQ(0, calls(0));
    send(SPICE_MSG_DISPLAY_SURFACE_DESTROY, Bytes().u32(0).b);
    ASSERT_TRUE(synced());
    EXPECT_EQ(1, calls(0));

    // The next primary surface takes the display's size, larger than a frame; the decoder the message's.
    send(SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(0, 800, 600, 1));
    ASSERT_TRUE(synced());
    EXPECT_EQ(800u, block_of(1).width);
    EXPECT_EQ(600u, block_of(1).height);
    EXPECT_EQ(2000u, mix.display_width());
    EXPECT_EQ(1300u, mix.display_height());

    EXPECT_EQ(0, calls(1));
    conn.reset();
    EXPECT_TRUE(wait_until(kWaitMs, [this] { return calls(1) == 1; })) << "disconnect stops the plug-in";
}

TEST_F(VideoPluginTest, NotGrantedLeavesThePluginAlone) {
    LinkRequest link;
    start(false, 0, &link);
    EXPECT_TRUE(link.channel_caps[1] & kVideoPluginWord1) << "offered";
    ASSERT_TRUE(synced());
    EXPECT_FALSE(MixWrapper::get_instance().enabled());
    send(SPICE_MSG_DISPLAY_SURFACE_CREATE, surface_create(0, 2000, 1300, 1));
    send(SPICE_MSG_DISPLAY_VIDEO_FRAGMENT, fragment(1, 1, 1, true, Bytes().u32(0).u32(0).u32(0).b));
    send(SPICE_MSG_DISPLAY_SURFACE_DESTROY, Bytes().u32(0).b);
    ASSERT_TRUE(synced());
    EXPECT_EQ(0u, block_of(1).width);
    EXPECT_EQ(0u, push_count());
    EXPECT_EQ(0, calls(0));
    EXPECT_EQ(0, client.disconnects());
}

// ---- The session's shared images ----

class NoListener : public RedClient::Listener {
public:
    void on_connected() override {}
    void on_disconnected(int) override {}
    void on_mouse_mode_changed(uint32_t) override {}
    void on_connect_failed() override {}
};

TEST(SharedImages, TheClientsConnectEmptiesThem) {
    SessionBlock::clear();
    SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);
    ProcessLoop loop(nullptr);
    std::thread loop_thread([&loop] { loop.run(); });
    NoListener listener;
    Server server;
    {
        RedClient client(loop, listener);
        client.set_target("127.0.0.1", server.port(), -1, 0);
        FakeApplication app;
        DisplayFactory factory(&app);
        DisplaySharedImages& images = factory.images_of(client);

        pixman_image_t* image = pixman_image_create_bits(PIXMAN_x8r8g8b8, 2, 2, nullptr, 0);
        images.pixmap_cache.add(7, image);
        canvas_image_unref(image);
        GlzDecoderWindow::State fresh = images.glz_window.get_state();
        for (uint64_t id = 0; id < 3; id++) {
            uint64_t first = 0;
            images.glz_window.pre_decode_update_window(id, 0, &first);
            images.glz_window.finish_image(new GlzDecodedImage(id, 0, nullptr, 1, 4));
        }
        ASSERT_NE(fresh.tail_id, images.glz_window.get_state().tail_id);

        client.connect();
        EXPECT_THROW(images.pixmap_cache.remove(7), Exception) << "the cached pixmap is gone";
        GlzDecoderWindow::State now = images.glz_window.get_state();
        EXPECT_EQ(fresh.tail_id, now.tail_id);
        EXPECT_EQ(fresh.image_count, now.image_count);
        EXPECT_EQ(fresh.missing_count, now.missing_count);
        while (!client.abort()) {
        }
    }
    loop.quit(0);
    loop_thread.join();
    SessionBlock::clear();
}

TEST(PixmapCacheUse, DoublePutNeedsTwoRemoves) {
    PixmapCache cache;
    pixman_image_t* image = pixman_image_create_bits(PIXMAN_x8r8g8b8, 2, 2, nullptr, 0);
    cache.add(7, image);
    cache.add(7, image);
    cache.remove(7);
    pixman_image_t* held = cache.get(7);
    EXPECT_EQ(image, held);
    canvas_image_unref(held);
    cache.remove(7);
    EXPECT_THROW(cache.remove(7), Exception);
    canvas_image_unref(image);
}

TEST(PaletteCacheTest, PutGetRemoveAndCounts) {
    PaletteCache cache;
    uint32_t first[] = {0x010203, 0x040506};
    uint32_t second[] = {0xAAAAAA};
    SpicePalette a = {42, 2, first};
    SpicePalette b = {42, 1, second};
    cache.put(a);
    cache.put(b);  // a double insert keeps the first copy
    EXPECT_EQ(1u, cache.count());
    SpicePalette* got = cache.ops->get(&cache, 42);
    ASSERT_EQ(2, got->num_ents);
    EXPECT_EQ(0x040506u, got->ents[1]);
    first[1] = 0;  // a copy was kept
    EXPECT_EQ(0x040506u, got->ents[1]);
    // Removed while handed out: the palette stays valid until released.
    cache.remove(42);
    EXPECT_EQ(0u, cache.count());
    EXPECT_EQ(0x010203u, got->ents[0]);
    cache.ops->release(&cache, got);
    EXPECT_THROW(cache.remove(42), Exception);
    EXPECT_THROW(cache.get(42), Exception);
    SpicePalette c = {1, 1, second};
    SpicePalette d = {1 + PaletteCache::BUCKETS, 1, second};  // same bucket
    cache.put(c);
    cache.put(d);
    EXPECT_EQ(2u, cache.count());
    cache.remove(1);
    EXPECT_EQ(1u, cache.count());
    cache.clear();
    EXPECT_EQ(0u, cache.count());
}

}  // namespace
