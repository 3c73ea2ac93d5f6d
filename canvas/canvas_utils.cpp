// Canvas surfaces: pixman images over DIB sections or heap memory, with their user-data records.
#include "canvas/canvas_utils.h"

#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "runtime/log.h"
#include "runtime/peer_check.h"

namespace {

// Images larger than pixman can address are refused before anything is allocated.
const uint64_t MAX_SURFACE_BYTES = INT32_MAX;

// Several display channels create and release surfaces at once, so the count and its limit are kept with one
// atomic step: a slot is taken before the DIB is made and given back when it is not.
std::atomic<int> live_dibs{0};

bool take_dib_slot() {
    if (live_dibs.fetch_add(1) < SURFACE_MAX_DIBS) {
        return true;
    }
    live_dibs.fetch_sub(1);
    return false;
}

void release_pixman_data(pixman_image_t* image, void* info) {
    PixmanData* data = (PixmanData*)info;
    if (data->bitmap) {
        DeleteObject(data->bitmap);
        CloseHandle(data->mutex);
        live_dibs.fetch_sub(1);
    }
    free(data->data);
    free(data);
}

// Row bytes of a surface format, 0 for another format.
int64_t format_stride(pixman_format_code_t format, int width) {
    switch (format) {
        case PIXMAN_a1:
            return (((int64_t)width + 31) >> 5) * 4;
        case PIXMAN_a8:
            return ((int64_t)width + 3) & ~(int64_t)3;
        case PIXMAN_x1r5g5b5:
        case PIXMAN_r5g6b5:
            return (2 * (int64_t)width + 3) & ~(int64_t)3;
        case PIXMAN_x8r8g8b8:
        case PIXMAN_a8r8g8b8:
            return 4 * (int64_t)width;
        default:
            return 0;
    }
}

WORD format_bits(pixman_format_code_t format) {
    switch (format) {
        case PIXMAN_a1:
            return 1;
        case PIXMAN_a8:
            return 8;
        case PIXMAN_x1r5g5b5:
        case PIXMAN_r5g6b5:
            return 16;
        default:
            return 32;
    }
}

pixman_image_t* dib_surface_create(HDC dc, pixman_format_code_t format, int width, int height, int64_t stride,
                                   int top_down) {
    union {
        BITMAPINFO info;
        uint8_t bytes[sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD)];
    } block;
    memset(&block, 0, sizeof(block));
    block.info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    block.info.bmiHeader.biWidth = width;
    block.info.bmiHeader.biHeight = top_down ? -height : height;
    block.info.bmiHeader.biPlanes = 1;
    block.info.bmiHeader.biBitCount = format_bits(format);
    block.info.bmiHeader.biCompression = BI_RGB;
    if (format == PIXMAN_r5g6b5) {
        // A 16-bit DIB is x1r5g5b5 unless its masks say otherwise.
        block.info.bmiHeader.biCompression = BI_BITFIELDS;
        const DWORD masks[3] = {0xF800, 0x07E0, 0x001F};
        memcpy(block.info.bmiColors, masks, sizeof(masks));
    }

    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    if (!mutex) {
        spice_error("Unable to CreateMutex");
        return nullptr;
    }
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &block.info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap) {
        CloseHandle(mutex);
        spice_error("Unable to CreateDIBSection");
        return nullptr;
    }
    uint8_t* first = top_down ? (uint8_t*)bits : (uint8_t*)bits + stride * (height - 1);
    pixman_image_t* image =
        pixman_image_create_bits(format, width, height, (uint32_t*)first, (int)(top_down ? stride : -stride));
    PixmanData* data = image ? pixman_image_add_data(image) : nullptr;
    if (!data) {
        if (image) {
            pixman_image_unref(image);
        }
        DeleteObject(bitmap);
        CloseHandle(mutex);
        spice_error("create surface failed, out of memory");
        return nullptr;
    }
    data->bitmap = bitmap;
    data->mutex = mutex;
    data->format = format;
    return image;
}

}  // namespace

int surface_dib_count() {
    return live_dibs.load();
}

PixmanData* pixman_image_add_data(pixman_image_t* image) {
    PixmanData* data = (PixmanData*)pixman_image_get_destroy_data(image);
    if (data) {
        return data;
    }
    data = (PixmanData*)calloc(1, sizeof(PixmanData));
    if (!data) {
        spice_error("out of memory");
        return nullptr;
    }
    pixman_image_set_destroy_function(image, release_pixman_data, data);
    return data;
}

int spice_pixman_image_get_format(pixman_image_t* image, pixman_format_code_t* format) {
    spice_return_val_if_fail(format != NULL, 0);
    PixmanData* data = (PixmanData*)pixman_image_get_destroy_data(image);
    if (data && data->format) {
        *format = data->format;
        return 1;
    }
    spice_warn_if_reached();
    return 0;
}

pixman_image_t* surface_create_stride(pixman_format_code_t format, int width, int height, int stride) {
    uint64_t row_bytes = stride < 0 ? (uint64_t)(-(int64_t)stride) : (uint64_t)stride;
    if (width <= 0 || height <= 0 || row_bytes == 0 || row_bytes * (uint64_t)height > MAX_SURFACE_BYTES) {
        spice_error("create surface failed, out of memory");
        return nullptr;
    }
    uint8_t* block = (uint8_t*)calloc((size_t)height, (size_t)row_bytes);
    uint8_t* first = block && stride < 0 ? block + row_bytes * (uint64_t)(height - 1) : block;
    pixman_image_t* image =
        block ? pixman_image_create_bits(format, width, height, (uint32_t*)first, stride) : nullptr;
    PixmanData* data = image ? pixman_image_add_data(image) : nullptr;
    if (!data) {
        if (image) {
            pixman_image_unref(image);
        }
        free(block);
        spice_error("create surface failed, out of memory");
        return nullptr;
    }
    data->data = block;
    data->format = format;
    return image;
}

pixman_image_t* surface_create(HDC dc, pixman_format_code_t format, int width, int height, int top_down) {
    int64_t stride = format_stride(format, width);
    if (width <= 0 || height <= 0 || (uint64_t)stride * (uint64_t)height > MAX_SURFACE_BYTES) {
        spice_error("create surface failed, out of memory");
        return nullptr;
    }
    if (dc && take_dib_slot()) {
        pixman_image_t* image = nullptr;
        if (stride == 0) {
            spice_error("invalid format");
        } else {
            image = dib_surface_create(dc, format, width, height, stride, top_down);
        }
        if (!image) {
            live_dibs.fetch_sub(1);
        }
        return image;
    }
    if (top_down) {
        pixman_image_t* image = pixman_image_create_bits(format, width, height, nullptr, 0);
        PixmanData* data = image ? pixman_image_add_data(image) : nullptr;
        if (!data) {
            if (image) {
                pixman_image_unref(image);
            }
            spice_error("create surface failed, out of memory");
            return nullptr;
        }
        data->format = format;
        return image;
    }
    if (stride == 0) {
        spice_error("invalid format");
        return nullptr;
    }
    return surface_create_stride(format, width, height, (int)-stride);
}

pixman_image_t* lz_output_surface_create(LzDecodeUsrData* data, pixman_format_code_t format, int width,
                                         int height, int gross_pixels, int top_down) {
    if (width <= 0 || height <= 0 || gross_pixels < 0) {
        spice_error("create surface failed, out of memory");
        return nullptr;
    }
    int64_t row_bytes =
        ((int64_t)(gross_pixels / height) * (PIXMAN_FORMAT_BPP(format) / 8) + 3) & ~(int64_t)3;
    if (row_bytes > INT32_MAX) {
        spice_error("create surface failed, out of memory");
        return nullptr;
    }
    int stride = (int)(top_down ? row_bytes : -row_bytes);
    pixman_image_t* image;
    if (data->dc && (int64_t)width * 4 == row_bytes) {
        image = surface_create(data->dc, format, width, height, stride > 0);
    } else {
        image = surface_create_stride(format, width, height, stride);
    }
    data->out_surface = image;
    return image;
}

namespace {

constexpr int64_t CACHE_SURFACE_MAX_SIDE = 0x7FFF;
constexpr int64_t CACHE_SURFACE_MAX_PIXELS = int64_t(1) << 24;

}  // namespace

bool cache_build_surface(const SpiceMsgDisplayDrawCacheBuild* build, pixman_format_code_t* format_out,
                         int* width_out, int* height_out) {
    pixman_format_code_t format;
    switch (build->format) {
        case SPICE_BITMAP_FMT_16BIT:
            format = PIXMAN_x1r5g5b5;
            break;
        case SPICE_BITMAP_FMT_24BIT:
        case SPICE_BITMAP_FMT_32BIT:
            format = PIXMAN_x8r8g8b8;
            break;
        case SPICE_BITMAP_FMT_RGBA:
            format = PIXMAN_a8r8g8b8;
            break;
        case SPICE_BITMAP_FMT_8BIT_A:
            format = PIXMAN_a8;
            break;
        default:
            peer_warning("cache surface format %u", build->format);
            return false;
    }
    const int64_t width = int64_t(build->area.right) - build->area.left;
    const int64_t height = int64_t(build->area.bottom) - build->area.top;
    if (width <= 0 || height <= 0 || width > CACHE_SURFACE_MAX_SIDE || height > CACHE_SURFACE_MAX_SIDE ||
        width * height > CACHE_SURFACE_MAX_PIXELS) {
        peer_warning("cache surface size %" PRId64 "x%" PRId64, width, height);
        return false;
    }
    *format_out = format;
    *width_out = int(width);
    *height_out = int(height);
    return true;
}
