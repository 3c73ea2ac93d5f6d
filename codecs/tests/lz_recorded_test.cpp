// Real images: every LZ and GLZ image that QEMU's SPICE server sent in the recorded display traffic decodes,
// in the order it came, to the size its descriptor gives, using the whole of its data; the GLZ images go
// through one window as a session's would.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "codecs/glz_decoder.h"
#include "codecs/lz.h"
#include "support/glz_test_support.h"
#include "transport/tests/support/recording.h"
#include "transport/protocol/server_messages.h"

namespace {

// A parsed message, released with it.
class ParsedMessage {
public:
    explicit ParsedMessage(const RecordedMessage& m) : body_(m.body) {
        const SpiceChannelParser* parser = spice_get_server_channel_parser(m.channel_type, 2);
        if (parser && parser->parser && !body_.empty()) {
            data_ = parser->parser(body_.data(), body_.data() + body_.size(), m.type, 2, &size_, &release_);
        }
    }
    ~ParsedMessage() {
        if (data_) {
            release_(data_);
        }
    }
    template <class T>
    const T* as() const {
        return reinterpret_cast<const T*>(data_);
    }

private:
    std::vector<uint8_t> body_;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    message_destructor_t release_ = nullptr;
};

void add_brush(const SpiceBrush& brush, std::vector<const SpiceImage*>& out) {
    if (brush.type == SPICE_BRUSH_TYPE_PATTERN) {
        out.push_back(brush.u.pattern.pat);
    }
}

// The images a draw message carries, in the order the canvas meets them.
std::vector<const SpiceImage*> images_of(uint16_t type, const ParsedMessage& p) {
    std::vector<const SpiceImage*> out;
    switch (type) {
        case SPICE_MSG_DISPLAY_DRAW_FILL: {
            auto* m = p.as<SpiceMsgDisplayDrawFill>();
            add_brush(m->data.brush, out);
            out.push_back(m->data.mask.bitmap);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_OPAQUE: {
            auto* m = p.as<SpiceMsgDisplayDrawOpaque>();
            out.push_back(m->data.src_bitmap);
            add_brush(m->data.brush, out);
            out.push_back(m->data.mask.bitmap);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_COPY:
        case SPICE_MSG_DISPLAY_DRAW_BLEND: {
            auto* m = p.as<SpiceMsgDisplayDrawCopy>();
            out.push_back(m->data.src_bitmap);
            out.push_back(m->data.mask.bitmap);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_ROP3: {
            auto* m = p.as<SpiceMsgDisplayDrawRop3>();
            out.push_back(m->data.src_bitmap);
            add_brush(m->data.brush, out);
            out.push_back(m->data.mask.bitmap);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_TRANSPARENT:
            out.push_back(p.as<SpiceMsgDisplayDrawTransparent>()->data.src_bitmap);
            break;
        case SPICE_MSG_DISPLAY_DRAW_ALPHA_BLEND:
            out.push_back(p.as<SpiceMsgDisplayDrawAlphaBlend>()->data.src_bitmap);
            break;
        case SPICE_MSG_DISPLAY_DRAW_COMPOSITE: {
            auto* m = p.as<SpiceMsgDisplayDrawComposite>();
            out.push_back(m->data.src_bitmap);
            out.push_back(m->data.mask_bitmap);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_STROKE:
            add_brush(p.as<SpiceMsgDisplayDrawStroke>()->data.brush, out);
            break;
        case SPICE_MSG_DISPLAY_DRAW_TEXT: {
            auto* m = p.as<SpiceMsgDisplayDrawText>();
            add_brush(m->data.fore_brush, out);
            add_brush(m->data.back_brush, out);
            break;
        }
        default:
            break;
    }
    std::vector<const SpiceImage*> present;
    for (const SpiceImage* image : out) {
        if (image) {
            present.push_back(image);
        }
    }
    return present;
}

// ---- LZ through the call-back record ----

struct RecordedUsr {
    LzUsrContext usr;
    std::string error;
};

void keep_error(LzUsrContext* usr, const char* fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    reinterpret_cast<RecordedUsr*>(usr)->error += text;
}
void ignore(LzUsrContext*, const char*, ...) {}
void* usr_malloc(LzUsrContext*, size_t size) {
    return malloc(size);
}
void usr_free(LzUsrContext*, void* p) {
    free(p);
}
int no_more_space(LzUsrContext*, uint8_t**) {
    return 0;
}
int no_more_lines(LzUsrContext*, uint8_t**) {
    return 0;
}

struct Decoded {
    std::string what;
    uint32_t width;
    uint32_t height;
    std::vector<uint32_t> pixels;
};

void decode_lz(const SpiceImage& image, const std::string& what, std::vector<Decoded>& out) {
    RecordedUsr usr{{keep_error, ignore, ignore, usr_malloc, usr_free, no_more_space, no_more_lines}, ""};
    LzContext* lz = lz_create(&usr.usr);
    ASSERT_NE(lz, nullptr);
    const SpiceChunks* data =
        image.descriptor.type == SPICE_IMAGE_TYPE_LZ_PLT ? image.u.lz_plt.data : image.u.lz_rgb.data;
    const SpicePalette* palette =
        image.descriptor.type == SPICE_IMAGE_TYPE_LZ_PLT ? image.u.lz_plt.palette : nullptr;
    ASSERT_EQ(data->num_chunks, 1u) << what;
    LzImageType type;
    int width, height, n_pixels, top_down;
    ASSERT_EQ(lz_decode_begin(lz, data->chunk[0].data, data->chunk[0].len, &type, &width, &height, &n_pixels,
                              &top_down, palette),
              0)
        << what << ": " << usr.error;
    EXPECT_EQ(uint32_t(width), image.descriptor.width) << what;
    EXPECT_EQ(uint32_t(height), image.descriptor.height) << what;
    LzImageType to_type = type == LZ_IMAGE_TYPE_RGBA ? LZ_IMAGE_TYPE_RGBA : LZ_IMAGE_TYPE_RGB32;
    std::vector<uint32_t> pixels(static_cast<size_t>(n_pixels));
    EXPECT_EQ(lz_decode(lz, to_type, reinterpret_cast<uint8_t*>(pixels.data()), pixels.size() * 4), 0)
        << what << ": " << usr.error;
    lz_destroy(lz);
    out.push_back(Decoded{what, uint32_t(width), uint32_t(height), pixels});
}

struct GlzSession {
    TestGlzDebug debug;
    TestGlzHandler handler;
    GlzDecoderWindow window{debug};
    GlzDecoder decoder{window, handler, debug};
    uint64_t next_id = 0;
};

void decode_glz(GlzSession& s, const SpiceImage& image, const std::string& what, std::vector<Decoded>& out) {
    const SpiceChunks* data = image.u.lz_rgb.data;
    ASSERT_EQ(data->num_chunks, 1u) << what;
    const uint8_t* d = data->chunk[0].data;
    ASSERT_GE(data->chunk[0].len, 33u) << what;
    uint64_t id = 0;
    for (int i = 21; i < 29; i++) {
        id = id << 8 | d[i];
    }
    // A gap would leave an id missing for ever and a reference to it waiting: this walk must see every image.
    ASSERT_EQ(id, s.next_id) << what;
    s.next_id++;
    try {
        s.decoder.decode(d, data->chunk[0].len, nullptr, nullptr);
    } catch (const Exception& e) {
        FAIL() << what << ": " << e.what();
    }
    EXPECT_EQ(uint32_t(s.handler.last_width), image.descriptor.width) << what;
    EXPECT_EQ(uint32_t(s.handler.last_height), image.descriptor.height) << what;
    EXPECT_EQ(s.handler.last->guard(), 0xEE) << what;
    out.push_back(Decoded{what, image.descriptor.width, image.descriptor.height, s.handler.last->pixels()});
}

// Every LZ and GLZ image of one recording, decoded in order.
std::vector<Decoded> decode_recording(const std::string& name, int* glz_count) {
    std::vector<Decoded> out;
    std::vector<RecordedMessage> messages;
    std::string error;
    EXPECT_TRUE(load_recording(std::string(KTW_QEMU_FIXTURE_DIR) + "/" + name, &messages, &error)) << error;
    GlzSession session;
    *glz_count = 0;
    for (size_t i = 0; i < messages.size(); i++) {
        const RecordedMessage& m = messages[i];
        if (m.channel_type != SPICE_CHANNEL_DISPLAY) {
            continue;
        }
        ParsedMessage parsed(m);
        for (const SpiceImage* image : images_of(m.type, parsed)) {
            std::string what = name + " message " + std::to_string(i);
            switch (image->descriptor.type) {
                case SPICE_IMAGE_TYPE_LZ_PLT:
                case SPICE_IMAGE_TYPE_LZ_RGB:
                    decode_lz(*image, what, out);
                    break;
                case SPICE_IMAGE_TYPE_GLZ_RGB:
                    decode_glz(session, *image, what, out);
                    ++*glz_count;
                    break;
                default:
                    break;
            }
        }
    }
    EXPECT_TRUE(session.debug.warnings.empty());
    return out;
}

TEST(RecordedImages, EveryLzAndGlzImageDecodes) {
    for (const char* name : {"lz.display.rec", "glz.display.rec", "default.display.rec"}) {
        int glz = 0;
        std::vector<Decoded> images = decode_recording(name, &glz);
        EXPECT_FALSE(images.empty()) << name;
        EXPECT_EQ(glz > 0, std::string(name) != "lz.display.rec") << name;
    }
}

// The server sent the same text lines of the boot screen once as LZ (one session) and once as GLZ (another):
// both decodings must give the same pixels. The last GLZ line has no LZ twin in the recordings.
TEST(RecordedImages, GlzImagesEqualTheLzImagesOfTheSameScreen) {
    int glz = 0;
    std::vector<Decoded> lz_images = decode_recording("lz.display.rec", &glz);
    std::vector<Decoded> glz_images = decode_recording("glz.display.rec", &glz);
    ASSERT_GE(glz_images.size(), 3u);
    int matched = 0;
    for (size_t i = 1; i + 1 < glz_images.size(); i++) {
        const Decoded& g = glz_images[i];
        bool found = false;
        for (const Decoded& l : lz_images) {
            found = found || (l.width == g.width && l.height == g.height && l.pixels == g.pixels);
        }
        EXPECT_TRUE(found) << g.what << " has no LZ twin";
        matched += found;
    }
    EXPECT_GE(matched, 5);

    std::vector<Decoded> default_images = decode_recording("default.display.rec", &glz);
    ASSERT_EQ(default_images.size(), glz_images.size());
    for (size_t i = 0; i < glz_images.size(); i++) {
        EXPECT_EQ(default_images[i].pixels, glz_images[i].pixels) << default_images[i].what;
    }
}

}  // namespace
