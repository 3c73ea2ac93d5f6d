#include "codecs/mix_wrapper.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/session_block.h"
#include "runtime/log.h"

namespace {

struct Sent {
    uint16_t type;
    std::vector<uint8_t> body;
};

class RecordingSender : public MixMessageSender {
public:
    void send_mix_message(uint16_t type, const uint8_t* body, uint32_t size) override {
        std::lock_guard<std::mutex> hold(_lock);
        sent.push_back({type, std::vector<uint8_t>(body, body + size)});
    }
    std::vector<Sent> sent;

private:
    std::mutex _lock;
};

// The stand-in plug-in's test hooks.
struct StandIn {
    void (*reset)();
    void (*set_results)(int, int, int);
    void (*block)(int, void*);
    size_t (*push_count)();
    size_t (*pushed)(size_t, uint8_t*);
    int (*calls)(int);

    std::vector<uint8_t> push(size_t n) {
        std::vector<uint8_t> bytes(pushed(n, nullptr));
        pushed(n, bytes.data());
        return bytes;
    }
};

struct Fragment {
    uint64_t frame_id;
    uint32_t index;
    bool restart;
    bool last;
    std::vector<uint8_t> data;
};

// A parsed message 321: the record with its data behind it.
std::vector<uint8_t> parsed(const Fragment& f, uint32_t id = 0x11223344) {
    std::vector<uint8_t> block(sizeof(SpiceMsgDisplayVideoFragment) + f.data.size());
    auto* m = reinterpret_cast<SpiceMsgDisplayVideoFragment*>(block.data());
    m->id = id;
    m->frame_id = f.frame_id;
    m->index = f.index;
    m->restart = f.restart;
    m->last = f.last;
    m->data_size = uint32_t(f.data.size());
    if (!f.data.empty()) {
        memcpy(block.data() + sizeof(*m), f.data.data(), f.data.size());
    }
    return block;
}

// A frame: the 12-byte header (a word, the plz length, the h264 length) and payload bytes.
std::vector<uint8_t> frame(uint32_t plz, uint32_t h264, size_t payload) {
    std::vector<uint8_t> bytes(12 + payload);
    const uint32_t words[3] = {7, plz, h264};
    memcpy(bytes.data(), words, 12);
    for (size_t i = 0; i < payload; i++) {
        bytes[12 + i] = uint8_t(i * 13 + 1);
    }
    return bytes;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + to);
}

HWND fake_window() {
    return reinterpret_cast<HWND>(uintptr_t(0x5150));
}
bool watermark_on() {
    return true;
}
HDC fake_dc() {
    return reinterpret_cast<HDC>(uintptr_t(0xDC));
}

class MixWrapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        SessionBlock::clear();
        _module = LoadLibraryA("libmix.dll");
        ASSERT_NE(_module, nullptr) << "the stand-in plug-in is built beside the test";
        stub.reset = export_of<void (*)()>("stub_reset");
        stub.set_results = export_of<void (*)(int, int, int)>("stub_set_results");
        stub.block = export_of<void (*)(int, void*)>("stub_block");
        stub.push_count = export_of<size_t (*)()>("stub_push_count");
        stub.pushed = export_of<size_t (*)(size_t, uint8_t*)>("stub_pushed");
        stub.calls = export_of<int (*)(int)>("stub_calls");
        ASSERT_TRUE(stub.reset && stub.set_results && stub.block && stub.push_count && stub.pushed &&
                    stub.calls);
        stub.reset();
        wrapper.set_display_channel(&sender);
    }
    template <typename Proc>
    Proc export_of(const char* name) {
        return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(_module, name)));
    }
    void TearDown() override {
        SessionBlock::clear();
        if (_module) {
            FreeLibrary(_module);
        }
    }

    // Started as on a display connect and a primary surface.
    void start() {
        ASSERT_TRUE(wrapper.init_mix_wrapper());
        ASSERT_EQ(wrapper.init_mix_decode(1024, 768), 0);
        sender.sent.clear();
    }

    bool feed(const Fragment& f, uint32_t id = 0x11223344) {
        std::vector<uint8_t> block = parsed(f, id);
        return wrapper.handle_mix_data(reinterpret_cast<const SpiceMsgDisplayVideoFragment*>(block.data()));
    }

    MixWrapper wrapper{true};
    RecordingSender sender;
    StandIn stub{};

private:
    HMODULE _module = nullptr;
};

TEST_F(MixWrapperTest, StartsThePluginWithItsBlockAndRelaysThePluginsMessages) {
    SessionBlock::set_u32(SessionBlock::ANTI_SCREEN_CAPTURE, 1);
    MixWrapper::WindowHooks hooks;
    hooks.session_window = &fake_window;
    hooks.watermark_on = &watermark_on;
    hooks.watermark_dc = &fake_dc;
    wrapper.set_window_hooks(hooks);
    ASSERT_TRUE(wrapper.init_mix_wrapper());
    EXPECT_TRUE(wrapper.loaded());
    EXPECT_EQ(wrapper.expected_frame_id(), 1u);
    EXPECT_EQ(wrapper.expected_index(), 1u);

    MixPluginBlock block;
    stub.block(0, &block);
    EXPECT_EQ(block.width, 1920u);
    EXPECT_EQ(block.height, 1200u);
    EXPECT_EQ(block.window, fake_window());
    EXPECT_EQ(block.watermark, 1);
    EXPECT_EQ(block.anti_capture, 1);
    EXPECT_EQ(block.reserved, 0);
    EXPECT_EQ(block.log, &write_log);
    ASSERT_TRUE(block.device_context && block.post_message);
    EXPECT_EQ(block.device_context(), fake_dc());

    // The plug-in's message kinds 0 and 1 become empty messages 107 and 109; any other kind is refused.
    EXPECT_EQ(block.post_message(0), 0);
    EXPECT_EQ(block.post_message(1), 0);
    EXPECT_EQ(block.post_message(2), -1);
    ASSERT_EQ(sender.sent.size(), 2u);
    EXPECT_EQ(sender.sent[0].type, 107);
    EXPECT_EQ(sender.sent[1].type, 109);
    EXPECT_TRUE(sender.sent[0].body.empty() && sender.sent[1].body.empty());

    // The decoder gets the size clamped, but not rounded; the recorded decode size is rounded to even.
    ASSERT_EQ(wrapper.init_mix_decode(1921, 1081), 0);
    stub.block(1, &block);
    EXPECT_EQ(block.width, 1920u);
    EXPECT_EQ(block.height, 1081u);
    EXPECT_EQ(block.window, nullptr);
    EXPECT_EQ(wrapper.decode_width(), 1920u);
    EXPECT_EQ(wrapper.decode_height(), 1080u);

    wrapper.restore_image();
    wrapper.uninit_mix_decode();
    wrapper.uninit_mix_plugin();
    EXPECT_EQ(stub.calls(0), 1);
    EXPECT_EQ(stub.calls(1), 1);
    EXPECT_EQ(stub.calls(2), 1);

    // The next connect starts the stopped plug-in again (the library stays loaded); a running one is
    // left alone.
    stub.reset();
    ASSERT_TRUE(wrapper.init_mix_wrapper());
    stub.block(0, &block);
    EXPECT_EQ(block.width, 1920u) << "started again";
    stub.reset();
    ASSERT_TRUE(wrapper.init_mix_wrapper());
    stub.block(0, &block);
    EXPECT_EQ(block.width, 0u) << "still running";
    // A start the plug-in refused is tried again at the next connect.
    wrapper.uninit_mix_plugin();
    stub.set_results(1, 0, 0);
    EXPECT_FALSE(wrapper.init_mix_wrapper());
    stub.reset();
    ASSERT_TRUE(wrapper.init_mix_wrapper());
    stub.block(0, &block);
    EXPECT_EQ(block.width, 1920u) << "started after the refusal";

    // A failing start is reported as a failure.
    stub.set_results(0, 1, 0);
    EXPECT_EQ(wrapper.init_mix_decode(800, 600), -1);
}

TEST_F(MixWrapperTest, DisabledWrapperLoadsNothingAndTakesNoFragment) {
    MixWrapper disabled(false);
    disabled.set_display_channel(&sender);
    EXPECT_FALSE(disabled.init_mix_wrapper());
    EXPECT_FALSE(disabled.loaded());
    EXPECT_EQ(disabled.init_mix_decode(800, 600), -1);
    std::vector<uint8_t> block = parsed({1, 1, false, true, frame(0, 0, 0)});
    EXPECT_FALSE(
        disabled.handle_mix_data(reinterpret_cast<const SpiceMsgDisplayVideoFragment*>(block.data())));
    EXPECT_FALSE(disabled.handle_mix_data(nullptr));
    EXPECT_TRUE(sender.sent.empty());
    EXPECT_EQ(stub.push_count(), 0u);
}

TEST_F(MixWrapperTest, FrameInThreeFragmentsIsAcknowledgedPiecewiseAndPushedOnce) {
    start();
    const std::vector<uint8_t> whole = frame(5, 7, 12);
    const uint64_t frame_id = 1;
    EXPECT_TRUE(feed({frame_id, 1, false, false, slice(whole, 0, 10)}, 0xA1));
    EXPECT_TRUE(feed({frame_id, 2, false, false, slice(whole, 10, 11)}, 0xA2));
    EXPECT_EQ(stub.push_count(), 0u);
    EXPECT_TRUE(feed({frame_id, 3, false, true, slice(whole, 11, 24)}, 0xA3));
    ASSERT_EQ(stub.push_count(), 1u);
    EXPECT_EQ(stub.push(0), whole);

    // Each acknowledgement echoes the fragment's first word, frame id (two words) and index.
    ASSERT_EQ(sender.sent.size(), 3u);
    for (uint32_t i = 0; i < 3; i++) {
        const uint32_t words[4] = {0xA1 + i, 1, 0, i + 1};
        EXPECT_EQ(sender.sent[i].type, 108);
        EXPECT_EQ(sender.sent[i].body,
                  std::vector<uint8_t>((const uint8_t*)words, (const uint8_t*)words + 16));
    }
    EXPECT_EQ(wrapper.expected_frame_id(), 2u);
    EXPECT_EQ(wrapper.expected_index(), 1u);

    // The next frame, whose id uses the high word, in one fragment.
    const std::vector<uint8_t> next = frame(0, 3, 3);
    EXPECT_TRUE(feed({2, 1, false, true, next}));
    EXPECT_EQ(stub.push(1), next);
}

// Fragment sequences fed after the start (frame 1, index 1 expected); the last one's result and where the
// wrapper stands afterwards.
struct SequenceCase {
    const char* name;
    std::vector<Fragment> fragments;
    int push_result;
    bool last_result;
    size_t acks;
    std::vector<uint8_t> pushed;  // the one frame pushed; empty: none
    uint64_t next_frame_id;
    uint32_t next_index;
};

TEST_F(MixWrapperTest, FragmentSequences) {
    const std::vector<uint8_t> small = frame(2, 2, 4);
    const std::vector<uint8_t> oversize(MixWrapper::FRAME_BUFFER_SIZE + 1, 0);
    const std::vector<uint8_t> full(MixWrapper::FRAME_BUFFER_SIZE, 0);
    const SequenceCase cases[] = {
        {"out-of-order index is neither acknowledged nor stored",
         {{1, 2, false, true, small}},
         0,
         false,
         0,
         {},
         0,
         0},
        {"wrong frame id", {{2, 1, false, true, small}}, 0, false, 0, {}, 0, 0},
        {"after a reset only frame 0, index 0 is taken",
         {{1, 2, false, false, small}, {0, 0, false, true, small}},
         0,
         true,
         1,
         small,
         1,
         1},
        {"a fragment larger than the buffer is acknowledged, then dropped",
         {{1, 1, false, false, oversize}},
         0,
         false,
         1,
         {},
         0,
         0},
        {"fragments passing the buffer together",
         {{1, 1, false, false, full}, {1, 2, false, true, {1}}},
         0,
         false,
         2,
         {},
         0,
         0},
        {"a frame shorter than its header", {{1, 1, false, true, {1, 2, 3}}}, 0, false, 1, {}, 0, 0},
        {"lengths 100 + 200 with 300 bytes held: broken, on to the next frame",
         {{1, 1, false, true, slice(frame(100, 200, 288), 0, 300)}},
         0,
         true,
         1,
         {},
         2,
         1},
        {"lengths whose 32-bit sum wraps to the bytes held: broken, not pushed",
         {{1, 1, false, true, frame(0xFFFFFFFFu, 5, 4)}},
         0,
         true,
         1,
         {},
         2,
         1},
        {"a failing push resets", {{1, 1, false, true, small}}, 1, false, 1, small, 0, 0},
        {"restart drops the bytes so far; the index keeps counting",
         {{1, 1, false, false, {9, 9, 9, 9, 9}}, {1, 2, true, true, small}},
         0,
         true,
         2,
         small,
         2,
         1},
    };
    for (const SequenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        stub.reset();
        stub.set_results(0, 0, c.push_result);
        start();
        bool result = false;
        for (const Fragment& f : c.fragments) {
            result = feed(f);
        }
        EXPECT_EQ(result, c.last_result);
        EXPECT_EQ(sender.sent.size(), c.acks);
        if (c.pushed.empty()) {
            EXPECT_EQ(stub.push_count(), 0u);
        } else {
            ASSERT_EQ(stub.push_count(), 1u);
            EXPECT_EQ(stub.push(0), c.pushed);
        }
        EXPECT_EQ(wrapper.expected_frame_id(), c.next_frame_id);
        EXPECT_EQ(wrapper.expected_index(), c.next_index);
        EXPECT_EQ(wrapper.bytes_held(), 0u);
    }
}

TEST_F(MixWrapperTest, SizesAndPointerScaling) {
    uint32_t width = 2560, height = 1440;
    wrapper.update_sizes(width, height);
    EXPECT_EQ(width, 1920u);
    EXPECT_EQ(height, 1200u);
    EXPECT_EQ(wrapper.display_width(), 2560u);
    EXPECT_EQ(wrapper.display_height(), 1440u);

    int y = 720, x = 1280;
    wrapper.scale_position(y, x);
    EXPECT_EQ(x, 960);
    EXPECT_EQ(y, 600);

    // Odd display sizes are rounded down to even; equal widths leave x alone.
    width = 1921, height = 1081;
    MixWrapper other(true);
    other.update_sizes(width, height);
    EXPECT_EQ(other.display_width(), 1920u);
    EXPECT_EQ(other.display_height(), 1080u);
    y = 1079, x = 1919;
    other.scale_position(y, x);
    EXPECT_EQ(x, 1919);
    EXPECT_EQ(y, 1079 * 1081 / 1080);
}

}  // namespace
