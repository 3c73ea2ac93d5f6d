// LZ and GLZ decoding speed in megapixels per second on 1920x1080 RGB32 images of three kinds, beside a
// memcpy of the output size, and the GLZ window under one and four decoding threads with random arrival
// order.
//
// Kinds: a desktop (flat areas, window frames, lines of text from a small glyph set), a photo (gradients with
// noise, mostly literals) and a synthetic worst case (one-pixel literals and one-pixel references in turn,
// the most control bytes per pixel).
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>

#include "codecs/glz_decoder.h"
#include "codecs/lz.h"
#include "codecs/tests/support/lz_encoder.h"

namespace {

const uint32_t W = 1920, H = 1080;
// The images are encoded as a server would: a reference shorter than three pixels is not worth its decode.
const unsigned MIN_MATCH = 3;

enum Kind { DESKTOP, PHOTO, WORST };

// b, g, r units of a 1920x1080 image of the kind.
std::vector<uint8_t> image_units(Kind kind) {
    std::mt19937 rng(kind + 1);
    std::vector<uint8_t> u(size_t(W) * H * 3);
    auto set = [&](uint32_t x, uint32_t y, uint32_t c) {
        uint8_t* p = &u[(size_t(y) * W + x) * 3];
        p[0] = uint8_t(c), p[1] = uint8_t(c >> 8), p[2] = uint8_t(c >> 16);
    };
    if (kind == PHOTO) {
        for (uint32_t y = 0; y < H; y++) {
            for (uint32_t x = 0; x < W; x++) {
                uint32_t r = (x * 255 / W + rng() % 16) & 255, g = (y * 255 / H + rng() % 16) & 255;
                uint32_t b = ((x + y) * 255 / (W + H) + rng() % 16) & 255;
                set(x, y, b | g << 8 | r << 16);
            }
        }
        return u;
    }
    // Desktop: a background, windows with title bars, and text rows drawn from 64 glyphs of 8x16.
    std::vector<std::vector<uint8_t>> glyphs(64, std::vector<uint8_t>(8 * 16));
    for (auto& g : glyphs) {
        for (uint8_t& bit : g) {
            bit = rng() % 3 == 0;
        }
    }
    for (uint32_t y = 0; y < H; y++) {
        for (uint32_t x = 0; x < W; x++) {
            set(x, y, 0x3A6EA5);
        }
    }
    for (int w = 0; w < 6; w++) {
        uint32_t x0 = rng() % (W - 700), y0 = rng() % (H - 500), ww = 300 + rng() % 400,
                 hh = 200 + rng() % 300;
        for (uint32_t y = y0; y < y0 + hh; y++) {
            for (uint32_t x = x0; x < x0 + ww; x++) {
                set(x, y, y < y0 + 24 ? 0x0A246A + (x - x0) / 4 : 0xFFFFFF);
            }
        }
        for (uint32_t line = y0 + 32; line + 16 < y0 + hh; line += 18) {
            for (uint32_t x = x0 + 8; x + 8 < x0 + ww - 8; x += 8) {
                const std::vector<uint8_t>& g = glyphs[rng() % glyphs.size()];
                for (uint32_t gy = 0; gy < 16; gy++) {
                    for (uint32_t gx = 0; gx < 8; gx++) {
                        if (g[gy * 8 + gx]) {
                            set(x + gx, line + gy, 0x000000);
                        }
                    }
                }
            }
        }
    }
    return u;
}

// The worst case is written directly: a one-pixel literal, then one pixel from 1 to 4096 pixels back (GLZ:
// the same in its own codes), over and over.
std::vector<uint8_t> worst_body(bool glz) {
    std::mt19937 rng(9);
    std::vector<uint8_t> body;
    for (uint32_t op = 0; op < W * H; op += 2) {
        body.insert(body.end(), {0, uint8_t(rng()), uint8_t(rng()), uint8_t(rng())});
        uint32_t back = 1 + rng() % (op < 4096 ? op + 1 : 4096);
        if (glz) {
            uint32_t offset = back - 1;  // within the image, offsets count from 1
            body.insert(body.end(), {uint8_t(0x20 | (offset & 15)), uint8_t(offset >> 4), 0});
        } else {
            uint32_t d = back - 1;
            body.insert(body.end(), {uint8_t(0x20 | (d >> 8)), uint8_t(d)});
        }
    }
    return body;
}

const std::vector<uint8_t>& lz_stream(Kind kind) {
    static std::vector<uint8_t> streams[3];
    std::vector<uint8_t>& s = streams[kind];
    if (s.empty()) {
        s = lz_header(LZ_IMAGE_TYPE_RGB32, W, H, W * 4, 1);
        std::vector<uint8_t> body =
            kind == WORST ? worst_body(false) : lz_encode_units(image_units(kind), 3, nullptr, MIN_MATCH);
        s.insert(s.end(), body.begin(), body.end());
    }
    return s;
}

const std::vector<uint8_t>& glz_body(Kind kind) {
    static std::vector<uint8_t> bodies[3];
    std::vector<uint8_t>& b = bodies[kind];
    if (b.empty()) {
        b = kind == WORST ? worst_body(true)
                          : glz_encode_units(image_units(kind), 3, 0, {}, nullptr, MIN_MATCH);
    }
    return b;
}

void set_rate(benchmark::State& state, uint64_t pixels) {
    state.counters["Mpx/s"] =
        benchmark::Counter(double(pixels) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// ---- memcpy of the output size ----

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> src(size_t(W) * H * 4, 1), dst(size_t(W) * H * 4);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), dst.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    set_rate(state, uint64_t(W) * H);
}
BENCHMARK(BM_Memcpy);

// ---- LZ ----

void no_log(LzUsrContext*, const char*, ...) {}
void* bench_malloc(LzUsrContext*, size_t size) {
    return malloc(size);
}
void bench_free(LzUsrContext*, void* p) {
    free(p);
}
int no_more(LzUsrContext*, uint8_t**) {
    return 0;
}

void BM_Lz(benchmark::State& state) {
    const std::vector<uint8_t>& stream = lz_stream(Kind(state.range(0)));
    LzUsrContext usr = {no_log, no_log, no_log, bench_malloc, bench_free, no_more, no_more};
    LzContext* lz = lz_create(&usr);
    std::vector<uint8_t> out(size_t(W) * H * 4);
    for (auto _ : state) {
        LzImageType type;
        int width, height, n_pixels, top_down;
        if (lz_decode_begin(lz, stream.data(), unsigned(stream.size()), &type, &width, &height, &n_pixels,
                            &top_down, nullptr) ||
            lz_decode(lz, LZ_IMAGE_TYPE_RGB32, out.data(), out.size())) {
            state.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    lz_destroy(lz);
    set_rate(state, uint64_t(W) * H);
    state.counters["ratio"] = double(stream.size()) / (double(W) * H * 3);
}
BENCHMARK(BM_Lz)->Arg(DESKTOP)->Arg(PHOTO)->Arg(WORST)->ArgName("kind(desktop,photo,worst)");

// ---- GLZ ----

class BenchDebug : public GlzDecoderDebug {
public:
    void error(const std::string& str) override { throw std::runtime_error(str); }
    void warn(const std::string&) override {}
    void info(const std::string&) override {}
};

// Hands out images over buffers it keeps, so that a decode costs no allocation of pixels. A decode's user
// data picks a region of its own (one per window); within it an image takes buffer id modulo the region's
// size, which must exceed the ids a window holds at once.
class BufferHandler : public GlzDecodeHandler {
public:
    BufferHandler(size_t regions, size_t per_region, uint32_t pixels)
        : per_region_(per_region), buffers_(regions * per_region, std::vector<uint8_t>(size_t(pixels) * 4)) {}
    GlzDecodedImage* alloc_image(void* usr_data, uint64_t id, uint64_t win_head_id, LzImageType, int, int,
                                 int gross_pixels, int, bool) override {
        size_t region = reinterpret_cast<uintptr_t>(usr_data);
        uint8_t* data = buffers_[region * per_region_ + id % per_region_].data();
        return new GlzDecodedImage(id, win_head_id, data, uint32_t(gross_pixels), 4);
    }

private:
    size_t per_region_;
    std::vector<std::vector<uint8_t>> buffers_;
};

void set_header_ids(std::vector<uint8_t>& stream, uint64_t id, uint32_t win_head_dist) {
    for (int i = 0; i < 8; i++) {
        stream[21 + i] = uint8_t(id >> (56 - 8 * i));
    }
    for (int i = 0; i < 4; i++) {
        stream[29 + i] = uint8_t(win_head_dist >> (24 - 8 * i));
    }
}

std::vector<uint8_t> glz_image(uint32_t width, uint32_t height, uint64_t id, int32_t win_head_dist,
                               const std::vector<uint8_t>& body) {
    std::vector<uint8_t> s =
        glz_header(LZ_IMAGE_TYPE_RGB32, true, width, height, width * 4, id, win_head_dist);
    s.insert(s.end(), body.begin(), body.end());
    return s;
}

void BM_Glz(benchmark::State& state) {
    const std::vector<uint8_t>& body = glz_body(Kind(state.range(0)));
    BenchDebug debug;
    GlzDecoderWindow window(debug);
    BufferHandler handler(1, 2, W * H);
    GlzDecoder decoder(window, handler, debug);
    uint64_t id = 0;
    std::vector<uint8_t> stream = glz_image(W, H, 0, 0, body);
    for (auto _ : state) {
        // Each image is its own window head, so the one before leaves the window.
        set_header_ids(stream, id, 0);
        decoder.decode(stream.data(), uint32_t(stream.size()), nullptr, nullptr);
        id++;
    }
    set_rate(state, uint64_t(W) * H);
    state.counters["ratio"] = double(body.size()) / (double(W) * H * 3);
}
BENCHMARK(BM_Glz)->Arg(DESKTOP)->Arg(PHOTO)->Arg(WORST)->ArgName("kind(desktop,photo,worst)");

// ---- The window under several threads ----

// A session of 8 megapixels in tiles cut from the desktop (2048 tiles of 64x64 or 128 of 256x256), spread
// over `threads` decoding threads at random; each thread decodes its tiles in id order, as display channels
// do. Every tile keeps half the session before it in the window (a server's window holds megapixels).
//   mode 0, independent: tiles reference only themselves, so the threads meet only in the window's locks.
//   mode 1, own windows: the same tiles, but each thread has a window of its own: what the machine gives four
//           threads that share nothing, the mark for mode 0.
//   mode 2, dependent: tiles also copy from the 16 tiles before them, which another thread is often still
//           decoding: those waits are the data's, not the locks'.
// Wall time per session; the ids go on from one session to the next.
void BM_GlzWindow(benchmark::State& state) {
    const int threads = int(state.range(0));
    const int mode = int(state.range(1));
    const uint32_t tile = uint32_t(state.range(2)), count = 8 * 1024 * 1024 / (tile * tile), back = count / 2;
    const uint32_t refs_back = 16;
    static std::map<std::pair<bool, uint32_t>, std::vector<std::vector<uint8_t>>> sessions;
    std::vector<std::vector<uint8_t>>& streams = sessions[{mode == 2, tile}];
    if (streams.empty()) {
        std::vector<uint8_t> desk = image_units(DESKTOP);
        std::vector<std::vector<uint8_t>> units(count);
        for (uint32_t id = 0; id < count; id++) {
            uint32_t x0 = (id * 37) % (W - tile), y0 = (id * 53) % (H - tile);
            for (uint32_t y = 0; y < tile; y++) {
                const uint8_t* row = &desk[(size_t(y0 + y) * W + x0) * 3];
                units[id].insert(units[id].end(), row, row + tile * 3);
            }
            std::vector<GlzRefImage> refs;
            for (uint32_t r = id > refs_back ? id - refs_back : 0; mode == 2 && r < id; r++) {
                refs.push_back({id - r, &units[r]});
            }
            streams.push_back(
                glz_image(tile, tile, id, 0, glz_encode_units(units[id], 3, 0, refs, nullptr, MIN_MATCH)));
        }
    }
    // Each queue holds its tiles with their ids in the session (mode 1: in its own window's session).
    std::mt19937 rng(3);
    std::vector<std::vector<std::pair<uint64_t, std::vector<uint8_t>>>> queues(threads);
    for (uint32_t id = 0; id < count; id++) {
        auto& queue = queues[rng() % threads];
        queue.emplace_back(mode == 1 ? queue.size() : id, streams[id]);
    }
    // The windows live on from session to session, as in a long session: their rings have grown once.
    BenchDebug debug;
    std::vector<std::unique_ptr<GlzDecoderWindow>> windows;
    for (int t = 0; t < (mode == 1 ? threads : 1); t++) {
        windows.emplace_back(new GlzDecoderWindow(debug));
    }
    BufferHandler handler(mode == 1 ? threads : 1, count + 64, tile * tile);
    uint64_t session = 0;
    for (auto _ : state) {
        for (auto& queue : queues) {
            const uint64_t first_id = session * (mode == 1 ? queue.size() : count);
            for (auto& tile_stream : queue) {
                set_header_ids(tile_stream.second, first_id + tile_stream.first,
                               uint32_t(std::min<uint64_t>(tile_stream.first, back)));
            }
        }
        session++;
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; t++) {
            workers.emplace_back([&, t] {
                GlzDecoder decoder(*windows[mode == 1 ? t : 0], handler, debug);
                void* region = reinterpret_cast<void*>(uintptr_t(mode == 1 ? t : 0));
                for (const auto& tile_stream : queues[t]) {
                    decoder.decode(tile_stream.second.data(), uint32_t(tile_stream.second.size()), nullptr,
                                   region);
                }
            });
        }
        for (std::thread& w : workers) {
            w.join();
        }
    }
    set_rate(state, uint64_t(count) * tile * tile);
    state.counters["images/s"] = benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_GlzWindow)
    ->ArgsProduct({{1, 4}, {0, 1, 2}, {64, 256}})
    ->ArgNames({"threads", "mode", "tile"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
