#include "canvas/lines.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <utility>

#include "runtime/log.h"
#include "runtime/peer_check.h"

namespace {

bool coordinates_in_range(int count, const SpicePoint* points) {
    for (int i = 0; i < count; i++) {
        if (std::abs(int64_t(points[i].x)) > LINE_COORD_LIMIT ||
            std::abs(int64_t(points[i].y)) > LINE_COORD_LIMIT) {
            peer_warning("line point (%d, %d) out of range", points[i].x, points[i].y);
            return false;
        }
    }
    return true;
}

// ---- Thin lines ----

enum {
    OUT_BELOW = 1,
    OUT_ABOVE = 2,
    OUT_RIGHT = 4,
    OUT_LEFT = 8,
};

// Octant bits: 4 x decreasing, 2 y decreasing, 1 y major.
enum {
    OCTANT_Y_MAJOR = 1,
    OCTANT_Y_DECREASING = 2,
    OCTANT_X_DECREASING = 4,
};

// The octants (3, 4, 6 and 7) whose ties round the other way, so that a line and its reverse share pixels.
constexpr unsigned BIAS_MASK = 216;

int outcode(int64_t x, int64_t y, int64_t xright, int64_t ybottom) {
    int code = 0;
    if (x < 0) {
        code |= OUT_LEFT;
    } else if (x > xright) {
        code |= OUT_RIGHT;
    }
    if (y < 0) {
        code |= OUT_ABOVE;
    } else if (y > ybottom) {
        code |= OUT_BELOW;
    }
    return code;
}

// Bits of a clip equation: how the coordinate where the line crosses a boundary is computed from the distance
// u of the anchor to that boundary, so that it is the pixel the Bresenham walk puts there.
enum {
    EQ_X_OFFSET = 0x01,  // u * 2adx, result is an x offset (else u * 2ady, a y offset)
    EQ_ADX = 0x02,       // add or subtract adx (else ady)
    EQ_SUBTRACT = 0x04,  // subtract it (else add)
    EQ_BIAS_ONE = 0x08,  // add bias - 1 (else subtract bias)
    EQ_DIV_ADX = 0x10,   // divide by 2adx (else by 2ady)
    EQ_ADD_ONE = 0x20,   // add 1 after dividing
};

struct ThinSegment {
    int64_t x1, y1, x2, y2;
    int64_t adx, ady;
    int octant;
    int64_t bias;
};

// Clips seg's ends to (0, 0, xright, ybottom), keeping the pixels the unclipped walk draws there. False when
// nothing of the segment is on the canvas. clip1 and clip2 tell which ends moved.
bool clip_thin_segment(ThinSegment& seg, int64_t xright, int64_t ybottom, bool& clip1, bool& clip2) {
    const bool y_major = seg.octant & OCTANT_Y_MAJOR;
    int64_t x1 = seg.x1, y1 = seg.y1, x2 = seg.x2, y2 = seg.y2;
    int64_t x1_orig = x1, y1_orig = y1, x2_orig = x2, y2_orig = y2;
    int oc1 = outcode(x1, y1, xright, ybottom);
    int oc2 = outcode(x2, y2, xright, ybottom);
    bool swapped = false;
    clip1 = clip2 = false;

    // Each pass moves one end onto a boundary; four boundaries and two ends bound the passes.
    for (int pass = 0; pass < 16; pass++) {
        if (oc1 & oc2) {
            return false;
        }
        if (!(oc1 | oc2)) {
            if (swapped) {
                std::swap(x1, x2);
                std::swap(y1, y2);
                std::swap(clip1, clip2);
            }
            seg.x1 = x1;
            seg.y1 = y1;
            seg.x2 = x2;
            seg.y2 = y2;
            return true;
        }
        if (oc1 == 0) {
            std::swap(x1, x2);
            std::swap(y1, y2);
            std::swap(x1_orig, x2_orig);
            std::swap(y1_orig, y2_orig);
            std::swap(oc1, oc2);
            std::swap(clip1, clip2);
            swapped = !swapped;
        }
        clip1 = true;

        int64_t u;
        int64_t anchor;
        unsigned equation;
        bool negative;
        if (oc1 & (OUT_LEFT | OUT_RIGHT)) {
            const bool left = oc1 & OUT_LEFT;
            const int64_t boundary = left ? 0 : xright;
            u = left ? boundary - x1_orig : x1_orig - boundary;
            negative = seg.octant & OCTANT_Y_DECREASING;
            if (u >= 0 && u <= 32767) {
                anchor = y1_orig;
                equation = y_major ? (swapped ? 52 : 60) : (swapped ? 26 : 18);
            } else {
                // Far from the boundary: work from the other end, as the sample server does.
                u = left ? x2_orig - boundary : boundary - x2_orig;
                anchor = y2_orig;
                equation = y_major ? (swapped ? 24 : 16) : (swapped ? 18 : 26);
                negative = !negative;
            }
            x1 = boundary;
        } else {
            const bool above = oc1 & OUT_ABOVE;
            const int64_t boundary = above ? 0 : ybottom;
            u = above ? boundary - y1_orig : y1_orig - boundary;
            negative = seg.octant & OCTANT_X_DECREASING;
            if (u >= 0 && u <= 32767) {
                anchor = x1_orig;
                equation = y_major ? (swapped ? 9 : 1) : (swapped ? 39 : 47);
            } else {
                u = above ? y2_orig - boundary : boundary - y2_orig;
                anchor = x2_orig;
                equation = y_major ? (swapped ? 1 : 9) : (swapped ? 11 : 3);
                negative = !negative;
            }
            y1 = boundary;
        }
        if (swapped) {
            negative = !negative;
        }

        int64_t v = u * 2 * ((equation & EQ_X_OFFSET) ? seg.adx : seg.ady);
        const int64_t term = (equation & EQ_ADX) ? seg.adx : seg.ady;
        v += (equation & EQ_SUBTRACT) ? -term : term;
        v += (equation & EQ_BIAS_ONE) ? seg.bias - 1 : -seg.bias;
        const int64_t divisor = 2 * ((equation & EQ_DIV_ADX) ? seg.adx : seg.ady);
        if (divisor == 0) {
            return false;
        }
        v /= divisor;
        if (equation & EQ_ADD_ONE) {
            v++;
        }
        if (negative) {
            v = -v;
        }
        if (equation & EQ_X_OFFSET) {
            x1 = anchor + v;
        } else {
            y1 = anchor + v;
        }
        oc1 = outcode(x1, y1, xright, ybottom);
    }
    return false;
}

// Spans of one polyline, flushed to the sink before each segment and when full.
class ThinSpans {
public:
    ThinSpans(LineContext* context, size_t capacity) : context_(context), capacity_(capacity) {
        points_.reserve(capacity);
        widths_.reserve(capacity);
    }

    void start_segment() {
        flush();
        new_span_ = true;
    }

    void plot(int64_t x, int64_t y) {
        if (!new_span_ && !points_.empty() && points_.back().y == y) {
            points_.back().x = std::min(points_.back().x, int32_t(x));
            widths_.back()++;
            return;
        }
        if (points_.size() == capacity_) {
            flush();
        }
        points_.push_back({int32_t(x), int32_t(y)});
        widths_.push_back(1);
        new_span_ = false;
    }

    void flush() {
        if (!points_.empty()) {
            context_->sink->fill_spans(context_, int(points_.size()), points_.data(), widths_.data(), 0, 1);
            points_.clear();
            widths_.clear();
        }
    }

private:
    LineContext* context_;
    size_t capacity_;
    std::vector<SpicePoint> points_;
    std::vector<int> widths_;
    bool new_span_ = true;
};

void draw_thin_segment(ThinSpans& spans, SpicePoint from, SpicePoint to, int64_t xright, int64_t ybottom) {
    ThinSegment seg{from.x, from.y, to.x, to.y, 0, 0, 0, 0};
    const int64_t dx = seg.x2 - seg.x1;
    const int64_t dy = seg.y2 - seg.y1;
    seg.adx = std::abs(dx);
    seg.ady = std::abs(dy);
    seg.octant = (dx < 0 ? OCTANT_X_DECREASING : 0) | (dy < 0 ? OCTANT_Y_DECREASING : 0) |
                 (seg.ady >= seg.adx ? OCTANT_Y_MAJOR : 0);
    seg.bias = (BIAS_MASK >> seg.octant) & 1;
    const bool y_major = seg.octant & OCTANT_Y_MAJOR;
    const int64_t major = y_major ? seg.ady : seg.adx;
    const int64_t minor = y_major ? seg.adx : seg.ady;
    const int64_t e1 = 2 * minor;
    const int64_t e2 = 2 * minor - 2 * major;
    int64_t e = 2 * minor - major - seg.bias;
    int64_t length = major;

    if (outcode(seg.x1, seg.y1, xright, ybottom) | outcode(seg.x2, seg.y2, xright, ybottom)) {
        const int64_t x_orig = seg.x1, y_orig = seg.y1;
        bool clip1, clip2;
        if (!clip_thin_segment(seg, xright, ybottom, clip1, clip2)) {
            return;
        }
        length = y_major ? std::abs(seg.y2 - seg.y1) : std::abs(seg.x2 - seg.x1);
        if (clip2) {
            length++;
        }
        if (clip1) {
            const int64_t major_shift = y_major ? std::abs(seg.y1 - y_orig) : std::abs(seg.x1 - x_orig);
            const int64_t minor_shift = y_major ? std::abs(seg.x1 - x_orig) : std::abs(seg.y1 - y_orig);
            e += minor_shift * e2 + (major_shift - minor_shift) * e1;
        }
    }

    const int64_t step_x = dx < 0 ? -1 : 1;
    const int64_t step_y = dy < 0 ? -1 : 1;
    int64_t x = seg.x1, y = seg.y1;
    e -= e1;
    for (int64_t i = 0; i < length; i++) {
        spans.plot(x, y);
        e += e1;
        if (e >= 0) {
            if (y_major) {
                x += step_x;
            } else {
                y += step_y;
            }
            e += e2 - e1;
        }
        if (y_major) {
            y += step_y;
        } else {
            x += step_x;
        }
    }
}

// ---- Wide dashed lines ----

struct Dashes {
    const uint8_t* lengths;
    int count;
    double total;
};

// Where the dash pattern stands: the dash index (even: on) and how far into that dash.
struct DashPosition {
    int index = 0;
    double offset = 0;
};

void advance_dash(DashPosition& at, double distance, const Dashes& dashes) {
    const double remain = dashes.lengths[at.index] - at.offset;
    if (distance < remain) {
        at.offset += distance;
        return;
    }
    distance -= remain;
    if (distance >= dashes.total) {
        distance = std::fmod(distance, dashes.total);
    }
    at.index = (at.index + 1) % dashes.count;
    while (distance >= dashes.lengths[at.index]) {
        distance -= dashes.lengths[at.index];
        at.index = (at.index + 1) % dashes.count;
    }
    at.offset = distance;
}

// One end of a wide segment: the offset (xa, ya) of its corner from the end point, the direction pointing
// away from the end into the segment, and the end point.
struct LineFace {
    double xa, ya;
    int64_t dx, dy;
    int64_t x, y;
};

struct PolyVertex {
    double x, y;
};

// The side line sy * x - sx * y = k through a polygon's vertices, with (sx, sy) = (dx, dy).
struct PolySlope {
    int64_t dx, dy;
    double k;
};

struct PolyEdge {
    int64_t height;
    int64_t x;
    int64_t stepx;
    int64_t signdx;
    int64_t e;
    int64_t dy;
    int64_t dx;
};

// Spans of the polygons of one polyline. Spans go to the sink polygon by polygon, or, when the raster
// operation would show a pixel hit twice, are gathered and merged per row before they are drawn.
class WideSpans {
public:
    WideSpans(LineContext* context, bool merge) : context_(context), merge_(merge) {}

    // Spans of one polygon, top row first, already on the canvas.
    void add_polygon(std::vector<SpicePoint>&& points, std::vector<int>&& widths) {
        if (points.empty()) {
            return;
        }
        if (merge_) {
            min_y_ = std::min(min_y_, points.front().y);
            max_y_ = std::max(max_y_, points.back().y);
            lists_.push_back({std::move(points), std::move(widths)});
            return;
        }
        if (is_rectangle(points, widths)) {
            LineRect rect = {points[0].x, points[0].y, widths[0], int32_t(points.size())};
            context_->sink->fill_rects(context_, 1, &rect, 1);
        } else {
            context_->sink->fill_spans(context_, int(points.size()), points.data(), widths.data(), 1, 1);
        }
    }

    void finish() {
        if (lists_.empty()) {
            return;
        }
        if (lists_.size() == 1) {
            fill(lists_[0].points, lists_[0].widths);
            lists_.clear();
            return;
        }
        // One bucket per row; the rows are on the canvas, so the buckets are bounded by its height.
        std::vector<std::vector<std::pair<int32_t, int>>> rows(size_t(max_y_ - min_y_) + 1);
        for (const SpanList& list : lists_) {
            for (size_t i = 0; i < list.points.size(); i++) {
                rows[size_t(list.points[i].y - min_y_)].push_back({list.points[i].x, list.widths[i]});
            }
        }
        lists_.clear();
        std::vector<SpicePoint> points;
        std::vector<int> widths;
        for (size_t row = 0; row < rows.size(); row++) {
            auto& spans = rows[row];
            std::sort(spans.begin(), spans.end());
            const int32_t y = min_y_ + int32_t(row);
            for (size_t i = 0; i < spans.size();) {
                int64_t left = spans[i].first;
                int64_t right = left + spans[i].second;  // exclusive
                for (i++; i < spans.size() && spans[i].first <= right; i++) {
                    right = std::max<int64_t>(right, int64_t(spans[i].first) + spans[i].second);
                }
                points.push_back({int32_t(left), y});
                widths.push_back(int(right - left));
            }
        }
        fill(points, widths);
    }

private:
    struct SpanList {
        std::vector<SpicePoint> points;
        std::vector<int> widths;
    };

    static bool is_rectangle(const std::vector<SpicePoint>& points, const std::vector<int>& widths) {
        for (size_t i = 1; i < points.size(); i++) {
            if (points[i].x != points[0].x || widths[i] != widths[0] ||
                points[i].y != points[0].y + int32_t(i)) {
                return false;
            }
        }
        return points.size() > 1;
    }

    void fill(std::vector<SpicePoint>& points, std::vector<int>& widths) {
        if (!points.empty()) {
            context_->sink->fill_spans(context_, int(points.size()), points.data(), widths.data(), 1, 1);
        }
    }

    LineContext* context_;
    bool merge_;
    std::vector<SpanList> lists_;
    int32_t min_y_ = INT32_MAX;
    int32_t max_y_ = -INT32_MAX;
};

// The edge along slope from its upper vertex, at height y0, down; x is the last pixel left of the line (plus
// one for a left edge: the first pixel on or right of it). Returns the edge's first row, origin added.
int64_t build_edge(double y0, PolySlope slope, int64_t xi, int64_t yi, bool left, PolyEdge& edge) {
    if (slope.dy < 0) {
        slope.dx = -slope.dx;
        slope.dy = -slope.dy;
        slope.k = -slope.k;
    }
    const int64_t y = int64_t(std::ceil(y0));
    const int64_t xady = int64_t(std::ceil(slope.k)) + y * slope.dx;
    int64_t x = xady > 0 ? (xady - 1) / slope.dy : xady / slope.dy - 1;
    int64_t e = xady - x * slope.dy;
    edge.stepx = slope.dx / slope.dy;
    if (slope.dx >= 0) {
        edge.signdx = 1;
        edge.dx = slope.dx % slope.dy;
    } else {
        edge.signdx = -1;
        edge.dx = -slope.dx % slope.dy;
        e = slope.dy - e + 1;
    }
    edge.dy = slope.dy;
    edge.x = x + xi + (left ? 1 : 0);
    edge.e = e - slope.dy;  // compared against 0 instead of dy
    edge.height = 0;
    return y + yi;
}

void step_edge(PolyEdge& edge) {
    edge.x += edge.stepx;
    edge.e += edge.dx;
    if (edge.e > 0) {
        edge.x += edge.signdx;
        edge.e -= edge.dy;
    }
}

// Fills the convex polygon of count vertices placed at (xi, yi); slopes[i] is the side from vertex i to
// vertex i + 1. Rows and columns off the canvas are dropped.
void fill_polygon(WideSpans& out, const LineContext& context, const PolyVertex* vertices,
                  const PolySlope* slopes, int count, int64_t xi, int64_t yi) {
    int top = 0, bottom = 0;
    double min_y = vertices[0].y, max_y = vertices[0].y;
    for (int i = 1; i < count; i++) {
        if (vertices[i].y < min_y) {
            top = i;
            min_y = vertices[i].y;
        }
        if (vertices[i].y >= max_y) {
            bottom = i;
            max_y = vertices[i].y;
        }
    }
    auto around = [count](int i, int step) { return (i + step + count) % count; };

    // The sides leaving the top vertex forwards are the right edges unless the side arriving at it lies right
    // of them.
    const PolySlope& out_side = slopes[top];
    const PolySlope& in_side = slopes[around(top, -1)];
    const int right_step = in_side.dy * out_side.dx > out_side.dy * in_side.dx ? -1 : 1;

    const int64_t bottom_row = int64_t(std::ceil(max_y)) + yi;
    PolyEdge left_edges[4], right_edges[4];
    int left_count = 0, right_count = 0;
    int64_t top_row = 0;
    auto build_chain = [&](int step, bool left, PolyEdge* edges, int& n) {
        int64_t last_row = 0;
        int vertex = top;
        int side = step > 0 ? top : around(top, -1);
        while (vertex != bottom) {
            if (slopes[side].dy != 0) {
                const int64_t row = build_edge(vertices[vertex].y, slopes[side], xi, yi, left, edges[n]);
                if (n) {
                    edges[n - 1].height = row - last_row;
                } else {
                    top_row = row;
                }
                n++;
                last_row = row;
            }
            vertex = around(vertex, step);
            side = around(side, step);
        }
        if (n) {
            edges[n - 1].height = bottom_row - last_row;
        }
    };
    build_chain(right_step, false, right_edges, right_count);
    build_chain(-right_step, true, left_edges, left_count);

    std::vector<SpicePoint> points;
    std::vector<int> widths;
    const int64_t last_x = int64_t(context.width) - 1;
    int64_t y = top_row;
    int li = 0, ri = 0;
    PolyEdge left{}, right{};
    while ((li < left_count || left.height) && (ri < right_count || right.height)) {
        if (!left.height) {
            left = left_edges[li++];
        }
        if (!right.height) {
            right = right_edges[ri++];
        }
        int64_t rows = std::min(left.height, right.height);
        left.height -= rows;
        right.height -= rows;
        for (; rows > 0; rows--, y++) {
            if (y >= 0 && y < context.height) {
                const int64_t x1 = std::max<int64_t>(left.x, 0);
                const int64_t x2 = std::min(right.x, last_x);
                if (x2 >= x1) {
                    points.push_back({int32_t(x1), int32_t(y)});
                    widths.push_back(int(x2 - x1 + 1));
                }
            }
            step_edge(left);
            step_edge(right);
        }
    }
    out.add_polygon(std::move(points), std::move(widths));
}

// A side's slope pointed from `from` to `to` (the other pointing gives the same line with k negated).
PolySlope along(PolySlope slope, PolyVertex from, PolyVertex to) {
    if (slope.dx * (to.x - from.x) + slope.dy * (to.y - from.y) < 0) {
        slope.dx = -slope.dx;
        slope.dy = -slope.dy;
        slope.k = -slope.k;
    }
    return slope;
}

// The line through the face's corner in the face's direction.
PolySlope outer_side(const LineFace& face) {
    return {face.dx, face.dy, double(face.dy) * face.xa - double(face.dx) * face.ya};
}

// Squared miter length, over the line width squared and times 4, past which a join is beveled (about 11
// degrees between the segments).
constexpr double MITER_LIMIT_SQ = 108.856472512142;

// Joins the previous segment's end face and the next segment's start face at their common point.
void draw_join(WideSpans& out, const LineContext& context, bool merged, LineFace end_face,
               LineFace start_face) {
    if (context.line_width == 1 && !merged) {
        // A one-pixel line draws the join pixel itself when either face points right or straight down.
        for (const LineFace* face : {&start_face, &end_face}) {
            if (face->dx > 0 || (face->dx == 0 && face->dy > 0)) {
                return;
            }
        }
    }
    const int64_t denom = start_face.dy * end_face.dx - end_face.dy * start_face.dx;
    if (denom == 0) {
        return;
    }
    // Both corners to the outside of the turn.
    LineFace& mirrored = denom > 0 ? start_face : end_face;
    mirrored.xa = -mirrored.xa;
    mirrored.ya = -mirrored.ya;
    mirrored.dx = -mirrored.dx;
    mirrored.dy = -mirrored.dy;

    const PolyVertex end_corner = {end_face.xa, end_face.ya};
    const PolyVertex start_corner = {start_face.xa, start_face.ya};
    const PolyVertex join = {0, 0};
    // The face's end sides pass through the join point, at right angles to the faces.
    const PolySlope end_side = {-end_face.dy, end_face.dx, 0};
    const PolySlope start_side = {start_face.dy, -start_face.dx, 0};

    const PolySlope start_outer = outer_side(start_face);
    const PolySlope end_outer = outer_side(end_face);
    const double det = double(start_outer.dx) * end_outer.dy - double(start_outer.dy) * end_outer.dx;
    const double mx = (double(start_outer.dx) * end_outer.k - double(end_outer.dx) * start_outer.k) / det;
    const double my = (double(start_outer.dy) * end_outer.k - double(end_outer.dy) * start_outer.k) / det;
    const double line_width = context.line_width;

    if ((mx * mx + my * my) * 4 <= MITER_LIMIT_SQ * line_width * line_width) {
        const PolyVertex miter = {mx, my};
        const PolyVertex vertices[4] = {end_corner, join, start_corner, miter};
        const PolySlope slopes[4] = {along(end_side, end_corner, join), along(start_side, join, start_corner),
                                     along(start_outer, start_corner, miter),
                                     along(end_outer, miter, end_corner)};
        fill_polygon(out, context, vertices, slopes, 4, end_face.x, end_face.y);
        return;
    }
    const double dx = start_corner.x - end_corner.x;
    const double dy = start_corner.y - end_corner.y;
    const double scale = std::max(std::fabs(dx), std::fabs(dy));
    if (scale == 0) {
        return;
    }
    PolySlope bevel = {int64_t(dx * 65536 / scale), int64_t(dy * 65536 / scale), 0};
    bevel.k = ((end_corner.x + start_corner.x) * bevel.dy - (end_corner.y + start_corner.y) * bevel.dx) / 2;
    const PolyVertex vertices[3] = {end_corner, join, start_corner};
    const PolySlope slopes[3] = {along(end_side, end_corner, join), along(start_side, join, start_corner),
                                 along(bevel, start_corner, end_corner)};
    fill_polygon(out, context, vertices, slopes, 3, end_face.x, end_face.y);
}

// The distances along the segment (0 .. length) whose centre point lies within margin of the canvas: dash
// pieces outside it draw nothing, however long the segment. False when there are none.
bool visible_range(const LineContext& context, SpicePoint from, int64_t dx, int64_t dy, double length,
                   double margin, double& t_in, double& t_out) {
    t_in = 0;
    t_out = length;
    auto clip_axis = [&](double start, int64_t delta, double size) {
        const double lo = -margin - start, hi = size + margin - start;
        if (delta == 0) {
            return lo <= 0 && 0 <= hi;
        }
        double t1 = lo * length / double(delta), t2 = hi * length / double(delta);
        if (t1 > t2) {
            std::swap(t1, t2);
        }
        t_in = std::max(t_in, t1);
        t_out = std::min(t_out, t2);
        return t_in <= t_out;
    };
    return clip_axis(from.x, dx, context.width) && clip_axis(from.y, dy, context.height);
}

// Draws the on dashes of one segment, moves the dash position along it and gives the segment's two faces.
void draw_dashed_segment(WideSpans& out, const LineContext& context, const Dashes& dashes, DashPosition& dash,
                         SpicePoint from, SpicePoint to, LineFace& start_face, LineFace& end_face) {
    const int64_t dx = int64_t(to.x) - from.x;
    const int64_t dy = int64_t(to.y) - from.y;
    const double w = context.line_width / 2.0;
    const double length = dx == 0   ? double(std::abs(dy))
                          : dy == 0 ? double(std::abs(dx))
                                    : std::hypot(double(dx), double(dy));
    double rdx, rdy;  // (dx, dy) scaled to half the line width
    if (dx == 0) {
        rdx = 0;
        rdy = dy > 0 ? w : -w;
    } else if (dy == 0) {
        rdx = dx > 0 ? w : -w;
        rdy = 0;
    } else {
        rdx = w * double(dx) / length;
        rdy = w * double(dy) / length;
    }
    start_face = {rdy, -rdx, dx, dy, from.x, from.y};
    end_face = {-rdy, rdx, -dx, -dy, to.x, to.y};

    // The piece of the centre line from distance t0 to t1, widened to the line width.
    auto fill_piece = [&](double t0, double t1) {
        const double sx = double(dx) * t0 / length, sy = double(dy) * t0 / length;
        const double ex = double(dx) * t1 / length, ey = double(dy) * t1 / length;
        const PolyVertex vertices[4] = {
            {sx + rdy, sy - rdx}, {ex + rdy, ey - rdx}, {ex - rdy, ey + rdx}, {sx - rdy, sy + rdx}};
        const double long_k = length * w;
        const PolySlope slopes[4] = {{dx, dy, long_k},
                                     {-dy, dx, double(dx) * vertices[1].x + double(dy) * vertices[1].y},
                                     {-dx, -dy, long_k},
                                     {dy, -dx, -(double(dx) * vertices[3].x + double(dy) * vertices[3].y)}};
        fill_polygon(out, context, vertices, slopes, 4, from.x, from.y);
    };

    double t_in, t_out;
    if (!visible_range(context, from, dx, dy, length, context.line_width + 2.0, t_in, t_out)) {
        advance_dash(dash, length, dashes);
        return;
    }
    // Whole turns of the dash pattern before the visible part leave the position as it is.
    double t = t_in > 0 ? std::floor(t_in / dashes.total) * dashes.total : 0;
    for (;;) {
        const double remain = dashes.lengths[dash.index] - dash.offset;
        const double rest = length - t;
        const bool on = (dash.index & 1) == 0;
        if (rest > remain) {
            if (on) {
                fill_piece(t, t + remain);
            }
            t += remain;
            dash.index = (dash.index + 1) % dashes.count;
            dash.offset = 0;
            if (t > t_out) {
                advance_dash(dash, length - t, dashes);
                return;
            }
            continue;
        }
        if (on) {
            fill_piece(t, length);
        }
        dash.offset += rest;
        if (rest == remain) {
            dash.index = (dash.index + 1) % dashes.count;
            dash.offset = 0;
        }
        return;
    }
}

}  // namespace

void stroke_thin_line(LineContext* context, int count, const SpicePoint* points) {
    if (count < 2 || context->width <= 0 || context->height <= 0 || !coordinates_in_range(count, points)) {
        return;
    }
    const int64_t xright = context->width - 1;
    const int64_t ybottom = context->height - 1;
    // A segment clipped to the canvas makes at most one span per pixel of its major axis on the canvas.
    ThinSpans spans(context, size_t(std::max(context->width, context->height)));
    for (int i = 0; i + 1 < count; i++) {
        spans.start_segment();
        draw_thin_segment(spans, points[i], points[i + 1], xright, ybottom);
    }
    if (context->cap_style != LINE_CAP_NOT_LAST) {
        const SpicePoint& last = points[count - 1];
        const bool closed = last.x == points[0].x && last.y == points[0].y;
        if ((!closed || count == 2) && !outcode(last.x, last.y, xright, ybottom)) {
            spans.start_segment();
            spans.plot(last.x, last.y);
        }
    }
    spans.flush();
}

void stroke_wide_line(LineContext* context, int count, const SpicePoint* points) {
    if (count < 1 || context->width <= 0 || context->height <= 0) {
        return;
    }
    Dashes dashes = {context->dashes, context->dash_count, 0};
    for (int i = 0; i < dashes.count; i++) {
        dashes.total += dashes.lengths[i];
    }
    // A dash list without length cannot be stepped along the line.
    if (context->line_style == LINE_STYLE_SOLID || dashes.total == 0) {
        stroke_thin_line(context, count, points);
        return;
    }
    if (!coordinates_in_range(count, points)) {
        return;
    }

    // Merged spans only where a pixel drawn twice would show.
    const uint8_t op = context->raster_op;
    const bool double_hit_shows = (op & 0x0C) == 0x08 || (op & 0x03) == 0x02;
    const bool merge = (count > 2 || context->cap_style == LINE_CAP_ROUND) && double_hit_shows;
    WideSpans out(context, merge);

    DashPosition dash;
    advance_dash(dash, context->dash_offset, dashes);
    const bool closed = points[0].x == points[count - 1].x && points[0].y == points[count - 1].y;
    bool first_segment = true;
    bool first_start_on = false;
    LineFace first_start_face{}, prev_end_face{};
    for (int i = 0; i + 1 < count; i++) {
        if (points[i].x == points[i + 1].x && points[i].y == points[i + 1].y) {
            continue;
        }
        const bool start_on = (dash.index & 1) == 0;
        LineFace start_face, end_face;
        draw_dashed_segment(out, *context, dashes, dash, points[i], points[i + 1], start_face, end_face);
        if (first_segment) {
            first_segment = false;
            first_start_face = start_face;
            first_start_on = start_on;
        } else if (start_on) {
            draw_join(out, *context, merge, prev_end_face, start_face);
        }
        prev_end_face = end_face;
    }
    if (!first_segment && closed && first_start_on && (dash.index & 1) == 0) {
        draw_join(out, *context, merge, prev_end_face, first_start_face);
    }
    out.finish();
}

int clip_spans_to_region(pixman_region32_t* region, const SpicePoint* points, const int* widths, int count,
                         bool sorted, std::vector<SpicePoint>& out_points, std::vector<int>& out_widths) {
    out_points.clear();
    out_widths.clear();
    int n_rects = 0;
    const pixman_box32_t* rects = pixman_region32_rectangles(region, &n_rects);
    if (n_rects <= 0 || count <= 0) {
        return 0;
    }
    auto clip_to = [&](const SpicePoint& point, int width, const pixman_box32_t& box) {
        const int64_t x1 = std::max<int64_t>(point.x, box.x1);
        const int64_t x2 = std::min<int64_t>(int64_t(point.x) + width, box.x2);
        if (x2 > x1) {
            out_points.push_back({int32_t(x1), point.y});
            out_widths.push_back(int(x2 - x1));
        }
    };

    if (n_rects == 1) {
        for (int i = 0; i < count; i++) {
            if (points[i].y >= rects[0].y1 && points[i].y < rects[0].y2) {
                clip_to(points[i], widths[i], rects[0]);
            }
        }
        return int(out_points.size());
    }

    std::vector<int> order(static_cast<size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    if (!sorted) {
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return points[a].y < points[b].y; });
    }
    // Rectangles of one band share their top and bottom.
    int band = 0;
    for (int i : order) {
        const SpicePoint& point = points[i];
        while (band < n_rects && rects[band].y2 <= point.y) {
            band++;
        }
        if (band == n_rects) {
            break;
        }
        if (point.y < rects[band].y1) {
            continue;
        }
        for (int r = band; r < n_rects && rects[r].y1 == rects[band].y1; r++) {
            clip_to(point, widths[i], rects[r]);
        }
    }
    return int(out_points.size());
}

namespace {

// 28.4 fixed point to whole pixels: a fraction above one half rounds up.
int32_t fixed_to_int(int64_t value) {
    return int32_t((value >> 4) + ((value & 0x0F) > 8 ? 1 : 0));
}

struct FixPoint {
    int64_t x, y;
};

// Whether control point c lies close to the chord from a to b (about 0.7 pixel).
bool close_to_chord(FixPoint a, FixPoint b, FixPoint c) {
    using Wide = __int128;
    const Wide chord_x = b.x - a.x, chord_y = b.y - a.y;
    const Wide cx = c.x - a.x, cy = c.y - a.y;
    const Wide l = (chord_x * chord_x + chord_y * chord_y) >> 4;
    const Wide area = (cx * cx + cy * cy) >> 4;
    const Wide t = (cx * chord_x + cy * chord_y) >> 4;
    return ((area * l - t * t) >> 3) < l;
}

constexpr int BEZIER_MAX_DEPTH = 10;  // at most 1024 chords per curve

void flatten(const FixPoint p[4], int depth, std::vector<SpicePoint>& out) {
    int64_t min_x = p[0].x, max_x = p[0].x, min_y = p[0].y, max_y = p[0].y;
    for (int i = 1; i < 4; i++) {
        min_x = std::min(min_x, p[i].x);
        max_x = std::max(max_x, p[i].x);
        min_y = std::min(min_y, p[i].y);
        max_y = std::max(max_y, p[i].y);
    }
    // Pieces that fit in a pixel are flat whatever the test says: a piece whose ends coincide never passes
    // it.
    const bool tiny = max_x - min_x <= 16 && max_y - min_y <= 16;
    if (tiny || depth == BEZIER_MAX_DEPTH ||
        (close_to_chord(p[0], p[3], p[1]) && close_to_chord(p[3], p[0], p[2]))) {
        out.push_back({fixed_to_int(p[3].x), fixed_to_int(p[3].y)});
        return;
    }
    auto mid = [](FixPoint a, FixPoint b) { return FixPoint{(a.x + b.x) / 2, (a.y + b.y) / 2}; };
    const FixPoint m01 = mid(p[0], p[1]), m12 = mid(p[1], p[2]), m23 = mid(p[2], p[3]);
    const FixPoint m012 = mid(m01, m12), m123 = mid(m12, m23);
    const FixPoint center = mid(m012, m123);
    const FixPoint first[4] = {p[0], m01, m012, center};
    const FixPoint second[4] = {center, m123, m23, p[3]};
    flatten(first, depth + 1, out);
    flatten(second, depth + 1, out);
}

}  // namespace

void flatten_bezier(const SpicePointFix p[4], std::vector<SpicePoint>& out) {
    const FixPoint points[4] = {{p[0].x, p[0].y}, {p[1].x, p[1].y}, {p[2].x, p[2].y}, {p[3].x, p[3].y}};
    flatten(points, 0, out);
}
