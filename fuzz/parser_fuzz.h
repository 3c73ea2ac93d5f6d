// Shared body of the parser fuzz targets. An input is: one byte of options (bit 0: protocol generation 1;
// bits 1-2: the minor version; bits 3-4: the byte-stream channel, for the target that covers them), the u16
// message type, then the message body. Each body is parsed from a buffer of exactly its size; a parsed result
// is walked so that AddressSanitizer sees any pointer the parser left outside the block or the body.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "transport/protocol/extra_messages.h"
#include "transport/protocol/message_list.h"
#include "transport/protocol/server_messages.h"

namespace fuzz {

inline volatile uint8_t sink;

inline void touch(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    if (b && n) {
        sink = b[0];
        sink = b[n - 1];
    }
}

inline void touch_clip(const SpiceClip& clip) {
    if (clip.rects) {
        touch(clip.rects->rects, clip.rects->num_rects * sizeof(SpiceRect));
    }
}

inline void touch_chunks(const SpiceChunks* chunks) {
    for (uint32_t i = 0; chunks && i < chunks->num_chunks; i++) {
        touch(chunks->chunk[i].data, chunks->chunk[i].len);
    }
}

inline void touch_palette(const SpicePalette* palette) {
    if (palette) {
        touch(palette->ents, palette->num_ents * sizeof(uint32_t));
    }
}

inline void touch_image(const SpiceImage* image) {
    if (!image) {
        return;
    }
    switch (image->descriptor.type) {
        case SPICE_IMAGE_TYPE_BITMAP:
            touch_palette(image->u.bitmap.palette);
            touch_chunks(image->u.bitmap.data);
            break;
        case SPICE_IMAGE_TYPE_QUIC:
        case SPICE_IMAGE_TYPE_LZ_RGB:
        case SPICE_IMAGE_TYPE_GLZ_RGB:
        case SPICE_IMAGE_TYPE_JPEG:
            touch_chunks(image->u.quic.data);
            break;
        case SPICE_IMAGE_TYPE_LZ_PLT:
            touch_palette(image->u.lz_plt.palette);
            touch_chunks(image->u.lz_plt.data);
            break;
        case SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB:
            touch_chunks(image->u.zlib_glz.data);
            break;
        case SPICE_IMAGE_TYPE_JPEG_ALPHA:
            touch_chunks(image->u.jpeg_alpha.data);
            break;
        default:
            break;
    }
}

inline void touch_brush(const SpiceBrush& brush) {
    if (brush.type == SPICE_BRUSH_TYPE_PATTERN) {
        touch_image(brush.u.pattern.pat);
    }
}

inline void touch_string(const SpiceString* str) {
    unsigned bpp = str ? spice_string_bpp(str->flags) : 0;
    for (uint16_t i = 0; str && i < str->length; i++) {
        const SpiceRasterGlyph* g = str->glyphs[i];
        touch(g->data, size_t((g->width * bpp + 7) / 8) * g->height);
    }
}

inline void touch_path(const SpicePath* path) {
    for (uint32_t i = 0; path && i < path->num_segments; i++) {
        touch(path->segments[i]->points, path->segments[i]->count * sizeof(SpicePointFix));
    }
}

inline void touch_display(uint16_t type, const uint8_t* m) {
    switch (type) {
        case SPICE_MSG_DISPLAY_DRAW_FILL: {
            auto d = reinterpret_cast<const SpiceMsgDisplayDrawFill*>(m);
            touch_clip(d->base.clip);
            touch_brush(d->data.brush);
            touch_image(d->data.mask.bitmap);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_OPAQUE: {
            auto d = reinterpret_cast<const SpiceMsgDisplayDrawOpaque*>(m);
            touch_image(d->data.src_bitmap);
            touch_brush(d->data.brush);
            touch_image(d->data.mask.bitmap);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_COPY:
        case SPICE_MSG_DISPLAY_DRAW_BLEND:
        case SPICE_MSG_DISPLAY_DRAW_CACHE_COPY: {
            auto d = reinterpret_cast<const SpiceMsgDisplayDrawCopy*>(m);
            touch_clip(d->base.clip);
            touch_image(d->data.src_bitmap);
            touch_image(d->data.mask.bitmap);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_ROP3: {
            auto d = reinterpret_cast<const SpiceMsgDisplayDrawRop3*>(m);
            touch_image(d->data.src_bitmap);
            touch_brush(d->data.brush);
            touch_image(d->data.mask.bitmap);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_STROKE: {
            auto d = reinterpret_cast<const SpiceMsgDisplayDrawStroke*>(m);
            touch_path(d->data.path);
            touch(d->data.attr.style, d->data.attr.style_nseg * sizeof(SPICE_FIXED28_4));
            touch_brush(d->data.brush);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_TEXT: {
            auto d = reinterpret_cast<const SpiceMsgDisplayDrawText*>(m);
            touch_string(d->data.str);
            touch_brush(d->data.fore_brush);
            touch_brush(d->data.back_brush);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_TRANSPARENT:
            touch_image(reinterpret_cast<const SpiceMsgDisplayDrawTransparent*>(m)->data.src_bitmap);
            break;
        case SPICE_MSG_DISPLAY_DRAW_ALPHA_BLEND:
            touch_image(reinterpret_cast<const SpiceMsgDisplayDrawAlphaBlend*>(m)->data.src_bitmap);
            break;
        case SPICE_MSG_DISPLAY_DRAW_COMPOSITE: {
            auto d = reinterpret_cast<const SpiceMsgDisplayDrawComposite*>(m);
            touch_image(d->data.src_bitmap);
            touch_image(d->data.mask_bitmap);
            break;
        }
        case SPICE_MSG_DISPLAY_STREAM_DATA: {
            auto d = reinterpret_cast<const SpiceMsgDisplayStreamData*>(m);
            touch(d->data, d->data_size);
            break;
        }
        case SPICE_MSG_DISPLAY_VIDEO_FRAGMENT: {
            auto d = reinterpret_cast<const SpiceMsgDisplayVideoFragment*>(m);
            touch(d->data(), d->data_size);
            break;
        }
        default:
            break;
    }
}

inline void touch_result(uint8_t channel, uint16_t type, const uint8_t* m, size_t size) {
    touch(m, size);
    if (channel == SPICE_CHANNEL_DISPLAY) {
        touch_display(type, m);
    } else if (channel == SPICE_CHANNEL_CURSOR &&
               (type == SPICE_MSG_CURSOR_SET || type == SPICE_MSG_CURSOR_INIT)) {
        const SpiceCursor& c = type == SPICE_MSG_CURSOR_SET
                                   ? reinterpret_cast<const SpiceMsgCursorSet*>(m)->cursor
                                   : reinterpret_cast<const SpiceMsgCursorInit*>(m)->cursor;
        touch(c.data, c.data_size);
    } else if (type == SPICE_MSG_PING || (channel == SPICE_CHANNEL_MAIN && type == SPICE_MSG_MAIN_PONG)) {
        auto p = reinterpret_cast<const SpiceMsgPing*>(m);
        touch(p->data, p->data_len);
    }
}

inline void parse_one(const SpiceChannelParser& entry, uint8_t channel, uint16_t type, uint8_t* start,
                      uint8_t* end, int minor, bool list_allowed) {
    size_t size = 0;
    message_destructor_t release = nullptr;
    uint8_t* parsed = entry.parser(start, end, type, minor, &size, &release);
    if (!parsed) {
        return;
    }
    touch_result(channel, type, parsed, size);
    if (type == SPICE_MSG_LIST && list_allowed) {
        SpiceMessageList list(parsed, parsed + size);
        SpiceSubMessage sub;
        for (uint16_t i = 0; i < list.count(); i++) {
            if (list.get(i, &sub)) {
                parse_one(entry, channel, sub.type, sub.data, sub.end, minor, false);
            }
        }
    }
    release(parsed);
}

inline int run(uint8_t channel, const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    int major = (data[0] & 1) ? 1 : 2;
    int minor = (data[0] >> 1) & 3;
    if (channel == SPICE_CHANNEL_USBREDIR) {
        channel = uint8_t(SPICE_CHANNEL_USBREDIR + ((data[0] >> 3) & 3) % 3);
    }
    uint16_t type = uint16_t(data[1] | (data[2] << 8));
    const SpiceChannelParser* entry = spice_get_server_channel_parser(channel, major);
    if (!entry || !entry->parser) {
        return 0;
    }
    size_t n = size - 3;
    uint8_t* body = static_cast<uint8_t*>(malloc(n ? n : 1));
    memcpy(body, data + 3, n);
    parse_one(*entry, channel, type, body, body + n, minor, true);
    free(body);
    return 0;
}

// Parse failures are expected by the million here: keep the warnings off standard error.
inline void quiet_logs() {
    setenv("SPICE_DEBUG_LEVEL", "1", 1);
}

}  // namespace fuzz

#define KTW_PARSER_FUZZ_TARGET(channel)                                       \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {                      \
        fuzz::quiet_logs();                                                   \
        return 0;                                                             \
    }                                                                         \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
        return fuzz::run(channel, data, size);                                \
    }
