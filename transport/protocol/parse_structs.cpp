#include "transport/protocol/parse_structs.h"

SpicePoint read_point(WireReader& in) {
    SpicePoint p;
    p.x = in.i32();
    p.y = in.i32();
    return p;
}

SpicePoint16 read_point16(WireReader& in) {
    SpicePoint16 p;
    p.x = in.i16();
    p.y = in.i16();
    return p;
}

SpiceRect read_rect(WireReader& in) {
    SpiceRect rc;
    rc.top = in.i32();
    rc.left = in.i32();
    rc.bottom = in.i32();
    rc.right = in.i32();
    return rc;
}

namespace {

// {u32 count, count rectangles}, read from in into a record followed by its array.
SpiceClipRects* read_clip_rects(ParseCtx& c, WireReader& in) {
    uint32_t n = in.u32();
    SpiceClipRects* rects = c.b.record<SpiceClipRects>();
    rects->num_rects = n;
    rects->rects = c.read_array<SpiceRect>(in, n, 16, read_rect);
    return rects;
}

}  // namespace

void read_clip(ParseCtx& c, WireReader& in, SpiceClip* out) {
    if (c.gen == Gen::V2) {
        uint8_t type = in.u8();
        out->type = type;
        out->rects = type == SPICE_CLIP_TYPE_RECTS ? read_clip_rects(c, in) : nullptr;
        return;
    }
    // Generation 1: a u32 type and a pointer to the rectangle list (or to a path, which this client ignores).
    uint32_t type = in.u32();
    int64_t data = c.pointer(in);
    out->type = uint8_t(type);
    out->rects = nullptr;
    if (type > 0xFF || (type == SPICE_CLIP_TYPE_RECTS && data < 0)) {
        c.fail();
    } else if (type == SPICE_CLIP_TYPE_RECTS) {
        out->rects = at_offset(c, data, [&](WireReader& t) { return read_clip_rects(c, t); });
    }
}

void read_display_base(ParseCtx& c, SpiceMsgDisplayBase* out) {
    out->surface_id = c.gen == Gen::V2 ? c.r.u32() : 0;
    out->box = read_rect(c.r);
    read_clip(c, c.r, &out->clip);
}

void read_brush(ParseCtx& c, WireReader& in, SpiceBrush* out) {
    uint32_t type = c.gen == Gen::V2 ? in.u8() : in.u32();
    out->type = type;
    out->u.pattern = SpicePattern{};
    if (type == SPICE_BRUSH_TYPE_SOLID) {
        out->u.color = in.u32();
    } else if (type == SPICE_BRUSH_TYPE_PATTERN) {
        int64_t pat = c.pointer(in);
        out->u.pattern.pos = read_point(in);
        out->u.pattern.pat = image_at(c, pat, true);
    }
}

void read_qmask(ParseCtx& c, WireReader& in, SpiceQMask* out) {
    out->flags = in.u8();
    out->pos = read_point(in);
    out->bitmap = image_at(c, c.pointer(in), false);
}

void read_line_attr(ParseCtx& c, WireReader& in, SpiceLineAttr* out) {
    uint8_t flags = in.u8();
    uint8_t nseg = 0;
    int64_t style = -1;
    if (c.gen == Gen::V2) {
        if (flags & SPICE_LINE_FLAGS_STYLED) {
            nseg = in.u8();
            style = c.pointer(in);
        }
    } else {
        // Generation 1 also sends join style, cap style, width and miter limit, which nothing here uses.
        in.skip(2);
        nseg = in.u8();
        in.skip(8);
        style = c.pointer(in);
        if (!(flags & SPICE_LINE_FLAGS_STYLED)) {
            nseg = 0;
            style = -1;
        }
    }
    out->flags = flags;
    out->style_nseg = nseg;
    out->style = nullptr;
    if (nseg == 0) {
        return;
    }
    if (style < 0) {
        // A style count without its lengths would leave the reader of the attributes nothing to read.
        c.fail();
        return;
    }
    out->style = at_offset(c, style, [&](WireReader& t) {
        return c.read_array<SPICE_FIXED28_4>(t, nseg, 4, [](WireReader& e) { return e.i32(); });
    });
}

char* string_at(ParseCtx& c, int64_t offset, uint32_t size, bool required) {
    if (offset < 0) {
        if (required) {
            c.fail();
        }
        return nullptr;
    }
    return at_offset(c, offset, [&](WireReader& in) { return c.copy_string(in.bytes(size), size); });
}

SpiceChunks* one_chunk(ParseCtx& c, const uint8_t* data, uint32_t len) {
    SpiceChunks* chunks = c.b.record<SpiceChunks>();
    SpiceChunk* chunk = c.b.array<SpiceChunk>(1);
    chunks->data_size = len;
    chunks->num_chunks = 1;
    chunks->flags = 0;
    if (chunk) {
        // The chunk refers to the received message, which the parsed block never outlives.
        chunk->data = const_cast<uint8_t*>(data);
        chunk->len = len;
    }
    return chunks;
}

SpicePalette* palette_at(ParseCtx& c, int64_t offset) {
    if (offset < 0) {
        return nullptr;
    }
    return at_offset(c, offset, [&](WireReader& in) {
        uint64_t unique = in.u64();
        uint16_t n = in.u16();
        SpicePalette* palette = c.b.record<SpicePalette>();
        palette->unique = unique;
        palette->num_ents = n;
        palette->ents = c.read_array<uint32_t>(in, n, 4, [](WireReader& e) { return e.u32(); });
        return palette;
    });
}

namespace {

// The palette field of BITMAP and LZ_PLT: a cached palette's u64 id with SPICE_BITMAP_FLAGS_PAL_FROM_CACHE,
// otherwise a pointer.
void read_palette_field(ParseCtx& c, WireReader& in, uint8_t flags, bool required, SpicePalette** palette,
                        uint64_t* palette_id) {
    *palette = nullptr;
    *palette_id = 0;
    if (flags & SPICE_BITMAP_FLAGS_PAL_FROM_CACHE) {
        *palette_id = in.u64();
        return;
    }
    int64_t offset = c.pointer(in);
    if (offset < 0 && required) {
        c.fail();
    }
    *palette = palette_at(c, offset);
}

// data_size bytes of the image's data, directly in the payload.
SpiceChunks* read_data(ParseCtx& c, WireReader& in, uint32_t data_size) {
    return one_chunk(c, in.bytes(data_size), data_size);
}

void read_bitmap(ParseCtx& c, WireReader& in, SpiceBitmap* out) {
    uint8_t format = in.u8();
    uint8_t flags = in.u8();
    uint32_t x = in.u32();
    uint32_t y = in.u32();
    uint32_t stride = in.u32();
    out->format = format;
    out->flags = flags;
    out->x = x;
    out->y = y;
    out->stride = stride;
    read_palette_field(c, in, flags, false, &out->palette, &out->palette_id);

    uint64_t bpp = spice_bitmap_format_bpp(format);
    if (bpp && (uint64_t(x) * bpp + 7) / 8 > stride) {
        c.fail();  // a row would run into the next one, and the last row past the data
    }
    uint64_t size = uint64_t(stride) * y;
    if (size > UINT32_MAX) {
        c.fail();
        size = 0;
    }
    if (c.gen == Gen::V2) {
        // The pixel rows follow inline.
        out->data = one_chunk(c, in.bytes(size), uint32_t(size));
        return;
    }
    int64_t data = c.pointer(in);
    if (data < 0) {
        c.fail();
    }
    out->data =
        at_offset(c, data, [&](WireReader& t) { return one_chunk(c, t.bytes(size), uint32_t(size)); });
}

}  // namespace

void read_image_payload(ParseCtx& c, WireReader& in, SpiceImage* image, uint8_t type, bool compact) {
    switch (type) {
        case SPICE_IMAGE_TYPE_BITMAP:
            read_bitmap(c, in, &image->u.bitmap);
            break;
        case SPICE_IMAGE_TYPE_COMPACT_110:
            if (!compact) {
                break;
            }
            [[fallthrough]];  // the compact type 110 is laid out like QUIC
        case SPICE_IMAGE_TYPE_QUIC:
        case SPICE_IMAGE_TYPE_LZ_RGB:
        case SPICE_IMAGE_TYPE_GLZ_RGB:
        case SPICE_IMAGE_TYPE_JPEG: {
            uint32_t size = in.u32();
            image->u.quic.data_size = size;
            image->u.quic.data = read_data(c, in, size);
            break;
        }
        case SPICE_IMAGE_TYPE_LZ_PLT: {
            SpiceLZPLTData* lz = &image->u.lz_plt;
            uint8_t flags = in.u8();
            uint32_t size = in.u32();
            lz->flags = flags;
            lz->data_size = size;
            read_palette_field(c, in, flags, true, &lz->palette, &lz->palette_id);
            lz->data = read_data(c, in, size);
            break;
        }
        case SPICE_IMAGE_TYPE_SURFACE:
            image->u.surface.surface_id = in.u32();
            break;
        case SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB: {
            uint32_t glz_size = in.u32();
            uint32_t size = in.u32();
            image->u.zlib_glz.glz_data_size = glz_size;
            image->u.zlib_glz.data_size = size;
            image->u.zlib_glz.data = read_data(c, in, size);
            break;
        }
        case SPICE_IMAGE_TYPE_JPEG_ALPHA: {
            uint8_t flags = in.u8();
            uint32_t jpeg_size = in.u32();
            uint32_t size = in.u32();
            if (jpeg_size > size) {
                c.fail();  // the JPEG part must lie inside the data it starts
            }
            image->u.jpeg_alpha.flags = flags;
            image->u.jpeg_alpha.jpeg_size = jpeg_size;
            image->u.jpeg_alpha.data_size = size;
            image->u.jpeg_alpha.data = read_data(c, in, size);
            break;
        }
        default:
            // FROM_CACHE, FROM_CACHE_LOSSLESS and unknown types are the descriptor alone.
            break;
    }
}

SpiceImage* image_at(ParseCtx& c, int64_t offset, bool required) {
    if (offset < 0) {
        if (required) {
            c.fail();
        }
        return nullptr;
    }
    return at_offset(c, offset, [&](WireReader& in) {
        SpiceImage* image = c.b.record<SpiceImage>();
        *image = SpiceImage{};
        SpiceImageDescriptor d;
        d.id = in.u64();
        d.type = in.u8();
        d.flags = in.u8();
        d.width = in.u32();
        d.height = in.u32();
        image->descriptor = d;
        read_image_payload(c, in, image, d.type, false);
        return image;
    });
}

namespace {

SpicePointFix read_point_fix(WireReader& in) {
    SpicePointFix p;
    p.x = in.i32();
    p.y = in.i32();
    return p;
}

SpicePathSeg* read_path_seg(ParseCtx& c, WireReader& in) {
    uint32_t flags = c.gen == Gen::V2 ? in.u8() : in.u32();
    uint32_t count = in.u32();
    SpicePathSeg* seg = c.b.record<SpicePathSeg>();
    seg->flags = flags;
    seg->count = count;
    seg->points = c.read_array<SpicePointFix>(in, count, 8, read_point_fix);
    return seg;
}

// The segments of a path: the record, its array of segment pointers, then each segment with its points.
SpicePath* read_path_segments(ParseCtx& c, WireReader& in, uint32_t num_segments) {
    SpicePath* path = c.b.record<SpicePath>();
    path->num_segments = num_segments;
    SpicePathSeg** segments = c.b.array<SpicePathSeg*>(num_segments);
    path->segments = segments;
    for (uint32_t i = 0; i < num_segments && in.ok(); i++) {
        SpicePathSeg* seg = read_path_seg(c, in);
        if (segments) {
            segments[i] = seg;
        }
    }
    return path;
}

}  // namespace

SpicePath* path_at(ParseCtx& c, int64_t offset) {
    if (offset < 0) {
        c.fail();  // a stroke without a path
        return nullptr;
    }
    return at_offset(c, offset, [&](WireReader& in) -> SpicePath* {
        if (c.gen == Gen::V2) {
            uint32_t n = in.u32();
            if (!in.need(n, 5)) {  // a segment is at least its flags and point count
                return nullptr;
            }
            return read_path_segments(c, in, n);
        }
        // Generation 1 gives the byte size of the segments instead of their count: count them first.
        uint32_t size = in.u32();
        const uint8_t* start = in.bytes(size);
        if (!start) {
            return nullptr;
        }
        WireReader walk(start, start + size);
        uint32_t n = 0;
        while (walk.ok() && walk.remaining() > 0) {
            walk.skip(4);
            uint32_t count = walk.u32();
            if (walk.need(count, 8)) {
                walk.skip(uint64_t(count) * 8);
            }
            n++;
        }
        if (!walk.ok()) {
            in.fail();
            return nullptr;
        }
        WireReader segments(start, start + size);
        SpicePath* path = read_path_segments(c, segments, n);
        if (!segments.ok()) {
            in.fail();
        }
        return path;
    });
}

SpiceString* string_at(ParseCtx& c, int64_t offset) {
    if (offset < 0) {
        return nullptr;
    }
    return at_offset(c, offset, [&](WireReader& in) -> SpiceString* {
        uint16_t length = in.u16();
        uint16_t flags = c.gen == Gen::V2 ? in.u8() : in.u16();
        unsigned bpp = spice_string_bpp(flags);
        if (length > 0 && bpp == 0) {
            in.fail();  // without a raster depth the glyph rows have no size
        }
        if (!in.need(length, 20)) {
            return nullptr;
        }
        SpiceString* str = c.b.record<SpiceString>();
        str->length = length;
        str->flags = flags;
        SpiceRasterGlyph** glyphs = c.b.array<SpiceRasterGlyph*>(length);
        str->glyphs = glyphs;
        for (uint16_t i = 0; i < length && in.ok(); i++) {
            SpicePoint render_pos = read_point(in);
            SpicePoint glyph_origin = read_point(in);
            uint16_t width = in.u16();
            uint16_t height = in.u16();
            uint64_t row = (uint64_t(width) * bpp + 7) / 8;
            const uint8_t* data = in.bytes(row * height);
            SpiceRasterGlyph* glyph = c.b.record<SpiceRasterGlyph>();
            glyph->render_pos = render_pos;
            glyph->glyph_origin = glyph_origin;
            glyph->width = width;
            glyph->height = height;
            glyph->data = data;
            if (glyphs) {
                glyphs[i] = glyph;
            }
        }
        return str;
    });
}

void read_cursor(ParseCtx& c, SpiceCursor* out) {
    WireReader& in = c.r;
    uint32_t flags = c.gen == Gen::V2 ? in.u16() : in.u32();
    out->flags = flags;
    out->header = SpiceCursorHeader{};
    out->data_size = 0;
    out->data = nullptr;
    // A major-2 server leaves the header out when there is no shape; generation 1 always sends it.
    if (c.gen == Gen::V2 && (flags & SPICE_CURSOR_FLAGS_NONE)) {
        return;
    }
    SpiceCursorHeader h;
    h.unique = in.u64();
    h.type = c.gen == Gen::V2 ? in.u8() : in.u16();
    h.width = in.u16();
    h.height = in.u16();
    h.hot_spot_x = in.u16();
    h.hot_spot_y = in.u16();
    out->header = h;
    uint32_t size = 0;
    const uint8_t* data = in.rest(&size);
    out->data = size ? data : nullptr;
    out->data_size = size;
}

void parse_ping(ParseCtx& c) {
    SpiceMsgPing* m = c.b.record<SpiceMsgPing>();
    m->id = c.r.u32();
    m->timestamp = c.r.u64();
    uint32_t size = 0;
    const uint8_t* data = c.r.rest(&size);
    m->data = data;
    m->data_len = size;
}

void parse_wait_for_channels(ParseCtx& c) {
    SpiceMsgWaitForChannels* m = c.b.record<SpiceMsgWaitForChannels>();
    uint8_t n = c.r.u8();
    m->wait_count = n;
    m->wait_list = c.read_array<SpiceWaitForChannel>(c.r, n, 10, [](WireReader& in) {
        SpiceWaitForChannel w;
        w.channel_type = in.u8();
        w.channel_id = in.u8();
        w.message_serial = in.u64();
        return w;
    });
}
