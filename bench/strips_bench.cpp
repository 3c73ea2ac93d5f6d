// The decoders on real server traffic: the images QEMU's SPICE server sent for one full-screen repaint of the
// benchmark guest (codecs/tests/fixtures/strips, recorded by tools/record_strips.sh), in pixels per second
// (items/s), by content (photo-like, text-like, gradient, noise) and beside a baseline on the same bytes:
//   QUIC       the decoder, and the decoder as it was before its speed work (quic_reference)
//   GLZ        every image of the repaint in order through a fresh window, as a session decodes them, plain
//              and zlib-wrapped, into fresh or reused image memory; the wrapped ones also inflated alone, by
//              zlib's streaming inflate and by the decoder's inflater
//   JPEG       the decoder into a 32-bit surface, and libjpeg-turbo alone on the same bytes into 32-bit rows
//   memcpy     of a full 1024x768 screen of 32-bit pixels
//   recording  every image of a recording (the boot screen's and the repaint's) through its decoder, in
//   order:
//              the decoders' share of display_replay_bench's BM_ReplayThroughChannel, which replays the same
//              recordings through the display channel and counts the same pixels
// Run it pinned to one core (taskset -c N build/bench/strips_bench) and repeat: the figures are noisy on a
// shared machine.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codecs/glz_decoder.h"
#include "codecs/jpeg_decoder.h"
#include "codecs/lz.h"
#include "codecs/quic.h"
#include "codecs/tests/support/glz_test_support.h"
#include "codecs/tests/support/quic_reference.h"
#include "codecs/tests/support/strip_fixtures.h"
#include "codecs/zlib_decoder.h"

namespace {

const StripRecording& recording(const char* name) {
    static std::vector<std::pair<std::string, StripRecording*>> loaded;
    for (auto& r : loaded) {
        if (r.first == name) {
            return *r.second;
        }
    }
    auto* rec = new StripRecording;
    std::string error;
    if (!rec->load(KTW_STRIP_FIXTURE_DIR, name, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        abort();
    }
    loaded.emplace_back(name, rec);
    return *rec;
}

std::vector<StripImage> strips(const char* name, uint8_t type, benchmark::State& state) {
    const StripContent content = StripContent(state.range(0));
    std::vector<StripImage> images = recording(name).of(type, &content);
    if (images.empty()) {
        state.SkipWithError("no images of this content");
    }
    return images;
}

void label(benchmark::State& state, const std::vector<StripImage>& images, uint64_t pixels_per_pass) {
    uint64_t bytes = 0;
    for (const StripImage& s : images) {
        bytes += s.size;
    }
    state.SetItemsProcessed(int64_t(state.iterations() * pixels_per_pass));
    state.SetLabel(std::string(strip_content_name(StripContent(state.range(0)))) + ", " +
                   std::to_string(images.size()) + " images, " + std::to_string(bytes / 1024) + " KiB");
}

uint64_t pixels_of(const std::vector<StripImage>& images) {
    uint64_t n = 0;
    for (const StripImage& s : images) {
        n += s.pixels();
    }
    return n;
}

// ---- QUIC ----

void report(QuicUsrContext*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}
void* allocate(QuicUsrContext*, size_t size) {
    return malloc(size);
}
void release(QuicUsrContext*, void* ptr) {
    free(ptr);
}
int64_t no_more_space(QuicUsrContext*, const uint8_t**, int) {
    return 0;
}

template <class Context, class Create, class Begin, class Decode, class Destroy>
void quic_strips(benchmark::State& state, Create create, Begin begin, Decode decode, Destroy destroy) {
    quic_init();
    quic_reference::quic_init();
    const std::vector<StripImage> images = strips("quic", SPICE_IMAGE_TYPE_QUIC, state);
    QuicUsrContext usr{report, report, report, allocate, release, no_more_space, nullptr};
    Context* quic = create(&usr);
    std::vector<uint8_t> pixels(1024 * 768 * 4);
    for (auto _ : state) {
        for (const StripImage& s : images) {
            const int w = int(s.image->descriptor.width), h = int(s.image->descriptor.height);
            QuicImageType type;
            int width, height;
            if (begin(quic, s.data, s.size, w, h, &type, &width, &height) != 0 ||
                decode(quic, QUIC_IMAGE_TYPE_RGB32, pixels.data(), w * 4) != 0) {
                state.SkipWithError("decode failed");
                break;
            }
        }
        benchmark::DoNotOptimize(pixels.data());
    }
    label(state, images, pixels_of(images));
    destroy(quic);
}

void BM_StripsQuic(benchmark::State& state) {
    quic_strips<QuicContext>(state, quic_create, quic_decode_begin, quic_decode, quic_destroy);
}

void BM_StripsQuicBaseline(benchmark::State& state) {
    quic_strips<quic_reference::QuicContext>(state, quic_reference::quic_create,
                                             quic_reference::quic_decode_begin, quic_reference::quic_decode,
                                             quic_reference::quic_destroy);
}

// ---- GLZ ----

// Images whose pixels are left unfilled until the decoder writes them, as a canvas's are (the tests' images
// fill theirs first to catch writes past the end, a cost that is not the decoder's). Fresh memory for every
// image, as a session's canvas gives them, or memory of the previous pass, already paged in, which leaves
// the decoder's own cost.
class BenchGlzImage : public GlzDecodedImage {
public:
    BenchGlzImage(uint64_t id, uint64_t win_head_id, uint32_t pixels, uint8_t* reused)
        : GlzDecodedImage(id, win_head_id, reused, pixels, 4) {
        if (!reused) {
            _pixels.reset(new uint8_t[size_t(pixels) * 4]);
            _data = _pixels.get();
        }
    }

private:
    std::unique_ptr<uint8_t[]> _pixels;
};

class BenchGlzHandler : public GlzDecodeHandler {
public:
    explicit BenchGlzHandler(std::vector<std::vector<uint8_t>>* reused) : _reused(reused) {}

    GlzDecodedImage* alloc_image(void*, uint64_t image_id, uint64_t image_win_head_id, LzImageType, int, int,
                                 int gross_pixels, int, bool) override {
        uint8_t* memory = nullptr;
        if (_reused) {
            if (_next == _reused->size()) {
                _reused->emplace_back();
            }
            std::vector<uint8_t>& m = (*_reused)[_next++];
            m.resize(std::max(m.size(), size_t(gross_pixels) * 4), 0);
            memory = m.data();
        }
        return new BenchGlzImage(image_id, image_win_head_id, uint32_t(gross_pixels), memory);
    }

private:
    std::vector<std::vector<uint8_t>>* _reused;
    size_t _next = 0;
};

// The whole repaint through a fresh window: the images refer to earlier ones, so they are decoded in order.
void glz_repaint(benchmark::State& state, const char* name) {
    const StripRecording& rec = recording(name);
    std::vector<StripImage> images;
    for (const StripImage& s : rec.images) {
        const uint8_t t = s.image->descriptor.type;
        if (t == SPICE_IMAGE_TYPE_GLZ_RGB || t == SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB) {
            images.push_back(s);
        }
    }
    uint64_t largest = 0;
    for (const StripImage& s : images) {
        if (s.image->descriptor.type == SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB) {
            largest = std::max<uint64_t>(largest, s.image->u.zlib_glz.glz_data_size);
        }
    }
    std::vector<uint8_t> inflated(largest);
    ZlibDecoder zlib;
    std::vector<std::vector<uint8_t>> reused;
    for (auto _ : state) {
        TestGlzDebug debug;
        BenchGlzHandler handler(state.range(0) ? &reused : nullptr);
        GlzDecoderWindow window(debug);
        GlzDecoder decoder(window, handler, debug);
        try {
            for (const StripImage& s : images) {
                if (s.image->descriptor.type == SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB) {
                    const uint32_t size = s.image->u.zlib_glz.glz_data_size;
                    zlib.decode(s.data, s.size, inflated.data(), size);
                    decoder.decode(inflated.data(), size, nullptr, nullptr);
                } else {
                    decoder.decode(s.data, s.size, nullptr, nullptr);
                }
            }
        } catch (const Exception& e) {
            state.SkipWithError(e.what());
            break;
        }
    }
    uint64_t bytes = 0;
    for (const StripImage& s : images) {
        bytes += s.size;
    }
    state.SetItemsProcessed(int64_t(state.iterations() * pixels_of(images)));
    state.SetLabel(std::string(state.range(0) ? "reused" : "fresh") + " memory, " +
                   std::to_string(images.size()) + " images, " + std::to_string(bytes / 1024) + " KiB");
}

void BM_StripsGlzRepaint(benchmark::State& state) {
    glz_repaint(state, "glz");
}

void BM_StripsZlibGlzRepaint(benchmark::State& state) {
    glz_repaint(state, "zlib-glz");
}

std::vector<StripImage> zlib_wrapped() {
    return recording("zlib-glz").of(SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB);
}

uint64_t inflated_size(const std::vector<StripImage>& images) {
    uint64_t n = 0;
    for (const StripImage& s : images) {
        n += s.image->u.zlib_glz.glz_data_size;
    }
    return n;
}

// The inflate of the wrapped images alone, by the decoder's inflater.
void BM_StripsInflate(benchmark::State& state) {
    const std::vector<StripImage> images = zlib_wrapped();
    std::vector<uint8_t> out(1 << 24);
    ZlibDecoder zlib;
    for (auto _ : state) {
        for (const StripImage& s : images) {
            zlib.decode(s.data, s.size, out.data(), s.image->u.zlib_glz.glz_data_size);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations() * pixels_of(images)));
    state.SetBytesProcessed(int64_t(state.iterations() * inflated_size(images)));
    uint64_t wrapped = 0;
    for (const StripImage& s : images) {
        wrapped += s.size;
    }
    state.SetLabel(std::to_string(images.size()) + " images, " + std::to_string(wrapped / 1024) + " KiB to " +
                   std::to_string(inflated_size(images) / 1024) + " KiB");
}

// The same by zlib's streaming inflate, reset before each image.
void BM_StripsInflateZlibStream(benchmark::State& state) {
    const std::vector<StripImage> images = zlib_wrapped();
    std::vector<uint8_t> out(1 << 24);
    z_stream z;
    memset(&z, 0, sizeof(z));
    inflateInit(&z);
    for (auto _ : state) {
        for (const StripImage& s : images) {
            inflateReset(&z);
            z.next_in = const_cast<Bytef*>(s.data);
            z.avail_in = s.size;
            z.next_out = out.data();
            z.avail_out = s.image->u.zlib_glz.glz_data_size;
            if (inflate(&z, Z_FINISH) != Z_STREAM_END) {
                state.SkipWithError("inflate failed");
            }
        }
        benchmark::DoNotOptimize(out.data());
    }
    inflateEnd(&z);
    state.SetItemsProcessed(int64_t(state.iterations() * pixels_of(images)));
    state.SetBytesProcessed(int64_t(state.iterations() * inflated_size(images)));
}

// ---- JPEG ----

void BM_StripsJpeg(benchmark::State& state) {
    const std::vector<StripImage> images = strips("jpeg", SPICE_IMAGE_TYPE_JPEG, state);
    std::vector<uint8_t> surface(1024 * 768 * 4);
    JpegDecoder decoder;
    for (auto _ : state) {
        for (const StripImage& s : images) {
            int width, height;
            if (!decoder.begin(s.data, s.size, &width, &height) ||
                !decoder.decode(surface.data(), width * 4, JPEG_BITMAP_FMT_32BIT)) {
                state.SkipWithError("decode failed");
                break;
            }
        }
        benchmark::DoNotOptimize(surface.data());
    }
    label(state, images, pixels_of(images));
}

// libjpeg-turbo alone on the same bytes, all rows of an image per call into 32-bit rows.
void BM_StripsLibjpegAlone(benchmark::State& state) {
    const std::vector<StripImage> images = strips("jpeg", SPICE_IMAGE_TYPE_JPEG, state);
    std::vector<uint8_t> out(1024 * 768 * 4);
    std::vector<JSAMPROW> rows(768);
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr error;
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_decompress(&cinfo);
    for (auto _ : state) {
        for (const StripImage& s : images) {
            jpeg_mem_src(&cinfo, s.data, s.size);
            jpeg_read_header(&cinfo, TRUE);
            cinfo.out_color_space = JCS_EXT_BGRX;
            jpeg_start_decompress(&cinfo);
            const size_t stride = size_t(cinfo.output_width) * 4;
            for (JDIMENSION y = 0; y < cinfo.output_height && y < rows.size(); y++) {
                rows[y] = &out[y * stride];
            }
            while (cinfo.output_scanline < cinfo.output_height) {
                jpeg_read_scanlines(&cinfo, &rows[cinfo.output_scanline],
                                    cinfo.output_height - cinfo.output_scanline);
            }
            jpeg_finish_decompress(&cinfo);
        }
        benchmark::DoNotOptimize(out.data());
    }
    jpeg_destroy_decompress(&cinfo);
    label(state, images, pixels_of(images));
}

void BM_StripsMemcpyScreen(benchmark::State& state) {
    std::vector<uint8_t> from(1024 * 768 * 4, 1), to(from.size());
    for (auto _ : state) {
        memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 1024 * 768);
}

// ---- Whole recordings ----

void lz_report(LzUsrContext*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}
void* lz_allocate(LzUsrContext*, size_t size) {
    return malloc(size);
}
void lz_release(LzUsrContext*, void* ptr) {
    free(ptr);
}
int lz_no_more(LzUsrContext*, uint8_t**) {
    return 0;
}

// Every image of the recording, in the order the server sent them, each through the decoder of its type into
// 32-bit pixels: QUIC, LZ, GLZ (through one window, fresh for each pass, as a session's), zlib-wrapped GLZ
// and JPEG. Items: the images' pixels, as BM_ReplayThroughChannel counts them.
void BM_StripsWholeRecording(benchmark::State& state, const char* name) {
    quic_init();
    const StripRecording& rec = recording(name);
    QuicUsrContext quic_usr{report, report, report, allocate, release, no_more_space, nullptr};
    QuicContext* quic = quic_create(&quic_usr);
    LzUsrContext lz_usr{lz_report, lz_report, lz_report, lz_allocate, lz_release, lz_no_more, lz_no_more};
    LzContext* lz = lz_create(&lz_usr);
    JpegDecoder jpeg;
    ZlibDecoder zlib;
    std::vector<uint8_t> pixels(1024 * 768 * 4);
    std::vector<uint8_t> inflated;
    for (auto _ : state) {
        TestGlzDebug debug;
        BenchGlzHandler handler(nullptr);
        GlzDecoderWindow window(debug);
        GlzDecoder glz(window, handler, debug);
        try {
            for (const StripImage& s : rec.images) {
                const int w = int(s.image->descriptor.width), h = int(s.image->descriptor.height);
                bool ok = true;
                switch (s.image->descriptor.type) {
                    case SPICE_IMAGE_TYPE_QUIC: {
                        QuicImageType type;
                        int width, height;
                        ok = quic_decode_begin(quic, s.data, s.size, w, h, &type, &width, &height) == 0 &&
                             quic_decode(quic, QUIC_IMAGE_TYPE_RGB32, pixels.data(), w * 4) == 0;
                        break;
                    }
                    case SPICE_IMAGE_TYPE_LZ_RGB: {
                        LzImageType type;
                        int width, height, n_pixels, top_down;
                        ok = lz_decode_begin(lz, s.data, s.size, &type, &width, &height, &n_pixels, &top_down,
                                             nullptr) == 0 &&
                             lz_decode(lz, LZ_IMAGE_TYPE_RGB32, pixels.data(), pixels.size()) == 0;
                        break;
                    }
                    case SPICE_IMAGE_TYPE_GLZ_RGB:
                        glz.decode(s.data, s.size, nullptr, nullptr);
                        break;
                    case SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB: {
                        const uint32_t size = s.image->u.zlib_glz.glz_data_size;
                        inflated.resize(std::max<size_t>(inflated.size(), size));
                        zlib.decode(s.data, s.size, inflated.data(), size);
                        glz.decode(inflated.data(), size, nullptr, nullptr);
                        break;
                    }
                    case SPICE_IMAGE_TYPE_JPEG: {
                        int width, height;
                        ok = jpeg.begin(s.data, s.size, &width, &height) &&
                             jpeg.decode(pixels.data(), width * 4, JPEG_BITMAP_FMT_32BIT);
                        break;
                    }
                    default:
                        break;
                }
                if (!ok) {
                    state.SkipWithError("decode failed");
                    break;
                }
            }
        } catch (const Exception& e) {
            state.SkipWithError(e.what());
        }
        benchmark::DoNotOptimize(pixels.data());
    }
    lz_destroy(lz);
    quic_destroy(quic);
    uint64_t bytes = 0;
    for (const StripImage& s : rec.images) {
        bytes += s.size;
    }
    state.SetItemsProcessed(int64_t(state.iterations() * pixels_of(rec.images)));
    state.SetLabel(std::to_string(rec.images.size()) + " images, " + std::to_string(bytes / 1024) + " KiB");
}

// Arguments: the content, 0 photo-like, 1 text-like, 2 gradient, 3 noise (the server sends only the
// photo-like and gradient strips as JPEG).
BENCHMARK(BM_StripsQuic)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StripsQuicBaseline)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
// Argument: 0 fresh image memory, 1 reused.
BENCHMARK(BM_StripsGlzRepaint)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StripsZlibGlzRepaint)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StripsInflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StripsInflateZlibStream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StripsJpeg)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StripsLibjpegAlone)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StripsMemcpyScreen)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StripsWholeRecording, quic, "quic")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StripsWholeRecording, lz, "lz")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StripsWholeRecording, glz, "glz")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StripsWholeRecording, zlib_glz, "zlib-glz")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StripsWholeRecording, jpeg, "jpeg")->Unit(benchmark::kMillisecond);

}  // namespace
