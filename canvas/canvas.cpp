#include "canvas/canvas.h"

#include "canvas/canvas_utils.h"
#include "canvas/gdi_canvas.h"
#include "canvas/image_refs.h"
#include "canvas/pixman_utils.h"
#include "canvas/sw_canvas.h"
#include "runtime/exception.h"
#include "runtime/log.h"

GlzDecodedImage* GlzDecodeSurfaceHandler::alloc_image(void* usr_data, uint64_t image_id,
                                                      uint64_t image_win_head_id, LzImageType type, int width,
                                                      int height, int gross_pixels, int n_bytes_per_pixel,
                                                      bool top_down) {
    // The decoder writes gross_pixels whole rows; anything else would run past the image.
    if (width <= 0 || height <= 0 || gross_pixels % height != 0 || gross_pixels / height < width ||
        n_bytes_per_pixel != 4) {
        THROW("bad glz image geometry");
    }
    // The GLZ header's own size, which the image descriptor does not bound.
    if (uint64_t(gross_pixels / height) > MAX_IMAGE_SIDE || uint64_t(height) > MAX_IMAGE_SIDE ||
        uint64_t(gross_pixels) > MAX_IMAGE_PIXELS) {
        THROW("glz image too large: %d x %d", width, height);
    }
    pixman_format_code_t format = type == LZ_IMAGE_TYPE_RGBA ? PIXMAN_a8r8g8b8 : PIXMAN_x8r8g8b8;
    pixman_image_t* surface =
        lz_output_surface_create((LzDecodeUsrData*)usr_data, format, width, height, gross_pixels, top_down);
    if (!surface) {
        THROW("create surface failed");
    }
    uint8_t* data = (uint8_t*)pixman_image_get_data(surface);
    if (!top_down) {
        // The decoder writes from the lowest address: the bottom row of a bottom-up image.
        data -= (int64_t)(gross_pixels / height) * (height - 1) * n_bytes_per_pixel;
    }
    return new GlzDecodedSurface(image_id, image_win_head_id, data, (uint32_t)gross_pixels,
                                 (uint32_t)n_bytes_per_pixel, canvas_image_ref(surface));
}

void GlzDecoderCanvasDebug::error(const std::string& str) {
    THROW("%s", str.c_str());
}

void GlzDecoderCanvasDebug::warn(const std::string& str) {
    LOG_WARN("%s", str.c_str());
}

void GlzDecoderCanvasDebug::info(const std::string& str) {
    LOG_INFO("%s", str.c_str());
}

Canvas::Canvas(SpiceImageCache* pixmap_cache, SpicePaletteCache* palette_cache, GlzDecoderWindow& glz_window,
               SpiceSurfaces* surfaces)
    : _canvas(NULL),
      _pixmap_cache(pixmap_cache),
      _palette_cache(palette_cache),
      _glz_decoder(glz_window, _glz_handler, _glz_debug),
      _surfaces(surfaces) {}

// The decoders end their streams in their own destructors.
Canvas::~Canvas() {}

namespace {

// A new surface's pixels are fresh memory that the system maps page by page on first touch: left alone, the
// first frame drawn into it pays those faults inside the decoders. Each page is touched here instead (its
// byte rewritten with its own value).
void prefault_pixels(pixman_image_t* image) {
    auto* data = reinterpret_cast<uint8_t*>(pixman_image_get_data(image));
    const int stride = pixman_image_get_stride(image);
    const int height = pixman_image_get_height(image);
    if (!data || height <= 0) {
        return;
    }
    const size_t row = size_t(stride < 0 ? -int64_t(stride) : int64_t(stride));
    // A bottom-up image starts at its last row's address.
    uint8_t* first = stride < 0 ? data - row * size_t(height - 1) : data;
    const size_t size = row * size_t(height);
    constexpr size_t kPage = 4096;
    for (size_t offset = 0; offset < size; offset += kPage) {
        volatile uint8_t* p = first + offset;
        *p = *p;
    }
}

}  // namespace

SCanvas::SCanvas(bool onscreen, int width, int height, uint32_t format, SpiceImageCache* pixmap_cache,
                 SpicePaletteCache* palette_cache, GlzDecoderWindow& glz_window, SpiceSurfaces* surfaces)
    : Canvas(pixmap_cache, palette_cache, glz_window, surfaces), _pixmap(NULL) {
    pixman_image_t* image;
    if (onscreen) {
        _pixmap = new RedPixmapSw(width, height, RedDrawable::format_from_surface(format), true);
        image = pixman_image_create_bits(surface_format_to_pixman_format(format), width, height,
                                         (uint32_t*)_pixmap->get_data(), _pixmap->get_stride());
    } else {
        pixman_format_code_t pixman_format = surface_format_to_pixman_format(format);
        image = pixman_format ? pixman_image_create_bits(pixman_format, width, height, NULL, 0) : NULL;
    }
    if (image) {
        prefault_pixels(image);
        _canvas = sw_canvas_new(image, format, pixmap_cache, palette_cache, surfaces, glz_decoder(),
                                jpeg_decoder(), zlib_decoder());
    }
    if (!_canvas) {
        if (image) {
            canvas_image_unref(image);
        }
        delete _pixmap;
        THROW("create canvas failed");
    }
}

SCanvas::~SCanvas() {
    _canvas->ops->destroy(_canvas);
    delete _pixmap;
}

void SCanvas::copy_pixels(const pixman_region32_t& region, RedDrawable* dest, const PixmapHeader* dest_area) {
    if (!_pixmap) {
        return;
    }
    int count;
    const pixman_box32_t* boxes = pixman_region32_rectangles(const_cast<pixman_region32_t*>(&region), &count);
    for (int i = 0; i < count; i++) {
        SpiceRect rect = {boxes[i].x1, boxes[i].y1, boxes[i].x2, boxes[i].y2};
        dest->copy_pixels(*_pixmap, rect.left, rect.top, rect);
    }
}

void SCanvas::copy_pixels(const pixman_region32_t& region, RedDrawable& dest) {
    copy_pixels(region, &dest);
}

GDICanvas::GDICanvas(int width, int height, uint32_t format, SpiceImageCache* pixmap_cache,
                     SpicePaletteCache* palette_cache, GlzDecoderWindow& glz_window, SpiceSurfaces* surfaces)
    : Canvas(pixmap_cache, palette_cache, glz_window, surfaces), _pixmap(NULL) {
    _pixmap = new RedPixmapGdi(width, height, RedDrawable::format_from_surface(format));
    const PixelsSource::PlatformArea& area = _pixmap->get_platform_area();
    _canvas = gdi_canvas_new(width, height, area.dc, area.lock, format, pixmap_cache, palette_cache, surfaces,
                             glz_decoder(), jpeg_decoder(), zlib_decoder());
    if (!_canvas) {
        delete _pixmap;
        THROW("create canvas failed");
    }
}

GDICanvas::~GDICanvas() {
    _canvas->ops->destroy(_canvas);
    delete _pixmap;
}

void GDICanvas::copy_pixels(const pixman_region32_t& region, RedDrawable* dest,
                            const PixmapHeader* dest_area) {
    int count;
    const pixman_box32_t* boxes = pixman_region32_rectangles(const_cast<pixman_region32_t*>(&region), &count);
    for (int i = 0; i < count; i++) {
        SpiceRect rect = {boxes[i].x1, boxes[i].y1, boxes[i].x2, boxes[i].y2};
        dest->copy_pixels(*_pixmap, rect.left, rect.top, rect);
    }
}

void GDICanvas::copy_pixels(const pixman_region32_t& region, RedDrawable& dest) {
    copy_pixels(region, &dest);
}

Canvas* create_onscreen_canvas(int type, int width, int height, uint32_t format,
                               SpiceImageCache* pixmap_cache, SpicePaletteCache* palette_cache,
                               GlzDecoderWindow& glz_window, SpiceSurfaces* surfaces) {
    switch (type) {
        case CANVAS_TYPE_SW:
            return new SCanvas(true, width, height, format, pixmap_cache, palette_cache, glz_window,
                               surfaces);
        case CANVAS_TYPE_GDI:
            return new GDICanvas(width, height, format, pixmap_cache, palette_cache, glz_window, surfaces);
        default:
            THROW("unsupported canvas type %d", type);
    }
}

namespace {

SpiceCanvas* surfaces_get(SpiceSurfaces* surfaces, uint32_t surface_id) {
    return static_cast<CanvasSurfaces*>(surfaces)->get_canvas(surface_id);
}

SpiceSurfacesOps surfaces_ops = {surfaces_get};

}  // namespace

CanvasSurfaces::CanvasSurfaces() {
    ops = &surfaces_ops;
}

SpiceCanvas* CanvasSurfaces::get_canvas(uint32_t surface_id) {
    auto it = _canvases.find(surface_id);
    return it == _canvases.end() ? NULL : it->second->get_internal_canvas();
}
