// Display channel messages of both protocol generations (the maker's own types are in extra_messages.cpp).
#include "transport/protocol/parse_structs.h"

#include "transport/protocol/extra_messages.h"

namespace {

void parse_mode(ParseCtx& c) {
    SpiceMsgDisplayMode* m = c.b.record<SpiceMsgDisplayMode>();
    m->x_res = c.r.u32();
    m->y_res = c.r.u32();
    m->bits = c.r.u32();
}

void parse_copy_bits(ParseCtx& c) {
    SpiceMsgDisplayCopyBits* m = c.b.record<SpiceMsgDisplayCopyBits>();
    read_display_base(c, &m->base);
    m->src_pos = read_point(c.r);
}

void parse_inval_list(ParseCtx& c) {
    SpiceMsgDisplayInvalList* m = c.b.record<SpiceMsgDisplayInvalList>();
    uint16_t n = c.r.u16();
    m->count = n;
    m->resources = c.read_array<SpiceResourceID>(c.r, n, 9, [](WireReader& in) {
        SpiceResourceID res;
        res.type = in.u8();
        res.id = in.u64();
        return res;
    });
}

void parse_inval_one(ParseCtx& c) {
    c.b.record<SpiceMsgDisplayInvalOne>()->id = c.r.u64();
}

void parse_stream_create(ParseCtx& c) {
    SpiceMsgDisplayStreamCreate* m = c.b.record<SpiceMsgDisplayStreamCreate>();
    if (c.gen == Gen::V2) {
        m->surface_id = c.r.u32();
        m->id = c.r.u32();
        m->flags = c.r.u8();
        m->codec_type = c.r.u8();
    } else {
        m->surface_id = 0;
        m->id = c.r.u32();
        uint32_t flags = c.r.u32();
        uint32_t codec = c.r.u32();
        if (flags > 0xFF || codec > 0xFF) {
            c.fail();  // would not survive the narrowing to the parsed form
        }
        m->flags = uint8_t(flags);
        m->codec_type = uint8_t(codec);
    }
    // Real servers put a u64 stamp between the codec and the sizes.
    m->stamp = c.r.u64();
    m->stream_width = c.r.u32();
    m->stream_height = c.r.u32();
    m->src_width = c.r.u32();
    m->src_height = c.r.u32();
    m->dest = read_rect(c.r);
    read_clip(c, c.r, &m->clip);
}

void parse_stream_data(ParseCtx& c) {
    SpiceMsgDisplayStreamData* m = c.b.record<SpiceMsgDisplayStreamData>();
    m->base.id = c.r.u32();
    m->base.multi_media_time = c.r.u32();
    uint32_t size = c.r.u32();
    // Generation 1 pads the frame: the pad bytes follow the data and belong to the message.
    uint32_t pad = c.gen == Gen::V1 ? c.r.u32() : 0;
    m->data_size = size;
    m->data = c.r.bytes(size);
    c.r.skip(pad);
}

void parse_stream_clip(ParseCtx& c) {
    SpiceMsgDisplayStreamClip* m = c.b.record<SpiceMsgDisplayStreamClip>();
    m->id = c.r.u32();
    read_clip(c, c.r, &m->clip);
}

void parse_stream_destroy(ParseCtx& c) {
    c.b.record<SpiceMsgDisplayStreamDestroy>()->id = c.r.u32();
}

void parse_fill(ParseCtx& c) {
    SpiceMsgDisplayDrawFill* m = c.b.record<SpiceMsgDisplayDrawFill>();
    read_display_base(c, &m->base);
    read_brush(c, c.r, &m->data.brush);
    m->data.rop_descriptor = c.r.u16();
    read_qmask(c, c.r, &m->data.mask);
}

void parse_opaque(ParseCtx& c) {
    SpiceMsgDisplayDrawOpaque* m = c.b.record<SpiceMsgDisplayDrawOpaque>();
    read_display_base(c, &m->base);
    int64_t src = c.pointer();
    m->data.src_area = read_rect(c.r);
    read_brush(c, c.r, &m->data.brush);
    m->data.rop_descriptor = c.r.u16();
    m->data.scale_mode = c.r.u8();
    read_qmask(c, c.r, &m->data.mask);
    m->data.src_bitmap = image_at(c, src, false);
}

void parse_copy(ParseCtx& c) {
    SpiceMsgDisplayDrawCopy* m = c.b.record<SpiceMsgDisplayDrawCopy>();
    read_display_base(c, &m->base);
    read_copy_body(c, &m->data);
}

void parse_mask_only(ParseCtx& c) {
    SpiceMsgDisplayDrawBlackness* m = c.b.record<SpiceMsgDisplayDrawBlackness>();
    read_display_base(c, &m->base);
    read_qmask(c, c.r, &m->data.mask);
}

void parse_rop3(ParseCtx& c) {
    SpiceMsgDisplayDrawRop3* m = c.b.record<SpiceMsgDisplayDrawRop3>();
    read_display_base(c, &m->base);
    int64_t src = c.pointer();
    m->data.src_area = read_rect(c.r);
    read_brush(c, c.r, &m->data.brush);
    m->data.rop3 = c.r.u8();
    m->data.scale_mode = c.r.u8();
    read_qmask(c, c.r, &m->data.mask);
    m->data.src_bitmap = image_at(c, src, false);
}

void parse_stroke(ParseCtx& c) {
    SpiceMsgDisplayDrawStroke* m = c.b.record<SpiceMsgDisplayDrawStroke>();
    read_display_base(c, &m->base);
    int64_t path = c.pointer();
    read_line_attr(c, c.r, &m->data.attr);
    read_brush(c, c.r, &m->data.brush);
    m->data.fore_mode = c.r.u16();
    m->data.back_mode = c.r.u16();
    m->data.path = path_at(c, path);
}

void parse_text(ParseCtx& c) {
    SpiceMsgDisplayDrawText* m = c.b.record<SpiceMsgDisplayDrawText>();
    read_display_base(c, &m->base);
    int64_t str = c.pointer();
    m->data.back_area = read_rect(c.r);
    read_brush(c, c.r, &m->data.fore_brush);
    read_brush(c, c.r, &m->data.back_brush);
    m->data.fore_mode = c.r.u16();
    m->data.back_mode = c.r.u16();
    m->data.str = string_at(c, str);
}

void parse_transparent(ParseCtx& c) {
    SpiceMsgDisplayDrawTransparent* m = c.b.record<SpiceMsgDisplayDrawTransparent>();
    read_display_base(c, &m->base);
    int64_t src = c.pointer();
    m->data.src_area = read_rect(c.r);
    m->data.src_color = c.r.u32();
    m->data.true_color = c.r.u32();
    m->data.src_bitmap = image_at(c, src, false);
}

// Generation 1 has no alpha flags (0 here).
void parse_alpha_blend(ParseCtx& c) {
    SpiceMsgDisplayDrawAlphaBlend* m = c.b.record<SpiceMsgDisplayDrawAlphaBlend>();
    read_display_base(c, &m->base);
    m->data.alpha_flags = c.gen == Gen::V2 ? c.r.u8() : 0;
    m->data.alpha = c.r.u8();
    int64_t src = c.pointer();
    m->data.src_area = read_rect(c.r);
    m->data.src_bitmap = image_at(c, src, false);
}

void parse_surface_create(ParseCtx& c) {
    SpiceMsgSurfaceCreate* m = c.b.record<SpiceMsgSurfaceCreate>();
    m->surface_id = c.r.u32();
    m->width = c.r.u32();
    m->height = c.r.u32();
    m->format = c.r.u32();
    m->flags = c.r.u32();
}

void parse_surface_destroy(ParseCtx& c) {
    c.b.record<SpiceMsgSurfaceDestroy>()->surface_id = c.r.u32();
}

void parse_stream_data_sized(ParseCtx& c) {
    SpiceMsgDisplayStreamDataSized* m = c.b.record<SpiceMsgDisplayStreamDataSized>();
    m->base.id = c.r.u32();
    m->base.multi_media_time = c.r.u32();
    m->width = c.r.u32();
    m->height = c.r.u32();
    m->dest = read_rect(c.r);
    uint32_t size = c.r.u32();
    m->data_size = size;
    m->data = c.r.bytes(size);
}

void parse_monitors_config(ParseCtx& c) {
    SpiceMsgDisplayMonitorsConfig* m = c.b.record<SpiceMsgDisplayMonitorsConfig>();
    uint16_t n = c.r.u16();
    m->count = n;
    m->max_allowed = c.r.u16();
    m->heads = c.read_array<SpiceHead>(c.r, n, 28, [](WireReader& in) {
        SpiceHead h;
        h.id = in.u32();
        h.surface_id = in.u32();
        h.width = in.u32();
        h.height = in.u32();
        h.x = in.u32();
        h.y = in.u32();
        h.flags = in.u32();
        return h;
    });
}

SpiceTransform read_transform(WireReader& in) {
    SpiceTransform t;
    t.t00 = in.u32();
    t.t01 = in.u32();
    t.t02 = in.u32();
    t.t10 = in.u32();
    t.t11 = in.u32();
    t.t12 = in.u32();
    return t;
}

// The mask pointer and the two transforms are on the wire only when their flags say so.
void parse_composite(ParseCtx& c) {
    SpiceMsgDisplayDrawComposite* m = c.b.record<SpiceMsgDisplayDrawComposite>();
    read_display_base(c, &m->base);
    uint32_t flags = c.r.u32();
    m->data.flags = flags;
    int64_t src = c.pointer();
    int64_t mask = (flags & SPICE_COMPOSITE_HAS_MASK) ? c.pointer() : -1;
    m->data.src_transform =
        (flags & SPICE_COMPOSITE_HAS_SRC_TRANSFORM) ? read_transform(c.r) : SpiceTransform{};
    m->data.mask_transform =
        (flags & SPICE_COMPOSITE_HAS_MASK_TRANSFORM) ? read_transform(c.r) : SpiceTransform{};
    m->data.src_origin = read_point16(c.r);
    m->data.mask_origin = read_point16(c.r);
    m->data.src_bitmap = image_at(c, src, false);
    m->data.mask_bitmap = image_at(c, mask, false);
}

void parse_stream_activate_report(ParseCtx& c) {
    SpiceMsgDisplayStreamActivateReport* m = c.b.record<SpiceMsgDisplayStreamActivateReport>();
    m->stream_id = c.r.u32();
    m->unique_id = c.r.u32();
    m->max_window_size = c.r.u32();
    m->timeout_ms = c.r.u32();
}

const MessageEntry display_v2[] = {
    parsed_msg(SPICE_MSG_DISPLAY_MODE, parse_mode, "display mode"),
    empty_msg(SPICE_MSG_DISPLAY_MARK, "display mark"),
    empty_msg(SPICE_MSG_DISPLAY_RESET, "display reset"),
    parsed_msg(SPICE_MSG_DISPLAY_COPY_BITS, parse_copy_bits, "display copy_bits"),
    parsed_msg(SPICE_MSG_DISPLAY_INVAL_LIST, parse_inval_list, "display inval_list"),
    parsed_msg(SPICE_MSG_DISPLAY_INVAL_ALL_PIXMAPS, parse_wait_for_channels, "display inval_all_pixmaps"),
    parsed_msg(SPICE_MSG_DISPLAY_INVAL_PALETTE, parse_inval_one, "display inval_palette"),
    empty_msg(SPICE_MSG_DISPLAY_INVAL_ALL_PALETTES, "display inval_all_palettes"),
    parsed_msg(SPICE_MSG_DISPLAY_STREAM_CREATE, parse_stream_create, "display stream_create"),
    parsed_msg(SPICE_MSG_DISPLAY_STREAM_DATA, parse_stream_data, "display stream_data"),
    parsed_msg(SPICE_MSG_DISPLAY_STREAM_CLIP, parse_stream_clip, "display stream_clip"),
    parsed_msg(SPICE_MSG_DISPLAY_STREAM_DESTROY, parse_stream_destroy, "display stream_destroy"),
    empty_msg(SPICE_MSG_DISPLAY_STREAM_DESTROY_ALL, "display stream_destroy_all"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_FILL, parse_fill, "display draw_fill"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_OPAQUE, parse_opaque, "display draw_opaque"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_COPY, parse_copy, "display draw_copy"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_BLEND, parse_copy, "display draw_blend"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_BLACKNESS, parse_mask_only, "display draw_blackness"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_WHITENESS, parse_mask_only, "display draw_whiteness"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_INVERS, parse_mask_only, "display draw_invers"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_ROP3, parse_rop3, "display draw_rop3"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_STROKE, parse_stroke, "display draw_stroke"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_TEXT, parse_text, "display draw_text"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_TRANSPARENT, parse_transparent, "display draw_transparent"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_ALPHA_BLEND, parse_alpha_blend, "display draw_alpha_blend"),
    parsed_msg(SPICE_MSG_DISPLAY_SURFACE_CREATE, parse_surface_create, "display surface_create"),
    parsed_msg(SPICE_MSG_DISPLAY_SURFACE_DESTROY, parse_surface_destroy, "display surface_destroy"),
    parsed_msg(SPICE_MSG_DISPLAY_STREAM_DATA_SIZED, parse_stream_data_sized, "display stream_data_sized"),
    parsed_msg(SPICE_MSG_DISPLAY_MONITORS_CONFIG, parse_monitors_config, "display monitors_config"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_COMPOSITE, parse_composite, "display draw_composite"),
    parsed_msg(SPICE_MSG_DISPLAY_STREAM_ACTIVATE_REPORT, parse_stream_activate_report,
               "display stream_activate_report"),
    parsed_msg(SPICE_MSG_DISPLAY_EXTRA_320, parse_display_extra_320, "display 320"),
    parsed_msg(SPICE_MSG_DISPLAY_VIDEO_FRAGMENT, parse_display_video_fragment, "display video_fragment"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD, parse_display_draw_cache_build,
               "display draw_cache_build"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_CACHE_COPY, parse_display_draw_cache_copy, "display draw_cache_copy"),
    empty_msg(SPICE_MSG_DISPLAY_EXTRA_362, "display 362"),
    empty_msg(SPICE_MSG_DISPLAY_DRAW_REFRESH, "display draw_refresh"),
    empty_msg(SPICE_MSG_DISPLAY_INVALIDATE_LAYER, "display invalidate_layer"),
};

const MessageEntry display_v1[] = {
    parsed_msg(SPICE_MSG_DISPLAY_MODE, parse_mode, "display mode"),
    empty_msg(SPICE_MSG_DISPLAY_MARK, "display mark"),
    empty_msg(SPICE_MSG_DISPLAY_RESET, "display reset"),
    parsed_msg(SPICE_MSG_DISPLAY_COPY_BITS, parse_copy_bits, "display copy_bits"),
    parsed_msg(SPICE_MSG_DISPLAY_INVAL_LIST, parse_inval_list, "display inval_list"),
    parsed_msg(SPICE_MSG_DISPLAY_INVAL_ALL_PIXMAPS, parse_wait_for_channels, "display inval_all_pixmaps"),
    parsed_msg(SPICE_MSG_DISPLAY_INVAL_PALETTE, parse_inval_one, "display inval_palette"),
    empty_msg(SPICE_MSG_DISPLAY_INVAL_ALL_PALETTES, "display inval_all_palettes"),
    parsed_msg(SPICE_MSG_DISPLAY_STREAM_CREATE, parse_stream_create, "display stream_create"),
    parsed_msg(SPICE_MSG_DISPLAY_STREAM_DATA, parse_stream_data, "display stream_data"),
    parsed_msg(SPICE_MSG_DISPLAY_STREAM_CLIP, parse_stream_clip, "display stream_clip"),
    parsed_msg(SPICE_MSG_DISPLAY_STREAM_DESTROY, parse_stream_destroy, "display stream_destroy"),
    empty_msg(SPICE_MSG_DISPLAY_STREAM_DESTROY_ALL, "display stream_destroy_all"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_FILL, parse_fill, "display draw_fill"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_OPAQUE, parse_opaque, "display draw_opaque"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_COPY, parse_copy, "display draw_copy"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_BLEND, parse_copy, "display draw_blend"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_BLACKNESS, parse_mask_only, "display draw_blackness"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_WHITENESS, parse_mask_only, "display draw_whiteness"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_INVERS, parse_mask_only, "display draw_invers"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_ROP3, parse_rop3, "display draw_rop3"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_STROKE, parse_stroke, "display draw_stroke"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_TEXT, parse_text, "display draw_text"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_TRANSPARENT, parse_transparent, "display draw_transparent"),
    parsed_msg(SPICE_MSG_DISPLAY_DRAW_ALPHA_BLEND, parse_alpha_blend, "display draw_alpha_blend"),
    empty_msg(SPICE_MSG_DISPLAY_INVALIDATE_LAYER, "display invalidate_layer"),
};

}  // namespace

void read_copy_body(ParseCtx& c, SpiceCopy* out) {
    int64_t src = c.pointer();
    out->src_area = read_rect(c.r);
    out->rop_descriptor = c.r.u16();
    out->scale_mode = c.r.u8();
    read_qmask(c, c.r, &out->mask);
    out->src_bitmap = image_at(c, src, false);
}

const MessageTable display_messages_v2 = {"display", Gen::V2, display_v2,
                                          sizeof(display_v2) / sizeof(display_v2[0])};
const MessageTable display_messages_v1 = {"display", Gen::V1, display_v1,
                                          sizeof(display_v1) / sizeof(display_v1[0])};
