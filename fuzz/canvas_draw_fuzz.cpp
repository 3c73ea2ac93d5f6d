// Display draw messages from arbitrary bytes, parsed by the display channel's parser and drawn by the
// software canvas on a 64x64 x8r8g8b8 surface. The first byte picks the message type from the table below;
// the rest is the body, parsed from a buffer of exactly its size. Surface 0 is the canvas itself and surface
// 1 a 16x16 5-5-5 canvas, so surface sources of both depths are drawn; the image cache holds an x8r8g8b8
// image (id 0) and an a1 image (id 1). Reports stay on: a CRITICAL or ERROR report ends the run under the
// log's default abort level, and none must be reachable from server data.
#include <pixman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "canvas/canvas_base.h"
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

struct FuzzImageCache : SpiceImageCache {
    std::map<uint64_t, pixman_image_t*> images;
    FuzzImageCache();
    ~FuzzImageCache() {
        for (auto& entry : images) {
            pixman_image_unref(entry.second);
        }
    }
};

void cache_put(SpiceImageCache* cache, uint64_t id, pixman_image_t* image) {
    auto& slot = static_cast<FuzzImageCache*>(cache)->images[id];
    pixman_image_ref(image);
    if (slot) {
        pixman_image_unref(slot);
    }
    slot = image;
}

pixman_image_t* cache_get(SpiceImageCache* cache, uint64_t id) {
    auto& images = static_cast<FuzzImageCache*>(cache)->images;
    auto it = images.find(id);
    return it == images.end() ? nullptr : pixman_image_ref(it->second);
}

const SpiceImageCacheOps image_cache_ops = {cache_put, cache_get, cache_put, cache_put, cache_get};

FuzzImageCache::FuzzImageCache() {
    ops = &image_cache_ops;
    const pixman_format_code_t formats[] = {PIXMAN_x8r8g8b8, PIXMAN_a1};
    for (uint64_t id = 0; id < 2; id++) {
        pixman_image_t* image = pixman_image_create_bits(formats[id], 8, 8, nullptr, 0);
        memset(pixman_image_get_data(image), 0xA5, size_t(pixman_image_get_stride(image)) * 8);
        cache_put(this, id, image);
        pixman_image_unref(image);
    }
}

SpicePaletteCacheOps palette_cache_ops = {
    [](SpicePaletteCache*, SpicePalette*) {},
    [](SpicePaletteCache*, uint64_t) -> SpicePalette* { return nullptr; },
    [](SpicePaletteCache*, SpicePalette*) {},
};

struct FuzzSurfaces : SpiceSurfaces {
    SpiceCanvas* canvases[2] = {};
};

SpiceSurfacesOps surfaces_ops = {[](SpiceSurfaces* surfaces, uint32_t id) -> SpiceCanvas* {
    return id < 2 ? static_cast<FuzzSurfaces*>(surfaces)->canvases[id] : nullptr;
}};

SpiceCanvas* new_canvas(int size, uint32_t format, pixman_format_code_t pixman_format, SpiceImageCache* cache,
                        SpicePaletteCache* palettes, SpiceSurfaces* surfaces) {
    pixman_image_t* image = pixman_image_create_bits(pixman_format, size, size, nullptr, 0);
    memset(pixman_image_get_data(image), 0x3C, size_t(pixman_image_get_stride(image)) * size_t(size));
    SpiceCanvas* canvas = sw_canvas_new(image, format, cache, palettes, surfaces, nullptr, nullptr, nullptr);
    if (!canvas) {
        abort();
    }
    return canvas;
}

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

    FuzzImageCache cache;
    SpicePaletteCache palettes{&palette_cache_ops};
    FuzzSurfaces surfaces;
    surfaces.ops = &surfaces_ops;
    SpiceCanvas* canvas =
        new_canvas(64, SPICE_SURFACE_FMT_32_xRGB, PIXMAN_x8r8g8b8, &cache, &palettes, &surfaces);
    SpiceCanvas* other =
        new_canvas(16, SPICE_SURFACE_FMT_16_555, PIXMAN_x1r5g5b5, &cache, &palettes, &surfaces);
    surfaces.canvases[0] = canvas;
    surfaces.canvases[1] = other;

    draw(canvas, type, parsed);

    other->ops->destroy(other);
    canvas->ops->destroy(canvas);
    free_message(parsed);
    return 0;
}
