// Display draw messages from arbitrary bytes, parsed by the display channel's parser and drawn by the
// display channel's own canvases of both back ends (SCanvas, then GDICanvas) on a 64x64 x8r8g8b8 surface,
// with its GLZ, JPEG and zlib decoders and the session's pixmap cache. The first byte picks the message type
// from the table below; the rest is the body, parsed from a buffer of exactly its size. Surface 0 is the
// canvas itself, surface 1 a 16x16 5-5-5 canvas and surface 2 a 16x16 a8r8g8b8 one, so surface sources of
// every depth (and with alpha) are drawn. The pixmap cache holds an x8r8g8b8 image (id 0) and an a1 image (id
// 1); a fetch of any other id gives up at once, within the image fetch or with the Exception that ends the
// channel's connection (the draw of a cache copy). The GLZ window is fresh for each message and aborted, so
// an image that would wait for an older one fails instead of hanging. Reports stay on: a CRITICAL or ERROR
// report ends the run under the log's default abort level, and none must be reachable from server data.
#include <pixman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "canvas/canvas.h"
#include "canvas/gdi_canvas.h"
#include "canvas/pixmap_cache.h"
#include "canvas/sw_canvas.h"
#include "transport/protocol/extra_messages.h"
#include "transport/protocol/server_messages.h"

namespace {

const uint16_t message_types[] = {
    SPICE_MSG_DISPLAY_COPY_BITS,        SPICE_MSG_DISPLAY_DRAW_FILL,      SPICE_MSG_DISPLAY_DRAW_OPAQUE,
    SPICE_MSG_DISPLAY_DRAW_COPY,        SPICE_MSG_DISPLAY_DRAW_BLEND,     SPICE_MSG_DISPLAY_DRAW_BLACKNESS,
    SPICE_MSG_DISPLAY_DRAW_WHITENESS,   SPICE_MSG_DISPLAY_DRAW_INVERS,    SPICE_MSG_DISPLAY_DRAW_ROP3,
    SPICE_MSG_DISPLAY_DRAW_STROKE,      SPICE_MSG_DISPLAY_DRAW_TEXT,      SPICE_MSG_DISPLAY_DRAW_TRANSPARENT,
    SPICE_MSG_DISPLAY_DRAW_ALPHA_BLEND, SPICE_MSG_DISPLAY_DRAW_COMPOSITE, SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD,
    SPICE_MSG_DISPLAY_DRAW_CACHE_COPY,
};
constexpr size_t MESSAGE_TYPE_COUNT = sizeof(message_types) / sizeof(message_types[0]);

void cache_image(PixmapCache& cache, uint64_t id, pixman_format_code_t format) {
    pixman_image_t* image = pixman_image_create_bits(format, 8, 8, nullptr, 0);
    memset(pixman_image_get_data(image), 0xA5, size_t(pixman_image_get_stride(image)) * 8);
    cache.add(id, image);
    canvas_image_unref(image);
}

SpicePaletteCacheOps palette_cache_ops = {
    [](SpicePaletteCache*, SpicePalette*) {},
    [](SpicePaletteCache*, uint64_t) -> SpicePalette* { return nullptr; },
    [](SpicePaletteCache*, SpicePalette*) {},
};

void draw(SpiceCanvas* canvas, uint16_t type, uint8_t* parsed) {
    SpiceCanvasOps* ops = canvas->ops;
    auto* base = reinterpret_cast<SpiceMsgDisplayBase*>(parsed);
    switch (type) {
        case SPICE_MSG_DISPLAY_COPY_BITS: {
            auto* msg = reinterpret_cast<SpiceMsgDisplayCopyBits*>(parsed);
            ops->copy_bits(canvas, &msg->base.box, &msg->base.clip, &msg->src_pos);
            break;
        }
        case SPICE_MSG_DISPLAY_DRAW_FILL:
            ops->draw_fill(canvas, &base->box, &base->clip,
                           &reinterpret_cast<SpiceMsgDisplayDrawFill*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_OPAQUE:
            ops->draw_opaque(canvas, &base->box, &base->clip,
                             &reinterpret_cast<SpiceMsgDisplayDrawOpaque*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_COPY:
            ops->draw_copy(canvas, &base->box, &base->clip,
                           &reinterpret_cast<SpiceMsgDisplayDrawCopy*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_BLEND:
            ops->draw_blend(canvas, &base->box, &base->clip,
                            &reinterpret_cast<SpiceMsgDisplayDrawBlend*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_BLACKNESS:
            ops->draw_blackness(canvas, &base->box, &base->clip,
                                &reinterpret_cast<SpiceMsgDisplayDrawBlackness*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_WHITENESS:
            ops->draw_whiteness(canvas, &base->box, &base->clip,
                                &reinterpret_cast<SpiceMsgDisplayDrawWhiteness*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_INVERS:
            ops->draw_invers(canvas, &base->box, &base->clip,
                             &reinterpret_cast<SpiceMsgDisplayDrawInvers*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_ROP3:
            ops->draw_rop3(canvas, &base->box, &base->clip,
                           &reinterpret_cast<SpiceMsgDisplayDrawRop3*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_STROKE:
            ops->draw_stroke(canvas, &base->box, &base->clip,
                             &reinterpret_cast<SpiceMsgDisplayDrawStroke*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_TEXT:
            ops->draw_text(canvas, &base->box, &base->clip,
                           &reinterpret_cast<SpiceMsgDisplayDrawText*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_TRANSPARENT:
            ops->draw_transparent(canvas, &base->box, &base->clip,
                                  &reinterpret_cast<SpiceMsgDisplayDrawTransparent*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_ALPHA_BLEND:
            ops->draw_alpha_blend(canvas, &base->box, &base->clip,
                                  &reinterpret_cast<SpiceMsgDisplayDrawAlphaBlend*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_COMPOSITE:
            ops->draw_composite(canvas, &base->box, &base->clip,
                                &reinterpret_cast<SpiceMsgDisplayDrawComposite*>(parsed)->data);
            break;
        case SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD:
            ops->draw_cache_build(canvas, reinterpret_cast<SpiceMsgDisplayDrawCacheBuild*>(parsed));
            break;
        case SPICE_MSG_DISPLAY_DRAW_CACHE_COPY: {
            auto* msg = reinterpret_cast<SpiceMsgDisplayDrawCacheCopy*>(parsed);
            ops->draw_cache_copy(canvas, &msg->base.box, &msg->base.clip, msg);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Warnings only cost time here; CRITICAL and ERROR still print and abort.
    setenv("SPICE_DEBUG_LEVEL", "1", 0);
    sw_canvas_ops_init();
    gdi_canvas_ops_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const uint16_t type = message_types[data[0] % MESSAGE_TYPE_COUNT];
    std::vector<uint8_t> body(data + 1, data + size);
    const SpiceChannelParser* parser = spice_get_server_channel_parser(SPICE_CHANNEL_DISPLAY, 2);
    size_t parsed_size = 0;
    message_destructor_t free_message = nullptr;
    uint8_t* parsed =
        parser->parser(body.data(), body.data() + body.size(), type, 2, &parsed_size, &free_message);
    if (!parsed) {
        return 0;
    }

    PixmapCache cache(0);
    cache_image(cache, 0, PIXMAN_x8r8g8b8);
    cache_image(cache, 1, PIXMAN_a1);
    SpicePaletteCache palettes{&palette_cache_ops};
    GlzDecoderCanvasDebug glz_debug;
    GlzDecoderWindow glz_window(glz_debug);
    glz_window.set_abort();
    CanvasSurfaces surfaces;
    {
        SCanvas canvas(false, 64, 64, SPICE_SURFACE_FMT_32_xRGB, &cache, &palettes, glz_window, &surfaces);
        SCanvas other(false, 16, 16, SPICE_SURFACE_FMT_16_555, &cache, &palettes, glz_window, &surfaces);
        SCanvas with_alpha(false, 16, 16, SPICE_SURFACE_FMT_32_ARGB, &cache, &palettes, glz_window,
                           &surfaces);
        // Pixels that are neither black nor opaque, so that every blend changes something.
        for (SCanvas* each : {&canvas, &other, &with_alpha}) {
            SpiceCanvas* spice_canvas = each->get_internal_canvas();
            pixman_image_t* image = spice_canvas->ops->get_image(spice_canvas, 0);
            memset(pixman_image_get_data(image), 0x3C,
                   size_t(pixman_image_get_stride(image)) * size_t(pixman_image_get_height(image)));
            canvas_image_unref(image);
        }
        surfaces.canvases()[0] = &canvas;
        surfaces.canvases()[1] = &other;
        surfaces.canvases()[2] = &with_alpha;

        // The cache's Exception (an id that never comes) ends the channel's connection there; here the
        // message.
        try {
            draw(canvas.get_internal_canvas(), type, parsed);
        } catch (const Exception&) {
        }
        surfaces.canvases().clear();
    }
    // The same message through the GDI back end, over surfaces of the same formats.
    {
        GDICanvas canvas(64, 64, SPICE_SURFACE_FMT_32_xRGB, &cache, &palettes, glz_window, &surfaces);
        GDICanvas other(16, 16, SPICE_SURFACE_FMT_16_555, &cache, &palettes, glz_window, &surfaces);
        GDICanvas with_alpha(16, 16, SPICE_SURFACE_FMT_32_ARGB, &cache, &palettes, glz_window, &surfaces);
        for (GDICanvas* each : {&canvas, &other, &with_alpha}) {
            RedPixmapGdi& pixmap = each->pixmap();
            memset(pixmap.get_data(), 0x3C, size_t(pixmap.get_stride()) * size_t(pixmap.get_height()));
        }
        surfaces.canvases()[0] = &canvas;
        surfaces.canvases()[1] = &other;
        surfaces.canvases()[2] = &with_alpha;
        try {
            draw(canvas.get_internal_canvas(), type, parsed);
        } catch (const Exception&) {
        }
        surfaces.canvases().clear();
    }
    free_message(parsed);
    return 0;
}
