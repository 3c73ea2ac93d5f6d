// Thin lines against the unclipped Bresenham walk, dashed lines, joins, span merging, span clipping and
// Bezier flattening.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "canvas/lines.h"
#include "canvas/raster_types.h"

namespace {

using Pixel = std::pair<int32_t, int32_t>;  // (y, x): sorts by row

// A canvas that records what the rasteriser hands its sink.
struct Recorder : LineContext {
    std::vector<Pixel> pixels;  // every pixel of every span and rectangle, duplicates kept
    int calls = 0;
    int rect_calls = 0;
    bool all_sorted = true;

    explicit Recorder(int canvas_width, int canvas_height, uint8_t op = ROP_COPY) {
        width = canvas_width;
        height = canvas_height;
        raster_op = op;
        line_width = 0;
        dash_offset = 0;
        dash_count = 0;
        dashes = nullptr;
        line_style = LINE_STYLE_SOLID;
        cap_style = LINE_CAP_NOT_LAST;
        join_style = LINE_JOIN_MITER;
        sink = &SINK;
    }

    void dashed(int pixel_width, std::vector<uint8_t> list, uint16_t offset) {
        dash_list = std::move(list);
        line_width = uint16_t(pixel_width);
        line_style = LINE_STYLE_ON_OFF_DASH;
        dashes = dash_list.data();
        dash_count = uint16_t(dash_list.size());
        dash_offset = offset;
    }

    std::set<Pixel> pixel_set() const { return {pixels.begin(), pixels.end()}; }

    bool has_duplicates() const { return pixel_set().size() != pixels.size(); }

    std::vector<uint8_t> dash_list;

    static void fill_spans(LineContext* context, int count, SpicePoint* points, int* widths, int sorted,
                           int foreground) {
        auto* self = static_cast<Recorder*>(context);
        self->calls++;
        self->all_sorted &= sorted != 0;
        for (int i = 0; i < count; i++) {
            for (int x = 0; x < widths[i]; x++) {
                self->pixels.push_back({points[i].y, points[i].x + x});
            }
        }
    }

    static void fill_rects(LineContext* context, int count, LineRect* rects, int foreground) {
        auto* self = static_cast<Recorder*>(context);
        self->calls++;
        self->rect_calls++;
        for (int i = 0; i < count; i++) {
            for (int y = 0; y < rects[i].height; y++) {
                for (int x = 0; x < rects[i].width; x++) {
                    self->pixels.push_back({rects[i].y + y, rects[i].x + x});
                }
            }
        }
    }

    static const SpanSink SINK;
};

const SpanSink Recorder::SINK = {&Recorder::fill_spans, &Recorder::fill_rects};

std::set<Pixel> thin(int canvas_width, int canvas_height, std::vector<SpicePoint> points) {
    Recorder recorder(canvas_width, canvas_height);
    stroke_thin_line(&recorder, int(points.size()), points.data());
    return recorder.pixel_set();
}

// The pixels of the zero-width walk of one segment, made without any clipping (far end left out), that lie on
// a canvas of the given size.
std::set<Pixel> unclipped_walk(SpicePoint from, SpicePoint to, int width, int height) {
    const int64_t dx = int64_t(to.x) - from.x, dy = int64_t(to.y) - from.y;
    const int64_t adx = std::llabs(dx), ady = std::llabs(dy);
    const int octant = (dx < 0 ? 4 : 0) | (dy < 0 ? 2 : 0) | (ady >= adx ? 1 : 0);
    const int64_t bias = (216 >> octant) & 1;
    const bool y_major = octant & 1;
    const int64_t major = y_major ? ady : adx, minor = y_major ? adx : ady;
    const int64_t e1 = 2 * minor, e2 = 2 * minor - 2 * major;
    int64_t e = 2 * minor - major - bias - e1;
    int64_t x = from.x, y = from.y;
    std::set<Pixel> out;
    for (int64_t i = 0; i < major; i++) {
        if (x >= 0 && x < width && y >= 0 && y < height) {
            out.insert({int32_t(y), int32_t(x)});
        }
        e += e1;
        if (e >= 0) {
            (y_major ? x : y) += y_major ? (dx < 0 ? -1 : 1) : (dy < 0 ? -1 : 1);
            e += e2 - e1;
        }
        (y_major ? y : x) += y_major ? (dy < 0 ? -1 : 1) : (dx < 0 ? -1 : 1);
    }
    return out;
}

TEST(ThinLine, DrawTheWalkWithoutTheEndPoint) {
    std::set<Pixel> horizontal;
    for (int x = 0; x < 10; x++) {
        horizontal.insert({0, x});
    }
    EXPECT_EQ(thin(20, 20, {{0, 0}, {10, 0}}), horizontal);

    // Octant 0 (bias 0) rounds ties down; its reverse, octant 6 (bias 1), rounds them up and so meets the
    // same pixels, with the other end left out.
    EXPECT_EQ(thin(20, 20, {{0, 0}, {4, 2}}), (std::set<Pixel>{{0, 0}, {1, 1}, {1, 2}, {2, 3}}));
    EXPECT_EQ(thin(20, 20, {{4, 2}, {0, 0}}), (std::set<Pixel>{{2, 4}, {2, 3}, {1, 2}, {1, 1}}));

    EXPECT_EQ(thin(20, 20, {{-5, 3}, {5, 3}}), (std::set<Pixel>{{3, 0}, {3, 1}, {3, 2}, {3, 3}, {3, 4}}));

    // A closed polyline leaves out its last point (the first), which the first segment draws.
    EXPECT_EQ(thin(20, 20, {{0, 0}, {2, 0}, {2, 2}, {0, 0}}),
              (std::set<Pixel>{{0, 0}, {0, 1}, {0, 2}, {1, 2}, {2, 2}, {1, 1}}));
}

TEST(ThinLine, SegmentsOffTheCanvasCallNoSink) {
    Recorder recorder(20, 20);
    const SpicePoint points[] = {{-10, -5}, {30, -1}, {25, 40}, {21, 0}};
    stroke_thin_line(&recorder, 4, points);
    EXPECT_EQ(recorder.calls, 0);

    const SpicePoint far[] = {{0, 0}, {LINE_COORD_LIMIT + 1, 5}};
    stroke_thin_line(&recorder, 2, far);
    EXPECT_EQ(recorder.calls, 0);
}

// Clipping keeps exactly the pixels of the unclipped walk that lie on the canvas, whatever the octant, near
// the canvas and far from it (past 32767 pixels the clip works from the other end). Small direction ratios
// put the walk exactly between two pixels again and again, where the octant's bias decides.
TEST(ThinLine, ClippedWalkEqualsUnclippedWalkOnTheCanvas) {
    std::mt19937 random(1234);
    const int width = 37, height = 23;
    auto between = [&](int lo, int hi) { return lo + int(random() % uint32_t(hi - lo + 1)); };
    for (int round = 0; round < 4000; round++) {
        const bool small_ratio = round % 2;
        SpicePoint from, to;
        if (round % 4 < 2) {
            // Ends anywhere around the canvas.
            from = {between(-90, width + 90), between(-90, height + 90)};
            to = {between(-90, width + 90), between(-90, height + 90)};
            if (small_ratio) {
                const int steps = between(1, 60);
                to = {from.x + steps * between(-4, 4), from.y + steps * between(-4, 4)};
            }
        } else {
            // Through a point near the canvas, the ends up to some 100000 pixels away.
            const SpicePoint through = {between(-3, width + 3), between(-3, height + 3)};
            const int limit = small_ratio ? 4 : 150;
            const SpicePoint step = {between(-limit, limit), between(-limit, limit)};
            const int back = between(0, 100000 / (2 * limit)), ahead = between(0, 100000 / (2 * limit));
            from = {through.x - back * step.x, through.y - back * step.y};
            to = {through.x + ahead * step.x, through.y + ahead * step.y};
        }
        const std::set<Pixel> expected = unclipped_walk(from, to, width, height);
        Recorder recorder(width, height);
        const SpicePoint points[] = {from, to};
        stroke_thin_line(&recorder, 2, points);
        ASSERT_EQ(recorder.pixel_set(), expected)
            << "(" << from.x << ", " << from.y << ") to (" << to.x << ", " << to.y << ")";
        ASSERT_FALSE(recorder.has_duplicates());
    }
}

std::set<int> dashed_row(std::vector<uint8_t> dashes, uint16_t offset) {
    Recorder recorder(40, 10);
    recorder.dashed(1, std::move(dashes), offset);
    const SpicePoint points[] = {{0, 5}, {20, 5}};
    stroke_wide_line(&recorder, 2, points);
    std::set<int> xs;
    for (const Pixel& p : recorder.pixels) {
        EXPECT_EQ(p.first, 5);
        xs.insert(p.second);
    }
    return xs;
}

TEST(DashedLine, DashOffsetPlacesThePattern) {
    // {4, 2} from offset 5: 1 pixel of the gap is left, then 4 on and 2 off.
    EXPECT_EQ(dashed_row({4, 2}, 5), (std::set<int>{1, 2, 3, 4, 7, 8, 9, 10, 13, 14, 15, 16, 19}));
    // An offset of the whole pattern starts at the first dash.
    EXPECT_EQ(dashed_row({4, 2}, 6), (std::set<int>{0, 1, 2, 3, 6, 7, 8, 9, 12, 13, 14, 15, 18, 19}));
    EXPECT_EQ(dashed_row({4, 2}, 0), dashed_row({4, 2}, 6 * 1000));
}

TEST(DashedLine, AllZeroDashListIsDrawnSolid) {
    Recorder recorder(30, 30);
    recorder.dashed(1, {0, 0, 0}, 7);
    const SpicePoint points[] = {{2, 3}, {25, 17}, {4, 20}};
    stroke_wide_line(&recorder, 3, points);
    EXPECT_EQ(recorder.pixel_set(), thin(30, 30, {{2, 3}, {25, 17}, {4, 20}}));
}

// Where a pixel drawn twice would show (XOR), the spans of a polyline are merged; with COPY they need not be.
TEST(DashedLine, OverlappingPiecesAreDrawnOnceWhenTheOperationShowsIt) {
    const SpicePoint points[] = {{2, 5}, {30, 5}, {2, 6}, {30, 4}};
    Recorder merged(40, 12, ROP_XOR);
    merged.dashed(1, {5, 1}, 0);
    stroke_wide_line(&merged, 4, points);
    EXPECT_FALSE(merged.has_duplicates());
    EXPECT_TRUE(merged.all_sorted);
    EXPECT_EQ(merged.calls, 1);

    Recorder direct(40, 12, ROP_COPY);
    direct.dashed(1, {5, 1}, 0);
    stroke_wide_line(&direct, 4, points);
    EXPECT_TRUE(direct.has_duplicates());
    EXPECT_EQ(direct.pixel_set(), merged.pixel_set());
}

TEST(DashedLine, RightAngleGetsAMiterAndSharpAngleABevel) {
    // Width 6 so that the corner shows: the outer corner of the turn at (30, 10) is filled square.
    Recorder square(60, 60, ROP_XOR);
    square.dashed(6, {255}, 0);
    const SpicePoint right_angle[] = {{10, 10}, {30, 10}, {30, 40}};
    stroke_wide_line(&square, 3, right_angle);
    const std::set<Pixel> drawn = square.pixel_set();
    for (int y = 7; y < 10; y++) {
        for (int x = 30; x < 33; x++) {
            EXPECT_TRUE(drawn.count({y, x})) << "corner pixel " << x << "," << y;
        }
    }
    EXPECT_FALSE(drawn.count({6, 30}));
    EXPECT_FALSE(drawn.count({7, 33}));

    // About 4 degrees: a miter would reach some 80 pixels past the turn; the bevel stays within the line
    // width.
    Recorder sharp(200, 60, ROP_XOR);
    sharp.dashed(6, {255}, 0);
    const SpicePoint spike[] = {{10, 20}, {100, 20}, {10, 27}};
    stroke_wide_line(&sharp, 3, spike);
    int max_x = 0;
    for (const Pixel& p : sharp.pixels) {
        max_x = std::max(max_x, p.second);
    }
    EXPECT_GE(max_x, 100);
    EXPECT_LE(max_x, 103);
}

// A polyline drawn on a small canvas gives the pixels that the same polyline, moved onto the middle of a
// canvas large enough to hold all of it, gives in the small canvas's place: skipping the dashes that lie off
// the canvas changes nothing on it.
TEST(DashedLine, DrawingOffTheCanvasIsSkippedExactly) {
    std::mt19937 random(99);
    const int width = 50, height = 40, shift = 3000;
    for (int round = 0; round < 300; round++) {
        const int count = 2 + int(random() % 4);
        std::vector<SpicePoint> points, moved;
        for (int i = 0; i < count; i++) {
            const SpicePoint p = {int(random() % 4000) - 2000, int(random() % 4000) - 2000};
            points.push_back(p);
            moved.push_back({p.x + shift, p.y + shift});
        }
        std::vector<uint8_t> dashes;
        for (int i = 0, n = 1 + int(random() % 4); i < n; i++) {
            dashes.push_back(uint8_t(1 + random() % 12));
        }
        const uint16_t offset = uint16_t(random() % 50);
        const int line_width = 1 + int(random() % 3);
        const uint8_t op = round % 2 ? ROP_XOR : ROP_COPY;

        Recorder small(width, height, op), large(2 * shift + width, 2 * shift + height, op);
        small.dashed(line_width, dashes, offset);
        large.dashed(line_width, dashes, offset);
        stroke_wide_line(&small, count, points.data());
        stroke_wide_line(&large, count, moved.data());
        std::set<Pixel> expected;
        for (const Pixel& p : large.pixels) {
            const Pixel back = {p.first - shift, p.second - shift};
            if (back.first >= 0 && back.first < height && back.second >= 0 && back.second < width) {
                expected.insert(back);
            }
        }
        ASSERT_EQ(small.pixel_set(), expected) << "round " << round;
    }
}

TEST(DashedLine, FarPointsCostNoMoreThanTheCanvas) {
    // A dash pattern of 2 along lines some 2^29 pixels long: only the part near the canvas is walked.
    Recorder recorder(64, 64, ROP_XOR);
    recorder.dashed(1, {1, 1}, 0);
    const int32_t far = LINE_COORD_LIMIT;
    const SpicePoint points[] = {{-far, -far + 3}, {far, far}, {-far, far - 1}, {far, -far}};
    stroke_wide_line(&recorder, 4, points);
    EXPECT_GT(recorder.pixels.size(), 0u);
    for (const Pixel& p : recorder.pixels) {
        ASSERT_TRUE(p.first >= 0 && p.first < 64 && p.second >= 0 && p.second < 64);
    }
}

std::vector<std::pair<Pixel, int>> clip(pixman_region32_t* region, std::vector<SpicePoint> points,
                                        std::vector<int> widths, bool sorted) {
    std::vector<SpicePoint> out_points = {{-1, -1}};  // replaced
    std::vector<int> out_widths = {-1};
    const int n = clip_spans_to_region(region, points.data(), widths.data(), int(points.size()), sorted,
                                       out_points, out_widths);
    EXPECT_EQ(size_t(n), out_points.size());
    std::vector<std::pair<Pixel, int>> out;
    for (int i = 0; i < n; i++) {
        out.push_back({{out_points[size_t(i)].y, out_points[size_t(i)].x}, out_widths[size_t(i)]});
    }
    return out;
}

TEST(LineSpanClipping, ClipsToTheRegion) {
    pixman_region32_t region;
    pixman_region32_init_rect(&region, 10, 10, 20, 5);
    // One rectangle: each span on its own, in input order.
    EXPECT_EQ(clip(&region, {{5, 12}, {12, 10}, {0, 9}, {25, 14}, {31, 11}}, {10, 3, 50, 10, 4}, false),
              (std::vector<std::pair<Pixel, int>>{{{12, 10}, 5}, {{10, 12}, 3}, {{14, 25}, 5}}));

    // Two bands, the upper one with three rectangles: a span across the band gives one span per rectangle,
    // more than the input held.
    const pixman_box32_t boxes[] = {{0, 0, 4, 2}, {6, 0, 8, 2}, {10, 0, 12, 2}, {2, 5, 9, 6}};
    pixman_region32_fini(&region);
    pixman_region32_init_rects(&region, boxes, 4);
    EXPECT_EQ(clip(&region, {{3, 5}, {-5, 1}, {0, 3}}, {100, 100, 100}, false),
              (std::vector<std::pair<Pixel, int>>{{{1, 0}, 4}, {{1, 6}, 2}, {{1, 10}, 2}, {{5, 3}, 6}}));

    pixman_region32_fini(&region);
    pixman_region32_init(&region);
    EXPECT_TRUE(clip(&region, {{0, 0}}, {5}, true).empty());
    pixman_region32_fini(&region);
}

std::vector<SpicePoint> flatten(std::vector<SpicePointFix> p) {
    std::vector<SpicePoint> out;
    flatten_bezier(p.data(), out);
    return out;
}

TEST(BezierFlattening, FlatteningEndsAtTheLastPointAndIsBounded) {
    // Control points on the chord: one chord.
    auto straight = flatten({{0, 0}, {160, 0}, {320, 0}, {480, 16}});
    ASSERT_EQ(straight.size(), 1u);
    EXPECT_EQ(straight[0].x, 30);
    EXPECT_EQ(straight[0].y, 1);

    // A curve whose ends coincide never passes the closeness test on its own; it is still split and ends.
    auto loop = flatten({{0, 0}, {3200, 0}, {3200, 3200}, {0, 0}});
    EXPECT_GT(loop.size(), 4u);
    EXPECT_LE(loop.size(), 1024u);
    EXPECT_EQ(loop.back().x, 0);
    EXPECT_EQ(loop.back().y, 0);

    EXPECT_EQ(flatten({{16, 16}, {16, 16}, {16, 16}, {16, 16}}).size(), 1u);

    // Huge control points: the split stops at its bound.
    const int32_t big = 1 << 30;
    auto huge = flatten({{-big, -big}, {big, -big}, {-big, big}, {big, big}});
    EXPECT_LE(huge.size(), 1024u);
    EXPECT_EQ(huge.back().x, big >> 4);
}

}  // namespace
