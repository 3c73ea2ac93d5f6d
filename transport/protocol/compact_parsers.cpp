// The compact draw encoding's parsers and the display channel's dispatch while it is on.
//
// Each compact parser is a body parser of parser_core, run twice over the body (measuring, then writing).
// Both runs update a context: the measuring run a copy, the writing run the channel's own, so the writing run
// starts from the values the message was encoded against. Records reached through an offset are read where
// the offset points, as the ordinary parsers do; where they land in the block does not matter to the reader
// of the structure.
#include "transport/protocol/compact_parsers.h"

#include "runtime/log.h"
#include "runtime/peer_check.h"
#include "transport/protocol/extra_messages.h"
#include "transport/protocol/parse_structs.h"

namespace {

// What a compact parse carries besides the body.
struct OptRun {
    uint8_t header_flags;
    OptDrawContext* context;
};

OptRun& run_of(ParseCtx& c) {
    return *static_cast<OptRun*>(c.state);
}

// A refused body is reported (runtime/peer_check.h) by the measuring run only: the writing run reads the same
// bytes.
#define OPT_REPORT(c, level, ...)              \
    do {                                       \
        if (!(c).b.writing()) {                \
            peer_report((level), __VA_ARGS__); \
        }                                      \
    } while (0)

const int kWarn = SPICE_LOG_LEVEL_WARNING;
const int kInfo = SPICE_LOG_LEVEL_INFO;

// One step of a body: skipped once the parse has failed; when it is the step that fails, text is reported.
template <class F>
void step(ParseCtx& c, int level, const char* text, F read) {
    if (!c.ok()) {
        return;
    }
    read();
    if (!c.ok() && text) {
        OPT_REPORT(c, level, "%s", text);
    }
}

// ---- Primitives ----

// Sums of a previous value and a delta wrap like the server's 32-bit arithmetic instead of overflowing.
int32_t add_wrapping(int32_t previous, int32_t delta) {
    return int32_t(uint32_t(previous) + uint32_t(delta));
}

// One byte for 0-127; else two bytes, high byte first, 15 bits.
uint16_t read_short_varint(WireReader& in) {
    uint8_t first = in.u8();
    if (!(first & 0x80)) {
        return first;
    }
    return uint16_t(((first & 0x7F) << 8) | in.u8());
}

// One byte for 0-127; two for 128-255 (the first byte's low bits unused); four for larger counts.
uint32_t read_segment_count(WireReader& in) {
    uint8_t first = in.u8();
    if (!(first & 0x80)) {
        return first;
    }
    uint8_t second = in.u8();
    if (!(second & 0x80)) {
        return 128u + second;
    }
    uint8_t third = in.u8();
    uint8_t fourth = in.u8();
    return (uint32_t(first & 0x7F) << 23) | (uint32_t(second & 0x7F) << 16) | (uint32_t(third) << 8) | fourth;
}

// A u8, u16, 24-bit or u32 value, as the bits a (low) and b (high) of flags choose.
uint32_t read_sized_value(WireReader& in, unsigned flags, unsigned a, unsigned b) {
    static const unsigned widths[] = {1, 2, 3, 4};
    return in.uint_n(widths[((flags & a) ? 1 : 0) | ((flags & b) ? 2 : 0)]);
}

// An absolute i16, else the previous value plus an i8, else the previous value.
int32_t read_coordinate(WireReader& in, bool absolute, bool relative, int32_t previous) {
    if (absolute) {
        return in.i16();
    }
    return relative ? add_wrapping(previous, in.i8()) : previous;
}

// The 4 flag bits of element i of a nibble array, as bits 0x10-0x80.
unsigned nibble_at(const uint8_t* nibbles, uint64_t i) {
    uint8_t byte = nibbles[i / 2];
    return (i % 2 == 0 ? byte : byte << 4) & 0xF0;
}

// A rectangle record: a flag byte, then left, top, right, bottom as present. Updates *previous.
void read_rect_record(WireReader& in, SpiceRect* previous) {
    uint8_t f = in.u8();
    previous->left = read_coordinate(in, f & 0x01, f & 0x10, previous->left);
    previous->top = read_coordinate(in, f & 0x02, f & 0x20, previous->top);
    previous->right = read_coordinate(in, f & 0x04, f & 0x40, previous->right);
    previous->bottom = read_coordinate(in, f & 0x08, f & 0x80, previous->bottom);
}

// ---- Records ----

// A clip list: a short-varint count, a nibble array, then per rectangle four values, absolute i16 when their
// bit is set, else the previous rectangle's value plus an i8 (0 before the first).
SpiceClipRects* read_clip_list(ParseCtx& c, WireReader& in) {
    uint16_t n = read_short_varint(in);
    const uint8_t* nibbles = in.bytes((uint64_t(n) + 1) / 2);
    SpiceClipRects* rects = c.b.record<SpiceClipRects>();
    rects->num_rects = n;
    SpiceRect* out = c.b.array<SpiceRect>(n);
    rects->rects = out;
    SpiceRect r{};
    for (uint16_t i = 0; i < n && in.ok(); i++) {
        unsigned nib = nibble_at(nibbles, i);
        r.left = read_coordinate(in, nib & 0x10, true, r.left);
        r.top = read_coordinate(in, nib & 0x20, true, r.top);
        r.right = read_coordinate(in, nib & 0x40, true, r.right);
        r.bottom = read_coordinate(in, nib & 0x80, true, r.bottom);
        if (out) {
            out[i] = r;
        }
    }
    return rects;
}

// The common prefix: the box (unless unchanged) and the clip list.
void read_base(ParseCtx& c, SpiceRect* box, SpiceMsgDisplayBase* out) {
    uint8_t header = run_of(c).header_flags;
    if (!(header & SPICE_OPT_HEADER_BOX_UNCHANGED)) {
        read_rect_record(c.r, box);
    }
    out->surface_id = 0;
    out->box = *box;
    out->clip.type = SPICE_CLIP_TYPE_NONE;
    out->clip.rects = nullptr;
    if (header & SPICE_OPT_HEADER_CLIP_RECTS) {
        out->clip.type = SPICE_CLIP_TYPE_RECTS;
        out->clip.rects = read_clip_list(c, c.r);
    }
}

// A compact image at a body offset (absent: NULL). image_flags: 0x04 type, 0x08 flags, 0x10 width, 0x20
// height are present; the others come from the slot, which keeps what is read. The payload is the ordinary
// one of the type.
SpiceImage* read_image(ParseCtx& c, int64_t offset, unsigned image_flags, OptImageSlot* slot) {
    if (offset < 0) {
        return nullptr;
    }
    if (uint64_t(offset) >= c.body.size()) {
        OPT_REPORT(c, kWarn, "[error]start is >= message_end=======>");
        c.fail();
        return nullptr;
    }
    return at_offset(c, offset, [&](WireReader& in) {
        SpiceImage* image = c.b.record<SpiceImage>();
        *image = SpiceImage{};
        SpiceImageDescriptor d;
        d.id = in.u64();
        if (image_flags & 0x04) {
            slot->type = in.u8();
        }
        if (image_flags & 0x08) {
            slot->flags = in.u8();
        }
        if (image_flags & 0x10) {
            slot->width = read_short_varint(in);
        }
        if (image_flags & 0x20) {
            slot->height = read_short_varint(in);
        }
        d.type = slot->type;
        d.flags = slot->flags;
        d.width = slot->width;
        d.height = slot->height;
        image->descriptor = d;
        read_image_payload(c, in, image, d.type, true);
        if (!in.ok()) {
            OPT_REPORT(c, kWarn, "[error] start + nw_size is larger than message_end");
        }
        return image;
    });
}

// A brush record under the flag word w: type (0x0001), a solid colour (0x0002, its width by 0x0004 and
// 0x0008), or a pattern: image offset (image flags from w >> 1) and a position (x: 0x0080, absolute 0x0100;
// y: 0x0200, absolute 0x0400).
void read_brush(ParseCtx& c, unsigned w, OptBrushContext* ctx, SpiceBrush* out) {
    WireReader& in = c.r;
    if (w & 0x0001) {
        ctx->type = in.u8();
    }
    out->type = ctx->type;
    out->u.pattern = SpicePattern{};
    if (ctx->type == SPICE_BRUSH_TYPE_SOLID) {
        if (w & 0x0002) {
            ctx->color = read_sized_value(in, w, 0x0004, 0x0008);
        }
        out->u.color = ctx->color;
    } else if (ctx->type == SPICE_BRUSH_TYPE_PATTERN) {
        int64_t pattern = c.pointer();
        ctx->pattern_pos.x = read_coordinate(in, (w & 0x0180) == 0x0180, w & 0x0080, ctx->pattern_pos.x);
        ctx->pattern_pos.y = read_coordinate(in, (w & 0x0600) == 0x0600, w & 0x0200, ctx->pattern_pos.y);
        out->u.pattern.pos = ctx->pattern_pos;
        if (!in.ok()) {
            OPT_REPORT(c, kWarn, "[error]pos reach message end ====================================>>");
            return;
        }
        if (pattern < 0) {
            OPT_REPORT(c, kWarn,
                       "validate_SpiceImage pat value failed ====================================>>");
            c.fail();
            return;
        }
        out->u.pattern.pat = read_image(c, pattern, (w >> 1) & 0xFF, &ctx->pattern);
        if (!c.ok()) {
            OPT_REPORT(c, kWarn, "validate_SpiceImage pat failed ====================================>>");
        }
    }
}

// A mask record: a u16 flag word m, the mask flags (0x0001), the position (x: 0x0002, absolute 0x0004; y:
// 0x0008, absolute 0x0010), then the image offset (0: no mask image; image flags from m >> 5).
void read_mask(ParseCtx& c, OptMaskContext* ctx, SpiceQMask* out) {
    WireReader& in = c.r;
    unsigned m = in.u16();
    if (m & 0x0001) {
        ctx->flags = in.u8();
    }
    ctx->pos.x = read_coordinate(in, (m & 0x0006) == 0x0006, m & 0x0002, ctx->pos.x);
    ctx->pos.y = read_coordinate(in, (m & 0x0018) == 0x0018, m & 0x0008, ctx->pos.y);
    int64_t image = c.pointer();
    out->flags = ctx->flags;
    out->pos = ctx->pos;
    out->bitmap = in.ok() ? read_image(c, image, (m >> 5) & 0xFF, &ctx->image) : nullptr;
}

// The mask of a message whose mask bit is clear; the context's mask stays as it is.
void no_mask(SpiceQMask* out) {
    out->flags = 0;
    out->pos = SpicePoint{0, 0};
    out->bitmap = nullptr;
}

// A point coordinate of a path, by two bits of its nibble: 1 the previous value plus an i8, 2 plus an i16,
// 3 an absolute i32, 0 the previous value.
int32_t read_path_coordinate(WireReader& in, unsigned code, int32_t previous) {
    switch (code) {
        case 1:
            return add_wrapping(previous, in.i8());
        case 2:
            return add_wrapping(previous, in.i16());
        case 3:
            return in.i32();
        default:
            return previous;
    }
}

// One segment of a compact path, after the segment's nibble; flags and count carry over between segments.
SpicePathSeg* read_path_segment(ParseCtx& c, WireReader& in, unsigned nib, uint32_t* flags, uint32_t* count) {
    if (nib & 0x10) {
        *flags = in.u8();
    }
    if (nib & 0x20) {
        *count = read_sized_value(in, nib, 0x40, 0x80);
    }
    // One nibble per point bounds the count by the bytes that remain before anything is sized by it.
    const uint8_t* nibbles = in.bytes((uint64_t(*count) + 1) / 2);
    if (!nibbles) {
        return nullptr;
    }
    SpicePathSeg* seg = c.b.record<SpicePathSeg>();
    seg->flags = *flags;
    seg->count = *count;
    SpicePointFix* points = c.b.array<SpicePointFix>(*count);
    seg->points = points;
    if (c.b.writing()) {
        spice_info("out seg flag:%04x", *flags);
        spice_info("out point count:%d", int(*count));
    }
    SpicePointFix p{0, 0};
    for (uint32_t j = 0; j < *count && in.ok(); j++) {
        unsigned pn = nibble_at(nibbles, j);
        p.x = read_path_coordinate(in, (pn >> 4) & 3, p.x);
        p.y = read_path_coordinate(in, (pn >> 6) & 3, p.y);
        if (points) {
            points[j] = p;
            spice_info("point:%d, (%d, %d)", int(j), p.x, p.y);
        }
    }
    return seg;
}

// The segments of a compact path: the segment count (when stroke flag 0x0001; else the context's, which keeps
// it), a nibble array with one element per segment, then the segments. start is the path's body offset.
SpicePath* read_path_segments(ParseCtx& c, WireReader& in, uint64_t start, unsigned stroke_flags,
                              uint32_t* num_segments) {
    if (stroke_flags & 0x0001) {
        *num_segments = read_segment_count(in);
    }
    uint32_t n = *num_segments;
    const uint8_t* nibbles = in.bytes((uint64_t(n) + 1) / 2);
    if (!nibbles) {
        OPT_REPORT(c, kWarn, "pos reach message end ==================>");
        return nullptr;
    }
    SpicePath* path = c.b.record<SpicePath>();
    path->num_segments = n;
    SpicePathSeg** segments = c.b.array<SpicePathSeg*>(n);
    path->segments = segments;
    if (c.b.writing()) {
        spice_info("num_segments__value:%d", int(n));
    }
    uint32_t flags = 0, count = 0;
    for (uint32_t i = 0; i < n && in.ok(); i++) {
        unsigned nib = nibble_at(nibbles, i);
        if (c.b.writing()) {
            spice_info("num_segments index:%d order flag:%04x", int(i), nib);
        }
        uint64_t seg_start = in.offset();
        SpicePathSeg* seg = read_path_segment(c, in, nib, &flags, &count);
        if (!in.ok()) {
            OPT_REPORT(c, kWarn, " head_bytes:%d start3:%d  reach end==========>", int(nib),
                       int(seg_start - start));
        } else if (segments) {
            segments[i] = seg;
        }
    }
    return path;
}

// A compact path at a body offset. A path of no segments whose count comes from the context has no bytes at
// all, so its offset may be the body's end.
SpicePath* read_path(ParseCtx& c, int64_t offset, unsigned stroke_flags, uint32_t* num_segments) {
    WireReader in =
        uint64_t(offset) == c.body.size() ? WireReader(c.body.end(), c.body.end()) : c.target(offset);
    SpicePath* path = read_path_segments(c, in, uint64_t(offset), stroke_flags, num_segments);
    if (!in.ok()) {
        c.fail();
    }
    return path;
}

// ---- Message bodies ----

void parse_fill(ParseCtx& c) {
    OptFillContext& k = run_of(c).context->fill;
    SpiceMsgDisplayDrawFill* m = c.b.record<SpiceMsgDisplayDrawFill>();
    const char* past_end = "[error] message fits in reported side error======>";
    unsigned f = 0;
    step(c, kWarn, past_end, [&] {
        read_base(c, &k.box, &m->base);
        f = c.r.u16();
    });
    step(c, kWarn, "[error]get brush extra size error", [&] { read_brush(c, f, &k.brush, &m->data.brush); });
    step(c, kWarn, past_end, [&] {
        if (f & 0x0800) {
            k.rop_descriptor = (f & 0x1000) ? c.r.u16() : c.r.u8();
        }
        m->data.rop_descriptor = k.rop_descriptor;
    });
    no_mask(&m->data.mask);
    if (f & 0x2000) {
        step(c, kWarn, "[error]parse_spice_qmask__size error======>",
             [&] { read_mask(c, &k.mask, &m->data.mask); });
    }
}

// DRAW_COPY, and draw_cache_copy with its u64 key behind the body. The cache copy reports its first failures
// at Info.
void read_copy(ParseCtx& c, OptCopyContext& k, bool cache, SpiceMsgDisplayBase* base, SpiceCopy* out,
               uint64_t* cache_id) {
    int level = cache ? kInfo : kWarn;
    const char* past_end = "[error]start + nw_size reach message end================>";
    unsigned f = 0;
    int64_t src = -1;
    step(c, level, "[error]data src bitmap reach message end================>", [&] {
        read_base(c, &k.box, base);
        f = c.r.u16();
        src = c.pointer();
    });
    step(c, level, "[error]validate_SpiceImage failed================>",
         [&] { out->src_bitmap = read_image(c, src, f & 0xFF, &k.src); });
    step(c, kInfo, past_end, [&] {
        if (f & 0x0040) {
            read_rect_record(c.r, &k.src_area);
        }
        if (f & 0x0080) {
            k.rop_descriptor = (f & 0x0100) ? c.r.u16() : c.r.u8();
        }
        if (f & 0x0200) {
            k.scale_mode = c.r.u8();
        }
        out->src_area = k.src_area;
        out->rop_descriptor = k.rop_descriptor;
        out->scale_mode = k.scale_mode;
    });
    no_mask(&out->mask);
    if (f & 0x0400) {
        step(c, level, "[error]parse_spice_qmask__size failed================>",
             [&] { read_mask(c, &k.mask, &out->mask); });
    }
    if (cache) {
        step(c, kInfo, past_end, [&] { *cache_id = c.r.u64(); });
    }
}

void parse_copy(ParseCtx& c) {
    SpiceMsgDisplayDrawCopy* m = c.b.record<SpiceMsgDisplayDrawCopy>();
    read_copy(c, run_of(c).context->copy, false, &m->base, &m->data, nullptr);
}

void parse_cache_copy(ParseCtx& c) {
    SpiceMsgDisplayDrawCacheCopy* m = c.b.record<SpiceMsgDisplayDrawCacheCopy>();
    m->cache_id = 0;
    read_copy(c, run_of(c).context->cache_copy, true, &m->base, &m->data, &m->cache_id);
}

void parse_stroke(ParseCtx& c) {
    OptStrokeContext& k = run_of(c).context->stroke;
    SpiceMsgDisplayDrawStroke* m = c.b.record<SpiceMsgDisplayDrawStroke>();
    SpiceStroke& d = m->data;
    unsigned s = 0;
    int64_t path = -1;
    step(c, kWarn, "[error]data path pos reach message end-=-=====================>", [&] {
        read_base(c, &k.box, &m->base);
        s = c.r.u16();
        path = c.pointer();
    });
    if (c.ok() && path < 0) {
        OPT_REPORT(c, kWarn, "[error]path value is zero;===============>");
        c.fail();
    }
    step(c, kWarn, "[error]validate_spice path ptr_size < 0 ========================>",
         [&] { d.path = read_path(c, path, s, &k.num_segments); });

    int64_t style = -1;
    step(c, kWarn, "[error]pos + flags bytes > message_end ========================>", [&] {
        if (s & 0x0002) {
            k.line_flags = c.r.u8();
        }
        bool styled = k.line_flags & SPICE_LINE_FLAGS_STYLED;
        if (styled && (s & 0x0004)) {
            k.style_nseg = c.r.u8();
        }
        if (styled) {
            style = c.pointer();
        }
        // As in the ordinary form, attributes without the styled flag have no style, whatever count the
        // context holds for the next styled stroke.
        d.attr.flags = k.line_flags;
        d.attr.style_nseg = styled ? k.style_nseg : 0;
        d.attr.style = nullptr;
    });
    step(c, kWarn, nullptr, [&] {
        uint8_t nseg = d.attr.style_nseg;
        if (nseg == 0) {
            return;
        }
        if (style < 0) {
            c.fail();  // a style count without its lengths
            return;
        }
        d.attr.style = at_offset(c, style, [&](WireReader& t) {
            return c.read_array<SPICE_FIXED28_4>(t, nseg, 4, [](WireReader& e) { return e.i32(); });
        });
    });
    step(c, kWarn, "[error]get brush extra size failed================>",
         [&] { read_brush(c, s >> 3, &k.brush, &d.brush); });
    step(c, kWarn, nullptr, [&] {
        if (s & 0x4000) {
            k.fore_mode = read_short_varint(c.r);
        }
        if (s & 0x8000) {
            k.back_mode = read_short_varint(c.r);
        }
        d.fore_mode = k.fore_mode;
        d.back_mode = k.back_mode;
    });
}

// One compact message: measured against a copy of the context, written against the context itself.
uint8_t* parse_opt(BodyParser parse, const char* name, uint8_t header_flags, OptDrawContext* context,
                   uint8_t* message_start, uint8_t* message_end, int minor, size_t* size_out,
                   message_destructor_t* free_message) {
    if (!context) {
        peer_warning("message %s: no compact context", name);
        return nullptr;
    }
    OptDrawContext measured = *context;
    OptRun measure{header_flags, &measured};
    OptRun write{header_flags, context};
    uint8_t* block = parse_message_body(parse, name, Gen::V2, message_start, message_end, minor, &measure,
                                        &write, size_out, free_message);
    if (!block) {
        // The context keeps what the message gave before it went wrong.
        *context = measured;
    }
    return block;
}

uint8_t* parse_display_opt(const MessageTable& table, uint8_t header_flags, OptDrawContext* context,
                           uint8_t* message_start, uint8_t* message_end, uint16_t message_type, int minor,
                           size_t* size_out, message_destructor_t* free_message) {
    switch (message_type) {
        case SPICE_MSG_DISPLAY_DRAW_FILL:
            return parse_msg_display_draw_fill_opt(header_flags, context, message_start, message_end, minor,
                                                   size_out, free_message);
        case SPICE_MSG_DISPLAY_DRAW_COPY:
            return parse_msg_display_draw_copy_opt(header_flags, context, message_start, message_end, minor,
                                                   size_out, free_message);
        case SPICE_MSG_DISPLAY_DRAW_STROKE:
            return parse_msg_display_draw_stroke_opt(header_flags, context, message_start, message_end, minor,
                                                     size_out, free_message);
        case SPICE_MSG_DISPLAY_DRAW_CACHE_COPY:
            return parse_msg_display_draw_cache_copy_opt(header_flags, context, message_start, message_end,
                                                         minor, size_out, free_message);
        default:
            return parse_channel_message(table, message_start, message_end, message_type, minor, size_out,
                                         free_message);
    }
}

}  // namespace

uint8_t* parse_msg_display_draw_fill_opt(uint8_t header_flags, OptDrawContext* context,
                                         uint8_t* message_start, uint8_t* message_end, int minor,
                                         size_t* size_out, message_destructor_t* free_message) {
    return parse_opt(parse_fill, "display draw_fill (compact)", header_flags, context, message_start,
                     message_end, minor, size_out, free_message);
}

uint8_t* parse_msg_display_draw_copy_opt(uint8_t header_flags, OptDrawContext* context,
                                         uint8_t* message_start, uint8_t* message_end, int minor,
                                         size_t* size_out, message_destructor_t* free_message) {
    return parse_opt(parse_copy, "display draw_copy (compact)", header_flags, context, message_start,
                     message_end, minor, size_out, free_message);
}

uint8_t* parse_msg_display_draw_cache_copy_opt(uint8_t header_flags, OptDrawContext* context,
                                               uint8_t* message_start, uint8_t* message_end, int minor,
                                               size_t* size_out, message_destructor_t* free_message) {
    return parse_opt(parse_cache_copy, "display draw_cache_copy (compact)", header_flags, context,
                     message_start, message_end, minor, size_out, free_message);
}

uint8_t* parse_msg_display_draw_stroke_opt(uint8_t header_flags, OptDrawContext* context,
                                           uint8_t* message_start, uint8_t* message_end, int minor,
                                           size_t* size_out, message_destructor_t* free_message) {
    return parse_opt(parse_stroke, "display draw_stroke (compact)", header_flags, context, message_start,
                     message_end, minor, size_out, free_message);
}

uint8_t* parse_display_msg_opt(uint8_t header_flags, OptDrawContext* context, uint8_t* message_start,
                               uint8_t* message_end, uint16_t message_type, int minor, size_t* size_out,
                               message_destructor_t* free_message) {
    return parse_display_opt(display_messages_v2, header_flags, context, message_start, message_end,
                             message_type, minor, size_out, free_message);
}

uint8_t* parse_display_msg_opt1(uint8_t header_flags, OptDrawContext* context, uint8_t* message_start,
                                uint8_t* message_end, uint16_t message_type, int minor, size_t* size_out,
                                message_destructor_t* free_message) {
    return parse_display_opt(display_messages_v1, header_flags, context, message_start, message_end,
                             message_type, minor, size_out, free_message);
}

spice_parse_display_opt_func_t spice_get_display_opt_parser(int major_version) {
    return major_version == 1 ? parse_display_msg_opt1 : parse_display_msg_opt;
}
