#include "support/compact_encoder.h"

#include <cstring>
#include <deque>
#include <functional>
#include <utility>

#include "transport/protocol/extra_messages.h"

namespace {

bool fits_i8(int64_t v) {
    return v >= -128 && v <= 127;
}

bool fits_i16(int64_t v) {
    return v >= -32768 && v <= 32767;
}

// One message being written: the inline part first, then the structures that offsets point to, appended in
// the order their offsets were written (a structure may point to further ones).
class Encoding {
public:
    explicit Encoding(CompactEncoder::Mode mode) : smallest_(mode == CompactEncoder::Mode::Smallest) {}

    bool smallest() const { return smallest_; }
    bool ok() const { return ok_; }
    void fail() { ok_ = false; }

    size_t size() const { return bytes_.size(); }
    void put(uint64_t v, int n) {
        for (int i = 0; i < n; i++) {
            bytes_.push_back(uint8_t(v >> (8 * i)));
        }
    }
    void u8(uint32_t v) { put(v, 1); }
    void u16(uint32_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void patch_u16(size_t at, uint32_t v) {
        bytes_[at] = uint8_t(v);
        bytes_[at + 1] = uint8_t(v >> 8);
    }
    void raw(const uint8_t* p, size_t n) { bytes_.insert(bytes_.end(), p, p + n); }

    // A u32 offset to what write appends once everything before it is written.
    void offset_to(std::function<void()> write) {
        pending_.emplace_back(size(), std::move(write));
        u32(0);
    }

    std::vector<uint8_t> finish() {
        while (!pending_.empty()) {
            auto next = std::move(pending_.front());
            pending_.pop_front();
            uint32_t at = uint32_t(size());
            for (int i = 0; i < 4; i++) {
                bytes_[next.first + i] = uint8_t(at >> (8 * i));
            }
            next.second();
        }
        return bytes_;
    }

    // ---- Primitives ----

    void short_varint(uint32_t v) {
        if (v > 0x7FFF) {
            fail();
        } else if (smallest_ && v < 0x80) {
            u8(v);
        } else {
            u8(0x80 | (v >> 8));
            u8(v & 0xFF);
        }
    }

    void segment_count(uint32_t n) {
        if (n >= (1u << 30)) {
            fail();
        } else if (smallest_ && n < 128) {
            u8(n);
        } else if (smallest_ && n < 256) {
            u8(0x80);
            u8(n - 128);
        } else {
            u8(0x80 | (n >> 23));
            u8(0x80 | ((n >> 16) & 0x7F));
            u8((n >> 8) & 0xFF);
            u8(n & 0xFF);
        }
    }

    // A sized value; returns the bits a (u16), b (24 bits) or both (u32) that its width needs.
    unsigned sized(uint32_t v, unsigned a, unsigned b) {
        if (smallest_ && v <= 0xFF) {
            u8(v);
            return 0;
        }
        if (smallest_ && v <= 0xFFFF) {
            u16(v);
            return a;
        }
        if (smallest_ && v <= 0xFFFFFF) {
            put(v, 3);
            return b;
        }
        u32(v);
        return a | b;
    }

    // A coordinate against its previous value; returns the bits it needs (relative alone, or with absolute).
    unsigned coordinate(int32_t v, int32_t* previous, unsigned relative, unsigned absolute) {
        int64_t delta = int64_t(v) - *previous;
        unsigned bits = 0;
        if (smallest_ && delta == 0) {
            bits = 0;
        } else if (smallest_ && fits_i8(delta)) {
            u8(uint8_t(int8_t(delta)));
            bits = relative;
        } else if (fits_i16(v)) {
            u16(uint16_t(int16_t(v)));
            bits = relative | absolute;
        } else {
            fail();
        }
        *previous = v;
        return bits;
    }

    void nibbles(const std::vector<unsigned>& nibs) {
        for (size_t i = 0; i < nibs.size(); i += 2) {
            u8(nibs[i] | (i + 1 < nibs.size() ? nibs[i + 1] >> 4 : 0));
        }
    }

    // ---- Records ----

    void rect_record(const SpiceRect& r, SpiceRect* prev) {
        size_t at = size();
        u8(0);
        unsigned f = coordinate(r.left, &prev->left, 0x10, 0x01);
        f |= coordinate(r.top, &prev->top, 0x20, 0x02);
        f |= coordinate(r.right, &prev->right, 0x40, 0x04);
        f |= coordinate(r.bottom, &prev->bottom, 0x80, 0x08);
        bytes_[at] = uint8_t(f);
    }

    // The common prefix; returns the header flags.
    uint8_t base(const SpiceMsgDisplayBase& b, SpiceRect* box) {
        uint8_t header = 0;
        if (b.surface_id != 0) {
            fail();  // the compact forms draw on the primary surface only
        }
        if (smallest_ && memcmp(&b.box, box, sizeof(SpiceRect)) == 0) {
            header |= SPICE_OPT_HEADER_BOX_UNCHANGED;
        } else {
            rect_record(b.box, box);
        }
        if (b.clip.type == SPICE_CLIP_TYPE_RECTS) {
            header |= SPICE_OPT_HEADER_CLIP_RECTS;
            clip_list(*b.clip.rects);
        } else if (b.clip.type != SPICE_CLIP_TYPE_NONE) {
            fail();
        }
        return header;
    }

    void clip_list(const SpiceClipRects& clip) {
        short_varint(clip.num_rects);
        std::vector<unsigned> nibs;
        Encoding values(smallest_ ? CompactEncoder::Mode::Smallest : CompactEncoder::Mode::Explicit);
        SpiceRect prev{};
        for (uint32_t i = 0; i < clip.num_rects; i++) {
            const SpiceRect& r = clip.rects[i];
            unsigned nib = values.clip_value(r.left, &prev.left, 0x10);
            nib |= values.clip_value(r.top, &prev.top, 0x20);
            nib |= values.clip_value(r.right, &prev.right, 0x40);
            nib |= values.clip_value(r.bottom, &prev.bottom, 0x80);
            nibs.push_back(nib);
        }
        if (!values.ok()) {
            fail();
        }
        nibbles(nibs);
        raw(values.bytes_.data(), values.bytes_.size());
    }

    // A clip value: an i8 delta from the previous rectangle, or (with its bit) an absolute i16.
    unsigned clip_value(int32_t v, int32_t* prev, unsigned absolute) {
        int64_t delta = int64_t(v) - *prev;
        *prev = v;
        if (smallest_ && fits_i8(delta)) {
            u8(uint8_t(int8_t(delta)));
            return 0;
        }
        if (!fits_i16(v)) {
            fail();
        }
        u16(uint16_t(int16_t(v)));
        return absolute;
    }

    // The image flags (type 0x04, flags 0x08, width 0x10, height 0x20) of an image against its slot; the
    // image itself is written at an offset.
    unsigned image(const SpiceImage* img, OptImageSlot* slot) {
        if (!img) {
            u32(0);
            return 0;
        }
        const SpiceImageDescriptor& d = img->descriptor;
        unsigned flags = 0;
        if (!smallest_ || d.type != slot->type) {
            flags |= 0x04;
        }
        if (!smallest_ || d.flags != slot->flags) {
            flags |= 0x08;
        }
        if (!smallest_ || d.width != slot->width) {
            flags |= 0x10;
        }
        if (!smallest_ || d.height != slot->height) {
            flags |= 0x20;
        }
        if (d.width > 0x7FFF || d.height > 0x7FFF) {
            fail();
        }
        *slot = OptImageSlot{d.type, d.flags, uint16_t(d.width), uint16_t(d.height)};
        offset_to([this, img, flags] {
            const SpiceImageDescriptor& d = img->descriptor;
            u64(d.id);
            if (flags & 0x04) {
                u8(d.type);
            }
            if (flags & 0x08) {
                u8(d.flags);
            }
            if (flags & 0x10) {
                short_varint(d.width);
            }
            if (flags & 0x20) {
                short_varint(d.height);
            }
            image_payload(*img);
        });
        return flags;
    }

    void chunks(const SpiceChunks* data) {
        for (uint32_t i = 0; data && i < data->num_chunks; i++) {
            raw(data->chunk[i].data, data->chunk[i].len);
        }
    }

    void palette_field(uint8_t flags, const SpicePalette* palette, uint64_t palette_id) {
        if (flags & SPICE_BITMAP_FLAGS_PAL_FROM_CACHE) {
            u64(palette_id);
        } else if (!palette) {
            u32(0);
        } else {
            offset_to([this, palette] {
                u64(palette->unique);
                u16(palette->num_ents);
                for (uint16_t i = 0; i < palette->num_ents; i++) {
                    u32(palette->ents[i]);
                }
            });
        }
    }

    // The payload of the ordinary form of each type.
    void image_payload(const SpiceImage& img) {
        switch (img.descriptor.type) {
            case SPICE_IMAGE_TYPE_BITMAP: {
                const SpiceBitmap& b = img.u.bitmap;
                u8(b.format);
                u8(b.flags);
                u32(b.x);
                u32(b.y);
                u32(b.stride);
                palette_field(b.flags, b.palette, b.palette_id);
                chunks(b.data);
                break;
            }
            case SPICE_IMAGE_TYPE_QUIC:
            case SPICE_IMAGE_TYPE_LZ_RGB:
            case SPICE_IMAGE_TYPE_GLZ_RGB:
            case SPICE_IMAGE_TYPE_JPEG:
            case SPICE_IMAGE_TYPE_COMPACT_110:
                u32(img.u.quic.data_size);
                chunks(img.u.quic.data);
                break;
            case SPICE_IMAGE_TYPE_LZ_PLT:
                u8(img.u.lz_plt.flags);
                u32(img.u.lz_plt.data_size);
                palette_field(img.u.lz_plt.flags, img.u.lz_plt.palette, img.u.lz_plt.palette_id);
                chunks(img.u.lz_plt.data);
                break;
            case SPICE_IMAGE_TYPE_SURFACE:
                u32(img.u.surface.surface_id);
                break;
            case SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB:
                u32(img.u.zlib_glz.glz_data_size);
                u32(img.u.zlib_glz.data_size);
                chunks(img.u.zlib_glz.data);
                break;
            case SPICE_IMAGE_TYPE_JPEG_ALPHA:
                u8(img.u.jpeg_alpha.flags);
                u32(img.u.jpeg_alpha.jpeg_size);
                u32(img.u.jpeg_alpha.data_size);
                chunks(img.u.jpeg_alpha.data);
                break;
            default:
                break;
        }
    }

    // A brush record; returns its bits of the flag word (0x0001-0x0400).
    unsigned brush(const SpiceBrush& b, OptBrushContext* k) {
        unsigned w = 0;
        if (b.type > 0xFF) {
            fail();
        }
        if (!smallest_ || b.type != k->type) {
            w |= 0x0001;
            u8(b.type);
            k->type = uint8_t(b.type);
        }
        if (b.type == SPICE_BRUSH_TYPE_SOLID) {
            if (!smallest_ || b.u.color != k->color) {
                w |= 0x0002 | sized(b.u.color, 0x0004, 0x0008);
                k->color = b.u.color;
            }
        } else if (b.type == SPICE_BRUSH_TYPE_PATTERN) {
            w |= image(b.u.pattern.pat, &k->pattern) << 1;
            w |= coordinate(b.u.pattern.pos.x, &k->pattern_pos.x, 0x0080, 0x0100);
            w |= coordinate(b.u.pattern.pos.y, &k->pattern_pos.y, 0x0200, 0x0400);
        }
        return w;
    }

    // A mask record, or nothing (false) when the smallest form of a message without a mask is asked for.
    bool mask(const SpiceQMask& m, OptMaskContext* k) {
        if (smallest_ && m.flags == 0 && m.pos.x == 0 && m.pos.y == 0 && !m.bitmap) {
            return false;
        }
        size_t at = size();
        u16(0);
        unsigned w = 0;
        if (!smallest_ || m.flags != k->flags) {
            w |= 0x0001;
            u8(m.flags);
            k->flags = m.flags;
        }
        w |= coordinate(m.pos.x, &k->pos.x, 0x0002, 0x0004);
        w |= coordinate(m.pos.y, &k->pos.y, 0x0008, 0x0010);
        w |= image(m.bitmap, &k->image) << 5;
        patch_u16(at, w);
        return true;
    }

    // A raster-operation descriptor against the previous one; returns its bits (present, u16).
    unsigned rop(uint16_t v, uint16_t* prev, unsigned present, unsigned wide) {
        if (smallest_ && v == *prev) {
            return 0;
        }
        *prev = v;
        if (smallest_ && v <= 0xFF) {
            u8(v);
            return present;
        }
        u16(v);
        return present | wide;
    }

    void path(const SpicePath& p, bool with_count) {
        if (with_count) {
            segment_count(p.num_segments);
        }
        std::vector<unsigned> nibs;
        Encoding segments(smallest_ ? CompactEncoder::Mode::Smallest : CompactEncoder::Mode::Explicit);
        uint32_t flags = 0, count = 0;
        for (uint32_t i = 0; i < p.num_segments; i++) {
            const SpicePathSeg& seg = *p.segments[i];
            unsigned nib = 0;
            if (seg.flags > 0xFF) {
                fail();
            }
            if (!smallest_ || seg.flags != flags) {
                nib |= 0x10;
                segments.u8(seg.flags);
                flags = seg.flags;
            }
            if (!smallest_ || seg.count != count) {
                nib |= 0x20 | segments.sized(seg.count, 0x40, 0x80);
                count = seg.count;
            }
            nibs.push_back(nib);
            segments.points(seg);
        }
        if (!segments.ok()) {
            fail();
        }
        nibbles(nibs);
        raw(segments.bytes_.data(), segments.bytes_.size());
    }

    void points(const SpicePathSeg& seg) {
        std::vector<unsigned> nibs;
        Encoding values(smallest_ ? CompactEncoder::Mode::Smallest : CompactEncoder::Mode::Explicit);
        SpicePointFix prev{0, 0};
        for (uint32_t j = 0; j < seg.count; j++) {
            unsigned nib = values.path_value(seg.points[j].x, prev.x) << 4;
            nib |= values.path_value(seg.points[j].y, prev.y) << 6;
            prev = seg.points[j];
            nibs.push_back(nib);
        }
        nibbles(nibs);
        raw(values.bytes_.data(), values.bytes_.size());
    }

    // A path coordinate; returns its 2-bit code (1: i8 delta, 2: i16 delta, 3: absolute i32).
    unsigned path_value(int32_t v, int32_t prev) {
        int64_t delta = int64_t(v) - prev;
        if (smallest_ && delta == 0) {
            return 0;
        }
        if (smallest_ && fits_i8(delta)) {
            u8(uint8_t(int8_t(delta)));
            return 1;
        }
        if (smallest_ && fits_i16(delta)) {
            u16(uint16_t(int16_t(delta)));
            return 2;
        }
        u32(uint32_t(v));
        return 3;
    }

private:
    bool smallest_;
    bool ok_ = true;
    std::vector<uint8_t> bytes_;
    std::deque<std::pair<size_t, std::function<void()>>> pending_;
};

void encode_fill(Encoding& e, const SpiceMsgDisplayDrawFill& m, OptFillContext* k, uint8_t* header) {
    *header = e.base(m.base, &k->box);
    size_t at = e.size();
    e.u16(0);
    unsigned f = e.brush(m.data.brush, &k->brush);
    f |= e.rop(m.data.rop_descriptor, &k->rop_descriptor, 0x0800, 0x1000);
    if (e.mask(m.data.mask, &k->mask)) {
        f |= 0x2000;
    }
    e.patch_u16(at, f);
}

void encode_copy(Encoding& e, const SpiceMsgDisplayBase& base, const SpiceCopy& d, OptCopyContext* k,
                 uint8_t* header) {
    *header = e.base(base, &k->box);
    size_t at = e.size();
    e.u16(0);
    unsigned f = e.image(d.src_bitmap, &k->src);
    if (!e.smallest() || memcmp(&d.src_area, &k->src_area, sizeof(SpiceRect)) != 0) {
        f |= 0x0040;
        e.rect_record(d.src_area, &k->src_area);
    }
    f |= e.rop(d.rop_descriptor, &k->rop_descriptor, 0x0080, 0x0100);
    if (!e.smallest() || d.scale_mode != k->scale_mode) {
        f |= 0x0200;
        e.u8(d.scale_mode);
        k->scale_mode = d.scale_mode;
    }
    if (e.mask(d.mask, &k->mask)) {
        f |= 0x0400;
    }
    e.patch_u16(at, f);
}

void encode_stroke(Encoding& e, const SpiceMsgDisplayDrawStroke& m, OptStrokeContext* k, uint8_t* header) {
    const SpiceStroke& d = m.data;
    *header = e.base(m.base, &k->box);
    size_t at = e.size();
    e.u16(0);
    unsigned s = 0;
    if (!e.smallest() || d.path->num_segments != k->num_segments) {
        s |= 0x0001;
        k->num_segments = d.path->num_segments;
    }
    bool with_count = s & 0x0001;
    e.offset_to([&e, &d, with_count] { e.path(*d.path, with_count); });
    if (!e.smallest() || d.attr.flags != k->line_flags) {
        s |= 0x0002;
        e.u8(d.attr.flags);
        k->line_flags = d.attr.flags;
    }
    if (d.attr.flags & SPICE_LINE_FLAGS_STYLED) {
        if (!e.smallest() || d.attr.style_nseg != k->style_nseg) {
            s |= 0x0004;
            e.u8(d.attr.style_nseg);
            k->style_nseg = d.attr.style_nseg;
        }
        if (d.attr.style_nseg == 0) {
            e.u32(0);
        } else {
            e.offset_to([&e, &d] {
                for (uint8_t i = 0; i < d.attr.style_nseg; i++) {
                    e.u32(uint32_t(d.attr.style[i]));
                }
            });
        }
    }
    s |= e.brush(d.brush, &k->brush) << 3;
    if (!e.smallest() || d.fore_mode != k->fore_mode) {
        s |= 0x4000;
        e.short_varint(d.fore_mode);
        k->fore_mode = d.fore_mode;
    }
    if (!e.smallest() || d.back_mode != k->back_mode) {
        s |= 0x8000;
        e.short_varint(d.back_mode);
        k->back_mode = d.back_mode;
    }
    e.patch_u16(at, s);
}

}  // namespace

bool CompactEncoder::encode(uint16_t type, const uint8_t* parsed, CompactMessage* out) {
    OptDrawContext before = prev_;
    Encoding e(mode_);
    uint8_t header = 0;
    switch (type) {
        case SPICE_MSG_DISPLAY_DRAW_FILL:
            encode_fill(e, *reinterpret_cast<const SpiceMsgDisplayDrawFill*>(parsed), &prev_.fill, &header);
            break;
        case SPICE_MSG_DISPLAY_DRAW_COPY: {
            auto m = reinterpret_cast<const SpiceMsgDisplayDrawCopy*>(parsed);
            encode_copy(e, m->base, m->data, &prev_.copy, &header);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_CACHE_COPY: {
            auto m = reinterpret_cast<const SpiceMsgDisplayDrawCacheCopy*>(parsed);
            encode_copy(e, m->base, m->data, &prev_.cache_copy, &header);
            e.u64(m->cache_id);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_STROKE:
            encode_stroke(e, *reinterpret_cast<const SpiceMsgDisplayDrawStroke*>(parsed), &prev_.stroke,
                          &header);
            break;
        default:
            e.fail();
            break;
    }
    std::vector<uint8_t> body = e.finish();
    if (!e.ok()) {
        prev_ = before;
        return false;
    }
    out->header_flags = header;
    out->body = std::move(body);
    return true;
}
