// Test-only helpers of the JPEG and MJPEG decoders: pictures of the kinds a desktop shows, libjpeg's own
// encoder, and libjpeg decoding a file on its own as the reference. Header-only, so only the programs that
// include it carry it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <jpeglib.h>

enum class TestPicture {
    Desktop,  // flat areas, window edges and lines of text-like strokes
    Photo,    // smooth gradients with noise
    Noise,    // every pixel random: the worst case for the entropy decoder
};

inline std::vector<uint8_t> make_test_rgb(TestPicture kind, int width, int height, uint32_t seed = 1) {
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    uint32_t state = seed * 2654435761u + 1;
    auto random = [&state]() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
            switch (kind) {
                case TestPicture::Desktop: {
                    bool title = (y % 270) < 24;
                    bool text = (y % 18) < 11 && ((x / 7 + y / 18) % 5) != 0 && (random() & 3) == 0;
                    uint8_t base = title ? 60 : 236;
                    p[0] = text ? 20 : base;
                    p[1] = text ? 20 : uint8_t(base + (title ? 40 : 0));
                    p[2] = text ? 30 : uint8_t(title ? 160 : base);
                    break;
                }
                case TestPicture::Photo: {
                    int noise = int(random() % 17) - 8;
                    auto clamp = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
                    p[0] = clamp(x * 255 / (width > 1 ? width - 1 : 1) + noise);
                    p[1] = clamp(y * 255 / (height > 1 ? height - 1 : 1) + noise);
                    p[2] = clamp(128 + ((x + y) % 64) - 32 + noise);
                    break;
                }
                case TestPicture::Noise: {
                    uint32_t r = random();
                    p[0] = uint8_t(r);
                    p[1] = uint8_t(r >> 8);
                    p[2] = uint8_t(r >> 16);
                    break;
                }
            }
        }
    }
    return rgb;
}

struct JpegEncodeOptions {
    int quality = 90;
    bool grayscale = false;
    bool full_chroma = false;  // 4:4:4 instead of libjpeg's default 4:2:0
    bool progressive = false;
    std::vector<jpeg_scan_info> scans;  // a scan script of our own, when not empty
    std::vector<std::pair<int, std::vector<uint8_t>>>
        markers;  // (marker code, contents) written after the header
};

// Encodes width x height RGB pixels (one byte per pixel when grayscale) with libjpeg.
inline std::vector<uint8_t> jpeg_encode(const uint8_t* pixels, int width, int height,
                                        const JpegEncodeOptions& options = {}) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr error;
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&cinfo, &out, &out_size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = options.grayscale ? 1 : 3;
    cinfo.in_color_space = options.grayscale ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, options.quality, TRUE);
    if (options.full_chroma && !options.grayscale) {
        cinfo.comp_info[0].h_samp_factor = 1;
        cinfo.comp_info[0].v_samp_factor = 1;
    }
    if (options.progressive) {
        jpeg_simple_progression(&cinfo);
    }
    if (!options.scans.empty()) {
        cinfo.scan_info = options.scans.data();
        cinfo.num_scans = int(options.scans.size());
    }
    jpeg_start_compress(&cinfo, TRUE);
    for (const auto& marker : options.markers) {
        jpeg_write_marker(&cinfo, marker.first, marker.second.data(), unsigned(marker.second.size()));
    }
    size_t row_bytes = size_t(width) * cinfo.input_components;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(pixels + cinfo.next_scanline * row_bytes);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> bytes(out, out + out_size);
    free(out);
    return bytes;
}

inline std::vector<uint8_t> jpeg_encode(const std::vector<uint8_t>& pixels, int width, int height,
                                        const JpegEncodeOptions& options = {}) {
    return jpeg_encode(pixels.data(), width, height, options);
}

// libjpeg decoding a whole valid file to RGB on its own, one scanline at a time; the video decoder switches
// fancy upsampling and block smoothing off.
inline std::vector<uint8_t> jpeg_reference_decode(const std::vector<uint8_t>& jpeg, bool video = false) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr error;
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), (unsigned long)jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    if (video) {
        cinfo.do_fancy_upsampling = FALSE;
        cinfo.do_block_smoothing = FALSE;
    }
    jpeg_start_decompress(&cinfo);
    std::vector<uint8_t> rgb(size_t(cinfo.output_width) * cinfo.output_height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &rgb[size_t(cinfo.output_scanline) * cinfo.output_width * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return rgb;
}

// The reference RGB turned into the client's 32-bit pixels: blue, green, red, 0 (or red first with
// back_compat).
inline std::vector<uint8_t> rgb_to_pixels32(const std::vector<uint8_t>& rgb, bool back_compat = false) {
    std::vector<uint8_t> out(rgb.size() / 3 * 4);
    for (size_t i = 0, j = 0; i < rgb.size(); i += 3, j += 4) {
        out[j + 0] = back_compat ? rgb[i] : rgb[i + 2];
        out[j + 1] = rgb[i + 1];
        out[j + 2] = back_compat ? rgb[i + 2] : rgb[i];
        out[j + 3] = 0;
    }
    return out;
}
