// Client canvases: what the display channel keeps for each display surface. A Canvas owns the surface's
// pixels, the SpiceCanvas that draws into them and the decoders that SpiceCanvas uses. SCanvas draws through
// the software back end, into a RedPixmapSw (the primary, on-screen surface) or into a plain pixman image
// (off-screen surfaces); GDICanvas through the GDI back end into a RedPixmapGdi.
//
// Canvases are made and destroyed on the main thread while the display channel's thread waits; that thread
// then draws through get_internal_canvas(), and the main thread copies the pixels out with copy_pixels.
#pragma once

#include <pixman.h>

#include <cstdint>
#include <map>

#include "canvas/canvas_base.h"
#include "canvas/image_refs.h"
#include "canvas/red_drawable.h"
#include "codecs/glz_decoder.h"
#include "codecs/jpeg_decoder.h"
#include "codecs/zlib_decoder.h"

// A decoded GLZ image whose pixels live in a pixman image; holds a reference to it.
class GlzDecodedSurface : public GlzDecodedImage {
public:
    // Takes over one reference to surface.
    GlzDecodedSurface(uint64_t id, uint64_t win_head_id, uint8_t* data, uint32_t size,
                      uint32_t bytes_per_pixel, pixman_image_t* surface)
        : GlzDecodedImage(id, win_head_id, data, size, bytes_per_pixel), _surface(surface) {}
    ~GlzDecodedSurface() override { canvas_image_unref(_surface); }

private:
    pixman_image_t* _surface;
};

// Makes the output image of a GLZ decode: a canvas surface (lz_output_surface_create) over the decode's
// output record (LzDecodeUsrData), which keeps the image for the canvas code.
class GlzDecodeSurfaceHandler : public GlzDecodeHandler {
public:
    GlzDecodedImage* alloc_image(void* usr_data, uint64_t image_id, uint64_t image_win_head_id,
                                 LzImageType type, int width, int height, int gross_pixels,
                                 int n_bytes_per_pixel, bool top_down) override;
};

class GlzDecoderCanvasDebug : public GlzDecoderDebug {
public:
    void error(const std::string& str) override;  // throws Exception
    void warn(const std::string& str) override;
    void info(const std::string& str) override;
};

// Unused by the copies; kept for the callers that pass the destination's pixels.
struct PixmapHeader {
    uint8_t* data;
    int width;
    int height;
    int stride;
};

class Canvas {
public:
    // The caches, the GLZ window and the surfaces outlive the canvas.
    Canvas(SpiceImageCache* pixmap_cache, SpicePaletteCache* palette_cache, GlzDecoderWindow& glz_window,
           SpiceSurfaces* surfaces);
    virtual ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    // Copies the region's rectangles of the canvas to the same place in dest, taking both locks by the
    // two-lock rule for each rectangle.
    virtual void copy_pixels(const pixman_region32_t& region, RedDrawable* dest,
                             const PixmapHeader* dest_area = NULL) = 0;
    virtual void copy_pixels(const pixman_region32_t& region, RedDrawable& dest) = 0;
    virtual void thread_touch() = 0;
    virtual int get_pixmap_type() { return 0; }
    virtual SpiceCanvas* get_internal_canvas() { return _canvas; }
    virtual void touched_bbox(const SpiceRect* bbox) {}

protected:
    SpiceGlzDecoder* glz_decoder() { return &_glz_decoder; }
    SpiceJpegDecoder* jpeg_decoder() { return _jpeg_decoder.face(); }
    SpiceZlibDecoder* zlib_decoder() { return &_zlib_decoder; }

    SpiceCanvas* _canvas;  // made by the derived constructor
    SpiceImageCache* _pixmap_cache;
    SpicePaletteCache* _palette_cache;

private:
    GlzDecodeSurfaceHandler _glz_handler;
    GlzDecoderCanvasDebug _glz_debug;
    GlzDecoder _glz_decoder;
    JpegDecoder _jpeg_decoder;
    ZlibDecoder _zlib_decoder;

protected:
    SpiceSurfaces* _surfaces;
};

class SCanvas : public Canvas {
public:
    // On-screen: the pixels live in a top-down RedPixmapSw of the surface format (16, 32, 80, 96).
    // Off-screen: in a pixman image, formats 1 and 8 allowed too. Throws Exception "Unsupported RedPixman
    // format" or "create canvas failed", leaving nothing behind.
    SCanvas(bool onscreen, int width, int height, uint32_t format, SpiceImageCache* pixmap_cache,
            SpicePaletteCache* palette_cache, GlzDecoderWindow& glz_window, SpiceSurfaces* surfaces);
    ~SCanvas() override;

    void copy_pixels(const pixman_region32_t& region, RedDrawable* dest,
                     const PixmapHeader* dest_area = NULL) override;
    void copy_pixels(const pixman_region32_t& region, RedDrawable& dest) override;
    void thread_touch() override {}
    int get_pixmap_type() override { return 1; }

private:
    RedPixmapSw* _pixmap;  // null off-screen
};

class GDICanvas : public Canvas {
public:
    // The pixels live in a top-down RedPixmapGdi of the surface format (16, 32, 80, 96). Throws Exception
    // "Unsupported RedPixman format" or "create canvas failed", leaving nothing behind.
    GDICanvas(int width, int height, uint32_t format, SpiceImageCache* pixmap_cache,
              SpicePaletteCache* palette_cache, GlzDecoderWindow& glz_window, SpiceSurfaces* surfaces);
    ~GDICanvas() override;

    void copy_pixels(const pixman_region32_t& region, RedDrawable* dest,
                     const PixmapHeader* dest_area = NULL) override;
    void copy_pixels(const pixman_region32_t& region, RedDrawable& dest) override;
    void thread_touch() override {}
    int get_pixmap_type() override { return 3; }

    RedPixmapGdi& pixmap() { return *_pixmap; }

private:
    RedPixmapGdi* _pixmap;
};

// The back ends a display channel can draw through.
enum CanvasType {
    CANVAS_TYPE_SW = 1,
    CANVAS_TYPE_GDI = 2,
};

// An on-screen canvas of the given type. Throws Exception "unsupported canvas type %d" for any other type,
// and what the constructors throw.
Canvas* create_onscreen_canvas(int type, int width, int height, uint32_t format,
                               SpiceImageCache* pixmap_cache, SpicePaletteCache* palette_cache,
                               GlzDecoderWindow& glz_window, SpiceSurfaces* surfaces);

// The display channel's surfaces: the SpiceCanvas of a surface id for the canvas code. Display channel thread
// only.
class CanvasSurfaces : public SpiceSurfaces {
public:
    CanvasSurfaces();
    CanvasSurfaces(const CanvasSurfaces&) = delete;
    CanvasSurfaces& operator=(const CanvasSurfaces&) = delete;

    std::map<uint32_t, Canvas*>& canvases() { return _canvases; }
    SpiceCanvas* get_canvas(uint32_t surface_id);

private:
    std::map<uint32_t, Canvas*> _canvases;  // not owned
};
