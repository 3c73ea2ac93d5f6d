// The cursor channel against a scripted server: shape types and their data sizes, refused shapes, the cache,
// set/move/hide, the mouse modes with the display link, the CAD drawing order, and the software cursor's
// pixels.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "canvas/red_drawable.h"
#include "display/cursor_channel.h"
#include "platform/session_block.h"
#include "support/fake_application.h"
#include "transport/tests/support/channel_test_support.h"
#include "transport/tests/support/fake_spice_server.h"

using namespace channel_test;
using namespace fake_spice;

namespace {

const uint16_t kNoCursor = 1, kCacheMe = 2, kFromCache = 4;

struct Shape {
    uint64_t id;
    uint8_t type;
    uint16_t width, height, hot_x, hot_y;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> cursor_bytes(uint16_t flags, const Shape& shape) {
    std::vector<uint8_t> out;
    put16(out, flags);
    if (flags & kNoCursor) {
        return out;
    }
    put64(out, shape.id);
    out.push_back(shape.type);
    put16(out, shape.width);
    put16(out, shape.height);
    put16(out, shape.hot_x);
    put16(out, shape.hot_y);
    out.insert(out.end(), shape.data.begin(), shape.data.end());
    return out;
}

std::vector<uint8_t> set_body(int16_t x, int16_t y, uint16_t flags, const Shape& shape) {
    std::vector<uint8_t> out;
    put16(out, uint16_t(x));
    put16(out, uint16_t(y));
    out.push_back(1);
    std::vector<uint8_t> cursor = cursor_bytes(flags, shape);
    out.insert(out.end(), cursor.begin(), cursor.end());
    return out;
}

std::vector<uint8_t> init_body(int16_t x, int16_t y, uint16_t flags, const Shape& shape) {
    std::vector<uint8_t> out;
    put16(out, uint16_t(x));
    put16(out, uint16_t(y));
    put16(out, 0);
    put16(out, 0);
    out.push_back(1);
    std::vector<uint8_t> cursor = cursor_bytes(flags, shape);
    out.insert(out.end(), cursor.begin(), cursor.end());
    return out;
}

std::vector<uint8_t> point_body(int16_t x, int16_t y) {
    std::vector<uint8_t> out;
    put16(out, uint16_t(x));
    put16(out, uint16_t(y));
    return out;
}

// A shape whose data bytes count up from the id's low byte, so that shapes can be told apart.
Shape shape_of(uint64_t id, uint8_t type, uint16_t width, uint16_t height, size_t data_size) {
    Shape shape{id, type, width, height, 0, 0, std::vector<uint8_t>(data_size)};
    for (size_t i = 0; i < data_size; i++) {
        shape.data[i] = uint8_t(id + i);
    }
    return shape;
}

Shape mono(uint64_t id) {
    return shape_of(id, 1, 8, 8, 16);
}

class TestCursorChannel : public CursorChannel {
public:
    using CursorChannel::CursorChannel;
    std::atomic<uint32_t> mode{RedClient::MOUSE_MODE_SERVER};

protected:
    uint32_t mouse_mode() override { return mode; }
    void attach_display_of_client() override {}
};

// Records what the cursor channel hands the display.
class FakeDisplay : public CursorDisplay {
public:
    void set_cursor(CursorData* shape) override {
        calls.push_back("set " + std::to_string(shape->header().unique));
    }
    void hide_cursor() override { calls.push_back("hide"); }
    std::vector<std::string> calls;
};

std::vector<RECT> area_of(ScreenLayer& layer) {
    pixman_region32_t region;
    pixman_region32_init(&region);
    layer.copy_area(region);
    int count;
    const pixman_box32_t* boxes = pixman_region32_rectangles(&region, &count);
    std::vector<RECT> rects;
    for (int i = 0; i < count; i++) {
        rects.push_back(RECT{boxes[i].x1, boxes[i].y1, boxes[i].x2, boxes[i].y2});
    }
    pixman_region32_fini(&region);
    return rects;
}

bool same_rect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

class CursorChannelTest : public testing::Test {
public:
    void SetUp() override {
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);
        client.port = server.port();
        channel.reset(new TestCursorChannel(client, 0, app));
        channel->start();
        channel->connect();
        conn = server.accept();
        ASSERT_TRUE(conn && conn->accept_link(&link));
        ASSERT_TRUE(wait_until(kWaitMs, [this] { return channel->get_state() == RedChannel::CONNECTED; }));
    }

    void TearDown() override {
        conn.reset();
        ASSERT_TRUE(wait_until(kWaitMs, [this] {
            app.run_events();
            return channel->abort();
        }));
        channel.reset();
        SessionBlock::clear();
    }

    // Returns once the channel handled every message sent before (it answers a ping in order), running the
    // main loop's events meanwhile.
    bool sync() {
        std::vector<uint8_t> ping;
        put32(ping, 7);
        put64(ping, 0);
        conn->send_message(SPICE_MSG_PING, ping);
        return wait_until(kWaitMs, [this] {
            app.run_events();
            fake_spice::Message message;
            while (conn->read_message(&message, 10)) {
                if (message.type == SPICE_MSGC_PONG) {
                    app.run_events();  // what the channel posted before it answered
                    return true;
                }
            }
            return false;
        });
    }

    // The channel ended on what was sent: the server sees it close.
    bool ended() {
        return wait_until(kWaitMs, [this] {
            app.run_events();
            return client.disconnects() > 0;
        });
    }

    void send(uint16_t type, const std::vector<uint8_t>& body = {}) { conn->send_message(type, body); }

    FakeApplication app;
    Server server;
    TestClient client;
    LinkRequest link;
    std::unique_ptr<TestCursorChannel> channel;
    std::unique_ptr<Connection> conn;
};

TEST_F(CursorChannelTest, AnnouncesTheCadDrawCapability) {
    ASSERT_FALSE(link.channel_caps.empty());
    EXPECT_EQ(link.channel_caps[0] & (1u << 2), 1u << 2);
}

// Each type's data size for its header: exactly that many bytes are kept, extra ones dropped.
TEST_F(CursorChannelTest, ShapeTypesKeepTheirDataSize) {
    struct Case {
        uint8_t type;
        uint16_t width, height;
        size_t size;
    };
    const Case cases[] = {
        {0, 32, 32, 4096}, {1, 32, 32, 256},  {2, 32, 32, 704},        {3, 32, 32, 2176}, {4, 32, 32, 2176},
        {5, 32, 32, 3200}, {6, 32, 32, 4224}, {7, 100, 100, 24},       {1, 9, 3, 12},     {2, 3, 2, 70},
        {0, 0, 0, 0},      {6, 0, 5, 0},      {1, 1024, 1024, 262144},
    };
    uint64_t id = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " " + std::to_string(c.width) + "x" +
                     std::to_string(c.height));
        Shape shape = shape_of(id, c.type, c.width, c.height, c.size + 3);
        send(SPICE_MSG_CURSOR_SET, set_body(50, 60, 0, shape));
        ASSERT_TRUE(sync());
        CursorChannel::State state = channel->state();
        ASSERT_TRUE(state.has_shape);
        EXPECT_EQ(state.header.unique, id);
        EXPECT_EQ(state.header.type, c.type);
        EXPECT_EQ(state.data, std::vector<uint8_t>(shape.data.begin(), shape.data.begin() + c.size));
        EXPECT_TRUE(state.visible);
        id++;
    }
    EXPECT_EQ(client.disconnects(), 0);
}

// A shape the channel cannot take ends the channel; nothing of it is kept.
TEST(CursorChannelRefusal, BadShapesEndTheChannel) {
    struct Case {
        const char* what;
        Shape shape;
    };
    const Case cases[] = {
        {"side above 1024", shape_of(1, 1, 1025, 1, 2 * 129)},
        {"height above 1024", shape_of(1, 0, 1, 1025, 4 * 1025)},
        // 32768 x 32768 x 4 is 2^32: 0 in 32-bit arithmetic.
        {"size wrapping 32 bits", shape_of(1, 0, 32768, 32768, 0)},
        {"body one byte short", shape_of(1, 6, 32, 32, 4223)},
        {"mono body short", shape_of(1, 1, 8, 8, 15)},
        {"cad record short", shape_of(1, 7, 8, 8, 23)},
        {"type above 7", shape_of(1, 8, 1, 1, 16)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        struct Fixture : CursorChannelTest {
            void TestBody() override {}
        } f;
        f.SetUp();
        f.send(SPICE_MSG_CURSOR_SET, set_body(0, 0, kCacheMe, c.shape));
        EXPECT_TRUE(f.ended());
        EXPECT_FALSE(f.channel->state().has_shape);
        EXPECT_EQ(f.channel->cached_count(), 0u);
        f.TearDown();
    }
}

// The cache through set messages and invalidations: each step's shown shape (by id) and cache size.
TEST_F(CursorChannelTest, CacheSteps) {
    Shape first = mono(5), second = mono(6), clash = mono(5 + 1024), replacement = mono(5);
    replacement.data.assign(16, 0xEE);
    struct Step {
        const char* what;
        uint16_t type;
        std::vector<uint8_t> body;
        uint64_t shown;  // 0: no shape
        size_t cached;
    };
    std::vector<uint8_t> inval_one;
    put64(inval_one, 6);
    const Step steps[] = {
        {"add", SPICE_MSG_CURSOR_SET, set_body(1, 1, kCacheMe, first), 5, 1},
        {"add another", SPICE_MSG_CURSOR_SET, set_body(1, 1, kCacheMe, second), 6, 2},
        {"same bucket", SPICE_MSG_CURSOR_SET, set_body(1, 1, kCacheMe, clash), 1029, 3},
        {"from cache", SPICE_MSG_CURSOR_SET, set_body(1, 1, kFromCache, first), 5, 3},
        {"double insert shows the new shape", SPICE_MSG_CURSOR_SET, set_body(1, 1, kCacheMe, replacement), 5,
         3},
        {"no cursor keeps the cache", SPICE_MSG_CURSOR_SET, set_body(1, 1, kNoCursor, first), 0, 3},
        {"invalidate one", SPICE_MSG_CURSOR_INVAL_ONE, inval_one, 0, 2},
        {"from cache again", SPICE_MSG_CURSOR_SET, set_body(1, 1, kFromCache, clash), 1029, 2},
        {"invalidate all", SPICE_MSG_CURSOR_INVAL_ALL, {}, 1029, 0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        send(step.type, step.body);
        ASSERT_TRUE(sync());
        CursorChannel::State state = channel->state();
        EXPECT_EQ(state.has_shape, step.shown != 0);
        if (step.shown) {
            EXPECT_EQ(state.header.unique, step.shown);
        }
        EXPECT_EQ(channel->cached_count(), step.cached);
        if (std::string(step.what) == "double insert shows the new shape") {
            EXPECT_EQ(state.data, replacement.data);
        }
    }
    // The double insert left the first shape cached.
    send(SPICE_MSG_CURSOR_SET, set_body(1, 1, kCacheMe, first));
    send(SPICE_MSG_CURSOR_SET, set_body(1, 1, kCacheMe, replacement));
    send(SPICE_MSG_CURSOR_SET, set_body(1, 1, kFromCache, first));
    ASSERT_TRUE(sync());
    EXPECT_EQ(channel->state().data, first.data);
    EXPECT_EQ(client.disconnects(), 0);
}

TEST(CursorChannelRefusal, AbsentCacheIdsEndTheChannel) {
    std::vector<uint8_t> inval_one;
    put64(inval_one, 77);
    const std::pair<uint16_t, std::vector<uint8_t>> cases[] = {
        {SPICE_MSG_CURSOR_SET, set_body(0, 0, kFromCache, mono(77))},
        {SPICE_MSG_CURSOR_INVAL_ONE, inval_one},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        struct Fixture : CursorChannelTest {
            void TestBody() override {}
        } f;
        f.SetUp();
        f.send(SPICE_MSG_CURSOR_SET, set_body(0, 0, kCacheMe, mono(76)));
        f.send(c.first, c.second);
        EXPECT_TRUE(f.ended());
        f.TearDown();
    }
}

TEST_F(CursorChannelTest, MoveHideAndServerModeArea) {
    // A move before any shape does nothing.
    send(SPICE_MSG_CURSOR_MOVE, point_body(10, 10));
    ASSERT_TRUE(sync());
    EXPECT_FALSE(channel->state().visible);
    EXPECT_TRUE(area_of(*channel).empty());

    Shape shape = mono(3);
    shape.hot_x = 2;
    shape.hot_y = 3;
    send(SPICE_MSG_CURSOR_SET, set_body(100, 50, 0, shape));
    ASSERT_TRUE(sync());
    const RECT at_set{98, 47, 106, 55};
    EXPECT_TRUE(same_rect(channel->state().rect, at_set));
    ASSERT_EQ(area_of(*channel).size(), 1u);
    EXPECT_TRUE(same_rect(area_of(*channel)[0], at_set));

    send(SPICE_MSG_CURSOR_HIDE);
    ASSERT_TRUE(sync());
    EXPECT_FALSE(channel->state().visible);
    EXPECT_TRUE(area_of(*channel).empty());

    // A move shows it again, shifted by the difference.
    send(SPICE_MSG_CURSOR_MOVE, point_body(90, 70));
    ASSERT_TRUE(sync());
    const RECT moved{88, 67, 96, 75};
    EXPECT_TRUE(channel->state().visible);
    EXPECT_TRUE(same_rect(channel->state().rect, moved));
    ASSERT_EQ(area_of(*channel).size(), 1u);
    EXPECT_TRUE(same_rect(area_of(*channel)[0], moved));
}

TEST_F(CursorChannelTest, ClientModeGoesThroughTheDisplay) {
    channel->mode = RedClient::MOUSE_MODE_CLIENT;
    FakeDisplay display;
    send(SPICE_MSG_CURSOR_SET, set_body(10, 10, 0, mono(1)));
    ASSERT_TRUE(sync());
    channel->attach_display(display);  // hands it the current shape
    // Each update event shows the state when it runs on the main loop: one message at a time.
    send(SPICE_MSG_CURSOR_MOVE, point_body(20, 20));
    ASSERT_TRUE(sync());
    send(SPICE_MSG_CURSOR_HIDE);
    ASSERT_TRUE(sync());
    send(SPICE_MSG_CURSOR_SET, set_body(10, 10, 0, mono(2)));
    ASSERT_TRUE(sync());
    send(SPICE_MSG_CURSOR_SET, set_body(10, 10, kNoCursor, mono(2)));
    ASSERT_TRUE(sync());
    EXPECT_EQ(display.calls, (std::vector<std::string>{"set 1", "set 1", "hide", "set 2", "hide"}));
    EXPECT_TRUE(area_of(*channel).empty());

    // Server mode: the layer takes the cursor rectangle when the cursor is visible.
    send(SPICE_MSG_CURSOR_SET, set_body(10, 10, 0, mono(3)));
    ASSERT_TRUE(sync());
    EXPECT_TRUE(area_of(*channel).empty());
    channel->mode = RedClient::MOUSE_MODE_SERVER;
    channel->on_mouse_mode_change();
    ASSERT_EQ(area_of(*channel).size(), 1u);
    EXPECT_TRUE(same_rect(area_of(*channel)[0], RECT{10, 10, 18, 18}));
    channel->mode = RedClient::MOUSE_MODE_CLIENT;
    channel->on_mouse_mode_change();
    EXPECT_TRUE(area_of(*channel).empty());

    // A detached display hears nothing more.
    channel->detach_display(display);
    size_t calls = display.calls.size();
    send(SPICE_MSG_CURSOR_HIDE);
    ASSERT_TRUE(sync());
    EXPECT_EQ(display.calls.size(), calls);
}

TEST_F(CursorChannelTest, InitResetsAndAttachesTheLayer) {
    send(SPICE_MSG_CURSOR_SET, set_body(0, 0, kCacheMe, mono(9)));
    send(SPICE_MSG_CURSOR_INIT, init_body(30, 40, 0, mono(10)));
    ASSERT_TRUE(sync());
    EXPECT_NE(channel->screen(), nullptr);
    EXPECT_EQ(channel->cached_count(), 0u);
    EXPECT_EQ(channel->state().header.unique, 10u);
    EXPECT_EQ(channel->state().x, 30);

    send(SPICE_MSG_CURSOR_RESET);
    ASSERT_TRUE(sync());
    EXPECT_EQ(channel->screen(), nullptr);
    EXPECT_FALSE(channel->state().has_shape);
    EXPECT_EQ(client.disconnects(), 0);
}

// The CAD drawing order (no screen attached: no pointer test): the shape's size and hot spot and its record.
TEST_F(CursorChannelTest, CadDrawOrder) {
    struct Case {
        const char* what;
        uint16_t pick_box, cross, left, top, right, bottom;
        uint16_t side;  // 0: hidden
        uint16_t record_cross;
    };
    const Case cases[] = {
        {"cross-hair capped by the area", 10, 100, 0, 0, 40, 20, 80, 80},
        {"pick box larger", 10, 6, 0, 0, 40, 20, 10, 6},
        {"area inside out", 10, 100, 50, 50, 10, 40, 10, 0},
        {"area only higher than wide", 4, 100, 50, 0, 10, 30, 60, 60},
        {"hide", 0, 0, 0, 0, 40, 20, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        send(SPICE_MSG_CURSOR_MOVE, point_body(0, 0));
        std::vector<uint8_t> body;
        put32(body, 0x00FF00);
        for (uint16_t v : {c.pick_box, c.cross, c.left, c.top, c.right, c.bottom}) {
            put16(body, v);
        }
        send(SPICE_MSG_CURSOR_DRAW, body);
        ASSERT_TRUE(sync());
        CursorChannel::State state = channel->state();
        if (!c.side) {
            EXPECT_FALSE(state.visible);
            continue;
        }
        ASSERT_TRUE(state.visible);
        EXPECT_EQ(state.header.type, 7);
        EXPECT_EQ(state.header.width, c.side);
        EXPECT_EQ(state.header.height, c.side);
        EXPECT_EQ(state.header.hot_spot_x, c.side / 2);
        ASSERT_EQ(state.data.size(), 24u);
        EXPECT_EQ(state.data[4] | state.data[5] << 8, c.pick_box);
        EXPECT_EQ(state.data[6] | state.data[7] << 8, c.record_cross);
        EXPECT_EQ(state.data[16] | state.data[17] << 8, c.right);
    }
    EXPECT_EQ(client.disconnects(), 0);
}

// ---- The software cursor's pixels ----

const uint32_t kBackground = 0x123456;

struct PixelCase {
    const char* what;
    Shape shape;
    struct Pixel {
        int x, y;  // from the cursor rectangle's top-left
        uint32_t color;
    };
    std::vector<Pixel> pixels;
};

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
    return std::vector<uint8_t>(values.begin(), values.end());
}

TEST(CursorPixels, EachTypeDrawsIntoTheComposite) {
    std::vector<uint8_t> color4 = bytes({0x12});
    color4.resize(1 + 64, 0);
    color4[1 + 5] = 0xFF;  // palette 1: 0x00FF00
    color4[1 + 8] = 0xFF;  // palette 2: 0x0000FF
    color4.push_back(0x00);
    const PixelCase cases[] = {
        // AND 11110000 then XOR 11001100.
        {"mono",
         Shape{1, 1, 8, 1, 0, 0, bytes({0xF0, 0xCC})},
         {{0, 0, 0xEDCBA9}, {2, 0, kBackground}, {4, 0, 0xFFFFFF}, {6, 0, 0}}},
        {"alpha", Shape{1, 0, 1, 1, 0, 0, bytes({0x33, 0x22, 0x11, 0xFF})}, {{0, 0, 0x112233}}},
        {"color 16",
         Shape{1, 4, 2, 1, 0, 0, bytes({0xFF, 0x7F, 0x1F, 0x00, 0x00})},
         {{0, 0, 0xF8F8F8}, {1, 0, 0xF8}}},
        // White with its AND bit inverts; black with its AND bit is transparent; AND bit 0 is opaque.
        {"color 32",
         Shape{1, 6, 3, 1, 0, 0, bytes({0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0x10, 0x20, 0x30, 0, 0xC0})},
         {{0, 0, 0xEDCBA9}, {1, 0, kBackground}, {2, 0, 0x302010}}},
        {"color 4", Shape{1, 2, 2, 1, 0, 0, color4}, {{0, 0, 0x00FF00}, {1, 0, 0x0000FF}}},
        // The marker: an 8-pixel square from the hot spot - 2, framed in black from the hot spot - 1.
        {"unsupported",
         Shape{1, 3, 8, 8, 4, 4, std::vector<uint8_t>(1096)},
         {{1, 4, kBackground},
          {2, 4, 0xF8F1B8},
          {3, 4, 0},
          {4, 4, 0xF8F1B8},
          {4, 3, 0},
          {4, 1, kBackground}}},
    };
    for (const PixelCase& c : cases) {
        SCOPED_TRACE(c.what);
        FakeApplication app;
        TestClient client;
        TestCursorChannel channel(client, 0, app);
        SpiceMsgCursorSet set{};
        set.position = SpicePoint16{int16_t(5 + c.shape.hot_x), int16_t(3 + c.shape.hot_y)};
        set.cursor.header = SpiceCursorHeader{c.shape.id,     c.shape.type,  c.shape.width,
                                              c.shape.height, c.shape.hot_x, c.shape.hot_y};
        set.cursor.data = c.shape.data.data();
        set.cursor.data_size = uint32_t(c.shape.data.size());
        channel.handle_cursor_set(set);

        RedPixmapSw dest(32, 16, RedDrawable::RGB32, true);
        dest.fill_rect(SpiceRect{0, 0, 32, 16}, kBackground);
        pixman_region32_t region;
        pixman_region32_init_rect(&region, 0, 0, 32, 16);
        channel.copy_pixels(region, dest);
        pixman_region32_fini(&region);
        auto pixel = [&](int x, int y) {
            return reinterpret_cast<uint32_t*>(dest.get_data() + y * dest.get_stride())[x] & 0xFFFFFF;
        };
        for (const PixelCase::Pixel& p : c.pixels) {
            EXPECT_EQ(pixel(5 + p.x, 3 + p.y), p.color) << "at " << p.x << ", " << p.y;
        }
        // Nothing outside the rectangle.
        EXPECT_EQ(pixel(4, 3), kBackground);
        EXPECT_EQ(pixel(5, 2), kBackground);
        while (!channel.abort()) {
            app.run_events();
        }
    }
}

}  // namespace
