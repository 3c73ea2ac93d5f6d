// A full-window repaint of the session screen at 1920x1080 on a private Xvfb: the desktop layer copies its
// frame, a transparent layer over the whole window makes everything go through the composite pixmap, and the
// result is put to the X window, with shared memory (XShmPutImage) and without (XPutImage). Beside it, a
// memcpy of the same frame as the floor.
#include "canvas/red_drawable.h"
#include "display/red_screen.h"
#include "display/screen_layer.h"
#include "display/tests/support/fake_application.h"
#include "winapi/tests/support/layer_access.h"
#include "winapi/tests/support/xvfb_server.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const int WIDTH = 1920;
const int HEIGHT = 1080;

class FrameLayer : public ScreenLayer {
public:
    FrameLayer() : ScreenLayer(0, true), _frame(WIDTH, HEIGHT, RedDrawable::RGB32, true) {
        uint8_t* data = _frame.get_data();
        for (int y = 0; y < HEIGHT; y++) {
            auto* row = reinterpret_cast<uint32_t*>(data + size_t(y) * _frame.get_stride());
            for (int x = 0; x < WIDTH; x++) {
                row[x] = uint32_t(x * 7 + y * 13) & 0xFFFFFF;
            }
        }
    }
    void copy_pixels(const pixman_region32_t& region, RedDrawable& dest) override {
        int count;
        const pixman_box32_t* boxes =
            pixman_region32_rectangles(const_cast<pixman_region32_t*>(&region), &count);
        for (int i = 0; i < count; i++) {
            dest.copy_pixels(_frame, boxes[i].x1, boxes[i].y1,
                             SpiceRect{boxes[i].x1, boxes[i].y1, boxes[i].x2, boxes[i].y2});
        }
    }

private:
    RedPixmapSw _frame;
};

// Covers the window and draws a small mark: everything beneath it is composed.
class VeilLayer : public ScreenLayer {
public:
    VeilLayer() : ScreenLayer(1, false) {}
    void copy_pixels(const pixman_region32_t& region, RedDrawable& dest) override {
        if (pixman_region32_not_empty(const_cast<pixman_region32_t*>(&region))) {
            dest.fill_rect(SpiceRect{10, 10, 42, 42}, 0xFFFFFF);
        }
    }
};

void repaint(benchmark::State& state, bool shared_memory, bool composed = true) {
    if (!test_support::ensure_xvfb()) {
        state.SkipWithError(("no Xvfb: " + test_support::xvfb_error()).c_str());
        return;
    }
    if (shared_memory) {
        unsetenv("KTW_X11_NO_SHM");
    } else {
        setenv("KTW_X11_NO_SHM", "1", 1);
    }
    FakeApplication app;
    RedScreen* screen = new RedScreen(app, 0, "repaint %d", WIDTH, HEIGHT);
    FrameLayer desktop;
    VeilLayer veil;
    screen->attach_layer(desktop);
    screen->attach_layer(veil);
    desktop.set_rect_area(RECT{0, 0, WIDTH, HEIGHT});
    if (composed) {
        veil.set_rect_area(RECT{0, 0, WIDTH, HEIGHT});
    }
    screen->show();
    screen->update();
    if (test_support::layer_window_uses_shm(screen->get_window().hwnd()) != shared_memory) {
        state.SkipWithError(shared_memory ? "the X server refused shared memory"
                                          : "shared memory still used");
    }
    for (auto _ : state) {
        screen->invalidate_rect(RECT{0, 0, WIDTH, HEIGHT}, false);
        screen->update();
    }
    state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(int64_t(state.iterations()) * WIDTH * HEIGHT * 4);
    screen->detach_layer(veil);
    screen->detach_layer(desktop);
    screen->unref();
}

void BM_RepaintShm(benchmark::State& state) {
    repaint(state, true);
}
BENCHMARK(BM_RepaintShm)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RepaintPlain(benchmark::State& state) {
    repaint(state, false);
}
BENCHMARK(BM_RepaintPlain)->Unit(benchmark::kMillisecond)->UseRealTime();

// The desktop alone: it draws straight into the window, nothing is composed.
void BM_RepaintShmDirect(benchmark::State& state) {
    repaint(state, true, false);
}
BENCHMARK(BM_RepaintShmDirect)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FrameMemcpy(benchmark::State& state) {
    std::vector<uint8_t> source(size_t(WIDTH) * HEIGHT * 4, 0x5A), target(source.size());
    for (auto _ : state) {
        memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}
BENCHMARK(BM_FrameMemcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
