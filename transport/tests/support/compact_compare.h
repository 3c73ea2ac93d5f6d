// Test helpers of the compact draw encoding: a parse through a compact display dispatcher over a body kept in
// a buffer of exactly its size, and a field-by-field comparison of two parsed draw messages (pointers
// compared by what they point to, image data by its bytes).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "transport/protocol/compact_parsers.h"
#include "transport/protocol/extra_messages.h"

class CompactParsed {
public:
    CompactParsed(spice_parse_display_opt_func_t parser, uint8_t header_flags, OptDrawContext* context,
                  uint16_t type, const std::vector<uint8_t>& body, int minor = 2)
        : size_(body.size()), body_(static_cast<uint8_t*>(malloc(body.size() ? body.size() : 1))) {
        if (!body.empty()) {
            memcpy(body_, body.data(), body.size());
        }
        result_ = parser(header_flags, context, body_, body_ + size_, type, minor, &parsed_size_, &release_);
    }
    ~CompactParsed() {
        if (result_) {
            release_(result_);
        }
        free(body_);
    }
    CompactParsed(const CompactParsed&) = delete;
    CompactParsed& operator=(const CompactParsed&) = delete;

    bool ok() const { return result_ != nullptr; }
    template <class T>
    const T* as() const {
        return reinterpret_cast<const T*>(result_);
    }
    const uint8_t* result() const { return result_; }
    size_t parsed_size() const { return parsed_size_; }
    const uint8_t* body() const { return body_; }

private:
    size_t size_;
    uint8_t* body_;
    uint8_t* result_ = nullptr;
    size_t parsed_size_ = 0;
    message_destructor_t release_ = nullptr;
};

namespace compact_compare {

inline std::string str(const SpiceRect& r) {
    return "(" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom) + ")";
}

inline std::string str(const SpicePoint& p) {
    return "(" + std::to_string(p.x) + "," + std::to_string(p.y) + ")";
}

// Both present or both absent; false when there is nothing more to compare.
template <class T>
bool both(const T* a, const T* b, const std::string& at) {
    EXPECT_EQ(a == nullptr, b == nullptr) << at;
    return a && b;
}

inline void chunks(const SpiceChunks* a, const SpiceChunks* b, const std::string& at) {
    if (!both(a, b, at)) {
        return;
    }
    auto bytes = [](const SpiceChunks* c) {
        std::vector<uint8_t> out;
        for (uint32_t i = 0; i < c->num_chunks; i++) {
            out.insert(out.end(), c->chunk[i].data, c->chunk[i].data + c->chunk[i].len);
        }
        return out;
    };
    EXPECT_EQ(a->data_size, b->data_size) << at;
    EXPECT_EQ(a->num_chunks, b->num_chunks) << at;
    EXPECT_EQ(bytes(a), bytes(b)) << at;
}

inline void palette(const SpicePalette* a, const SpicePalette* b, const std::string& at) {
    if (!both(a, b, at)) {
        return;
    }
    EXPECT_EQ(a->unique, b->unique) << at;
    ASSERT_EQ(a->num_ents, b->num_ents) << at;
    EXPECT_EQ(std::vector<uint32_t>(a->ents, a->ents + a->num_ents),
              std::vector<uint32_t>(b->ents, b->ents + b->num_ents))
        << at;
}

inline void image(const SpiceImage* a, const SpiceImage* b, const std::string& at) {
    if (!both(a, b, at)) {
        return;
    }
    const SpiceImageDescriptor &da = a->descriptor, &db = b->descriptor;
    EXPECT_EQ(da.id, db.id) << at;
    EXPECT_EQ(da.type, db.type) << at;
    EXPECT_EQ(da.flags, db.flags) << at;
    EXPECT_EQ(da.width, db.width) << at;
    EXPECT_EQ(da.height, db.height) << at;
    if (da.type != db.type) {
        return;
    }
    switch (da.type) {
        case SPICE_IMAGE_TYPE_BITMAP: {
            const SpiceBitmap &x = a->u.bitmap, &y = b->u.bitmap;
            EXPECT_EQ(x.format, y.format) << at;
            EXPECT_EQ(x.flags, y.flags) << at;
            EXPECT_EQ(x.x, y.x) << at;
            EXPECT_EQ(x.y, y.y) << at;
            EXPECT_EQ(x.stride, y.stride) << at;
            EXPECT_EQ(x.palette_id, y.palette_id) << at;
            palette(x.palette, y.palette, at + " palette");
            chunks(x.data, y.data, at + " data");
            break;
        }
        case SPICE_IMAGE_TYPE_QUIC:
        case SPICE_IMAGE_TYPE_LZ_RGB:
        case SPICE_IMAGE_TYPE_GLZ_RGB:
        case SPICE_IMAGE_TYPE_JPEG:
            EXPECT_EQ(a->u.quic.data_size, b->u.quic.data_size) << at;
            chunks(a->u.quic.data, b->u.quic.data, at + " data");
            break;
        case SPICE_IMAGE_TYPE_LZ_PLT: {
            const SpiceLZPLTData &x = a->u.lz_plt, &y = b->u.lz_plt;
            EXPECT_EQ(x.flags, y.flags) << at;
            EXPECT_EQ(x.data_size, y.data_size) << at;
            EXPECT_EQ(x.palette_id, y.palette_id) << at;
            palette(x.palette, y.palette, at + " palette");
            chunks(x.data, y.data, at + " data");
            break;
        }
        case SPICE_IMAGE_TYPE_SURFACE:
            EXPECT_EQ(a->u.surface.surface_id, b->u.surface.surface_id) << at;
            break;
        case SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB:
            EXPECT_EQ(a->u.zlib_glz.glz_data_size, b->u.zlib_glz.glz_data_size) << at;
            EXPECT_EQ(a->u.zlib_glz.data_size, b->u.zlib_glz.data_size) << at;
            chunks(a->u.zlib_glz.data, b->u.zlib_glz.data, at + " data");
            break;
        case SPICE_IMAGE_TYPE_JPEG_ALPHA:
            EXPECT_EQ(a->u.jpeg_alpha.flags, b->u.jpeg_alpha.flags) << at;
            EXPECT_EQ(a->u.jpeg_alpha.jpeg_size, b->u.jpeg_alpha.jpeg_size) << at;
            EXPECT_EQ(a->u.jpeg_alpha.data_size, b->u.jpeg_alpha.data_size) << at;
            chunks(a->u.jpeg_alpha.data, b->u.jpeg_alpha.data, at + " data");
            break;
        default:
            break;
    }
}

inline void base(const SpiceMsgDisplayBase& a, const SpiceMsgDisplayBase& b, const std::string& at) {
    EXPECT_EQ(a.surface_id, b.surface_id) << at;
    EXPECT_EQ(str(a.box), str(b.box)) << at << " box";
    EXPECT_EQ(a.clip.type, b.clip.type) << at << " clip";
    if (!both(a.clip.rects, b.clip.rects, at + " clip")) {
        return;
    }
    ASSERT_EQ(a.clip.rects->num_rects, b.clip.rects->num_rects) << at;
    for (uint32_t i = 0; i < a.clip.rects->num_rects; i++) {
        EXPECT_EQ(str(a.clip.rects->rects[i]), str(b.clip.rects->rects[i])) << at << " clip rectangle " << i;
    }
}

inline void brush(const SpiceBrush& a, const SpiceBrush& b, const std::string& at) {
    EXPECT_EQ(a.type, b.type) << at;
    if (a.type != b.type) {
        return;
    }
    if (a.type == SPICE_BRUSH_TYPE_SOLID) {
        EXPECT_EQ(a.u.color, b.u.color) << at;
    } else if (a.type == SPICE_BRUSH_TYPE_PATTERN) {
        EXPECT_EQ(str(a.u.pattern.pos), str(b.u.pattern.pos)) << at;
        image(a.u.pattern.pat, b.u.pattern.pat, at + " pattern");
    }
}

inline void mask(const SpiceQMask& a, const SpiceQMask& b, const std::string& at) {
    EXPECT_EQ(a.flags, b.flags) << at;
    EXPECT_EQ(str(a.pos), str(b.pos)) << at;
    image(a.bitmap, b.bitmap, at + " image");
}

inline void copy(const SpiceCopy& a, const SpiceCopy& b, const std::string& at) {
    image(a.src_bitmap, b.src_bitmap, at + " source");
    EXPECT_EQ(str(a.src_area), str(b.src_area)) << at << " source area";
    EXPECT_EQ(a.rop_descriptor, b.rop_descriptor) << at;
    EXPECT_EQ(a.scale_mode, b.scale_mode) << at;
    mask(a.mask, b.mask, at + " mask");
}

inline void path(const SpicePath* a, const SpicePath* b, const std::string& at) {
    if (!both(a, b, at)) {
        return;
    }
    ASSERT_EQ(a->num_segments, b->num_segments) << at;
    for (uint32_t i = 0; i < a->num_segments; i++) {
        const SpicePathSeg &x = *a->segments[i], &y = *b->segments[i];
        EXPECT_EQ(x.flags, y.flags) << at << " segment " << i;
        ASSERT_EQ(x.count, y.count) << at << " segment " << i;
        for (uint32_t j = 0; j < x.count; j++) {
            EXPECT_EQ(x.points[j].x, y.points[j].x) << at << " segment " << i << " point " << j;
            EXPECT_EQ(x.points[j].y, y.points[j].y) << at << " segment " << i << " point " << j;
        }
    }
}

inline void stroke(const SpiceStroke& a, const SpiceStroke& b, const std::string& at) {
    path(a.path, b.path, at + " path");
    EXPECT_EQ(a.attr.flags, b.attr.flags) << at;
    ASSERT_EQ(a.attr.style_nseg, b.attr.style_nseg) << at;
    if (both(a.attr.style, b.attr.style, at + " style")) {
        EXPECT_EQ(std::vector<int32_t>(a.attr.style, a.attr.style + a.attr.style_nseg),
                  std::vector<int32_t>(b.attr.style, b.attr.style + b.attr.style_nseg))
            << at;
    }
    brush(a.brush, b.brush, at + " brush");
    EXPECT_EQ(a.fore_mode, b.fore_mode) << at;
    EXPECT_EQ(a.back_mode, b.back_mode) << at;
}

// Two parsed messages of one of the compact types.
inline void draw(uint16_t type, const uint8_t* a, const uint8_t* b, const std::string& at) {
    switch (type) {
        case SPICE_MSG_DISPLAY_DRAW_FILL: {
            auto x = reinterpret_cast<const SpiceMsgDisplayDrawFill*>(a);
            auto y = reinterpret_cast<const SpiceMsgDisplayDrawFill*>(b);
            base(x->base, y->base, at);
            brush(x->data.brush, y->data.brush, at + " brush");
            EXPECT_EQ(x->data.rop_descriptor, y->data.rop_descriptor) << at;
            mask(x->data.mask, y->data.mask, at + " mask");
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_COPY: {
            auto x = reinterpret_cast<const SpiceMsgDisplayDrawCopy*>(a);
            auto y = reinterpret_cast<const SpiceMsgDisplayDrawCopy*>(b);
            base(x->base, y->base, at);
            copy(x->data, y->data, at);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_CACHE_COPY: {
            auto x = reinterpret_cast<const SpiceMsgDisplayDrawCacheCopy*>(a);
            auto y = reinterpret_cast<const SpiceMsgDisplayDrawCacheCopy*>(b);
            base(x->base, y->base, at);
            copy(x->data, y->data, at);
            EXPECT_EQ(x->cache_id, y->cache_id) << at;
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_STROKE: {
            auto x = reinterpret_cast<const SpiceMsgDisplayDrawStroke*>(a);
            auto y = reinterpret_cast<const SpiceMsgDisplayDrawStroke*>(b);
            base(x->base, y->base, at);
            stroke(x->data, y->data, at);
            break;
        }
        default:
            ADD_FAILURE() << at << ": type " << type << " has no compact form";
    }
}

}  // namespace compact_compare
