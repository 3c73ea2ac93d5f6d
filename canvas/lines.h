// Line rasteriser of the canvas's stroke: integer polylines become horizontal spans (and rectangles) handed
// to a sink. Zero-width solid lines are a Bresenham walk clipped to the canvas that draws exactly the pixels
// of the unclipped walk that lie on the canvas; dashed lines are filled polygons, one per on dash, joined by
// miter (or bevel) joins. These are the X sample server's zero-width and wide-line algorithms, cut down to
// what the canvas asks for: cap style "not last", join style miter, solid or on-off dashed lines.
//
// Everything drawn lies on the canvas (0 .. width - 1, 0 .. height - 1). Points come from server data: a
// polyline with a coordinate beyond +-LINE_COORD_LIMIT is refused with a warning, and the work of a polyline
// is bounded by the canvas, not by how far its points lie off it.
#pragma once

#include <pixman.h>

#include <cstdint>
#include <vector>

#include "transport/protocol/spice_types.h"

enum {
    LINE_STYLE_SOLID = 0,
    LINE_STYLE_ON_OFF_DASH = 1,
    LINE_STYLE_DOUBLE_DASH = 2,  // not drawn: drawn as on-off dash
};

enum {
    LINE_CAP_NOT_LAST = 0,  // the canvas's only cap; wide lines draw every other cap as butt
    LINE_CAP_BUTT = 1,
    LINE_CAP_ROUND = 2,
    LINE_CAP_PROJECTING = 3,
};

enum {
    LINE_JOIN_MITER = 0,  // the only join drawn (bevel past the miter limit)
};

// 2^29: every coordinate the canvas can produce from 28.4 fixed point, with room for 64-bit intermediates.
constexpr int32_t LINE_COORD_LIMIT = 1 << 29;

struct LineRect {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};

struct LineContext;

// The caller's drawing, called back on the caller's thread. A span covers points[i].x .. + widths[i] - 1 on
// row points[i].y. sorted: ascending y, ascending x within a row. foreground is always 1 (no double dashes).
struct SpanSink {
    void (*fill_spans)(LineContext* context, int count, SpicePoint* points, int* widths, int sorted,
                       int foreground);
    void (*fill_rects)(LineContext* context, int count, LineRect* rects, int foreground);
};

// Filled by the caller, which may embed it at the start of its own record to reach its data from the sink.
struct LineContext {
    int32_t width;  // canvas size
    int32_t height;
    uint8_t raster_op;    // the RasterOp the sink applies: decides whether overlapping spans are merged first
    uint16_t line_width;  // 0 for thin lines; 1 while the canvas draws a dashed line
    uint16_t dash_offset;
    uint16_t dash_count;
    const uint8_t* dashes;  // dash_count lengths in pixels, on and off in turn
    unsigned line_style : 2;
    unsigned cap_style : 2;
    unsigned join_style : 2;
    const SpanSink* sink;
};

// The polyline through count points with width 0; the last point of each segment is left to the next (cap
// style "not last": the final point is never drawn).
void stroke_thin_line(LineContext* context, int count, const SpicePoint* points);

// The dashed polyline with the context's line width and dash list. A solid style or a dash list without
// length (no dashes, or all of length 0) is drawn as a thin line.
void stroke_wide_line(LineContext* context, int count, const SpicePoint* points);

// Clips count spans to region into out_points and out_widths (replaced), which grow as needed: with several
// rectangles side by side, one span yields several. sorted says the input is in ascending y. Returns the
// number of spans written.
int clip_spans_to_region(pixman_region32_t* region, const SpicePoint* points, const int* widths, int count,
                         bool sorted, std::vector<SpicePoint>& out_points, std::vector<int>& out_widths);

// Appends the end points of the chords that approximate the cubic Bezier curve p[0] .. p[3] (28.4 fixed
// point), rounded to pixels, p[0] itself excluded. A chord is close enough when both control points lie
// within about 0.7 pixel of it; the split stops at 1024 chords, or where a piece has shrunk to a pixel,
// whatever the points.
void flatten_bezier(const SpicePointFix p[4], std::vector<SpicePoint>& out);
