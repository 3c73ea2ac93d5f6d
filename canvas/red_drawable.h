// Drawables: pixel sources that can be drawn into. RedPixmap keeps its pixels in a DIB section selected into
// its own memory device context; RedPixmapGdi serves the GDI canvas, RedPixmapSw the software canvas and the
// screens' composition.
//
// Every drawing call takes the drawable's lock; a call that reads another source takes both locks by the
// two-lock rule (the destination, then the source by try-lock or a 10 ms timed lock, else let go and retry),
// so copies in opposite directions cannot deadlock.
#pragma once

#include <cstdint>

#include "platform/pixels_source.h"
#include "transport/protocol/spice_types.h"

typedef uint32_t rgb32_t;  // 0xRRGGBB

class RedDrawable : public PixelsSource {
public:
    enum Format {
        ARGB32,
        RGB32,
        RGB16_555,
        RGB16_565,
        A1,
    };

    RedDrawable();

    virtual Format get_format() = 0;

    // The drawable format of a surface format: 16, 32, 80, 96. Throws Exception "Unsupported RedPixman
    // format".
    static Format format_from_surface(uint32_t surface_format);

    enum CombineOP {
        OP_COPY,
        OP_AND,
        OP_XOR,
    };

    // Coordinates are relative to each source's origin; this drawable is the destination.
    void copy_pixels(const PixelsSource& src, int src_x, int src_y, const SpiceRect& dest);
    // Source pixels carry premultiplied alpha.
    void blend_pixels(const PixelsSource& src, int src_x, int src_y, const SpiceRect& dest);
    // op is a CombineOP; any other value throws Exception "invalid op <op>".
    void combine_pixels(const PixelsSource& src, int src_x, int src_y, const SpiceRect& dest, int op);
    void fill_rect(const SpiceRect& rect, rgb32_t color);
    void frame_rect(const SpiceRect& rect, rgb32_t color);
};

class RedPixmap : public RedDrawable {
public:
    ~RedPixmap() override;

    SIZE get_size() override { return SIZE{_width, _height}; }
    Format get_format() override { return _format; }

    int get_width() const { return _width; }
    int get_height() const { return _height; }
    int get_stride() const { return _stride; }
    bool is_top_down() const { return _top_down; }
    // The first byte of the pixels in memory: the top row when top-down, the bottom row otherwise.
    uint8_t* get_data() const { return _data; }

    static int bits_per_pixel(Format format);

protected:
    // Throws Exception "create compatible bitmap failed" when the DIB section cannot be made.
    RedPixmap(int width, int height, Format format, bool top_down);

private:
    Format _format;
    int _width;
    int _height;
    int _stride;
    bool _top_down;
    uint8_t* _data;  // owned by the DIB section
};

class RedPixmapGdi : public RedPixmap {
public:
    RedPixmapGdi(int width, int height, Format format) : RedPixmap(width, height, format, true) {}
};

class RedPixmapSw : public RedPixmap {
public:
    RedPixmapSw(int width, int height, Format format, bool top_down)
        : RedPixmap(width, height, format, top_down) {}
};
