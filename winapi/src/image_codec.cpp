// PNG (libpng) and BMP conversions of packed device-independent bitmaps.
#include "image_codec.h"

#include "winapi/image_codec.h"
#include "winapi/winbase.h"

#include "byte_reader.h"

#include <png.h>

#include <csetjmp>
#include <cstring>

namespace winapi_internal {

namespace {

const uint32_t INFO_HEADER_BYTES = 40;
const uint32_t FILE_HEADER_BYTES = 14;
const uint16_t BMP_SIGNATURE = 0x4D42;  // "BM"
const uint32_t COMPRESSION_RGB = 0;
const uint32_t COMPRESSION_BITFIELDS = 3;
const uint32_t MAX_TABLE_ENTRIES = 256;

// Where the parts of a packed bitmap are, after every field was checked.
struct DibLayout {
    uint32_t width = 0;
    uint32_t height = 0;
    bool top_down = false;
    uint16_t bits = 0;
    bool alpha_mask = false;  // a V4/V5 header names the fourth byte as alpha
    uint64_t table_end = 0;   // header, masks and colour table: where packed rows would start
    uint64_t stride = 0;
    uint64_t rows_offset = 0;
    uint64_t rows_bytes = 0;
};

bool plain_masks(uint32_t red, uint32_t green, uint32_t blue) {
    return red == 0x00FF0000 && green == 0x0000FF00 && blue == 0x000000FF;
}

// The header at the start of data; the rows at rows_offset, or right after the table when rows_offset is 0.
bool parse_dib(const uint8_t* data, size_t size, uint64_t rows_offset, DibLayout* out) {
    ByteReader reader(data, size);
    uint32_t header_size, compression, image_size, colors_used, important;
    int32_t width, height, x_ppm, y_ppm;
    uint16_t planes, bits;
    if (!reader.u32(&header_size) || !reader.s32(&width) || !reader.s32(&height) || !reader.u16(&planes) ||
        !reader.u16(&bits) || !reader.u32(&compression) || !reader.u32(&image_size) || !reader.s32(&x_ppm) ||
        !reader.s32(&y_ppm) || !reader.u32(&colors_used) || !reader.u32(&important)) {
        return false;
    }
    // BITMAPINFOHEADER and its extensions share the first 40 bytes; V2/V3 (52/56) add masks, V4/V5 more.
    if (header_size != INFO_HEADER_BYTES && header_size != 52 && header_size != 56 && header_size != 108 &&
        header_size != 124) {
        return false;
    }
    if (planes != 1 || (bits != 24 && bits != 32) || width <= 0 || height == 0 || height == INT32_MIN) {
        return false;
    }
    DibLayout layout;
    layout.width = (uint32_t)width;
    layout.top_down = height < 0;
    layout.height = (uint32_t)(height < 0 ? -(int64_t)height : height);
    layout.bits = bits;
    if (layout.width > IMAGE_MAX_DIMENSION || layout.height > IMAGE_MAX_DIMENSION ||
        (uint64_t)layout.width * layout.height > IMAGE_MAX_PIXELS) {
        return false;
    }
    uint64_t masks_bytes = 0;
    if (compression == COMPRESSION_BITFIELDS) {
        if (bits != 32) {
            return false;
        }
        // With a 40-byte header the three masks follow it; larger headers hold them.
        uint32_t red, green, blue, alpha = 0;
        if (!reader.u32(&red) || !reader.u32(&green) || !reader.u32(&blue)) {
            return false;
        }
        if (header_size >= 56 && !reader.u32(&alpha)) {
            return false;
        }
        if (!plain_masks(red, green, blue) || (alpha != 0 && alpha != 0xFF000000)) {
            return false;
        }
        layout.alpha_mask = header_size >= 56 && alpha == 0xFF000000;
        masks_bytes = header_size == INFO_HEADER_BYTES ? 12 : 0;
    } else if (compression != COMPRESSION_RGB) {
        return false;
    }
    if (colors_used > MAX_TABLE_ENTRIES) {
        return false;
    }
    layout.table_end = (uint64_t)header_size + masks_bytes + (uint64_t)colors_used * 4;
    layout.stride = ((uint64_t)layout.width * bits + 31) / 32 * 4;
    layout.rows_bytes = layout.stride * layout.height;
    layout.rows_offset = rows_offset ? rows_offset : layout.table_end;
    if (layout.table_end > size || layout.rows_offset < layout.table_end || layout.rows_offset > size ||
        layout.rows_bytes > size - layout.rows_offset) {
        return false;
    }
    *out = layout;
    return true;
}

void put_u16(uint8_t* at, uint16_t value) {
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
}

void put_u32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        at[i] = (uint8_t)(value >> (8 * i));
    }
}

// Row y counted from the top of the picture.
const uint8_t* dib_row(const uint8_t* dib, const DibLayout& layout, uint32_t y) {
    uint32_t stored = layout.top_down ? y : layout.height - 1 - y;
    return dib + layout.rows_offset + stored * layout.stride;
}

// ---- PNG ----

void png_error_exit(png_structp png, png_const_charp) {
    longjmp(png_jmpbuf(png), 1);
}

void png_warning_ignored(png_structp, png_const_charp) {}

struct PngInput {
    const uint8_t* data;
    size_t size;
    size_t position;
};

void png_read_memory(png_structp png, png_bytep out, png_size_t count) {
    PngInput* input = (PngInput*)png_get_io_ptr(png);
    if (count > input->size - input->position) {
        png_error(png, "truncated");
    }
    memcpy(out, input->data + input->position, count);
    input->position += count;
}

void png_write_memory(png_structp png, png_bytep data, png_size_t count) {
    std::vector<uint8_t>* output = (std::vector<uint8_t>*)png_get_io_ptr(png);
    output->insert(output->end(), data, data + count);
}

void png_flush_nothing(png_structp) {}

// libpng reports errors by longjmp: no object with a destructor may live in the frames it skips, so the
// vectors are owned by the callers and only plain data lives here.
bool decode_png(png_structp png, png_infop info, PngInput* input, std::vector<uint8_t>* dib,
                std::vector<png_bytep>* rows) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_read_fn(png, input, png_read_memory);
    png_set_user_limits(png, IMAGE_MAX_DIMENSION, IMAGE_MAX_DIMENSION);
    png_read_info(png, info);
    png_uint_32 width = png_get_image_width(png, info);
    png_uint_32 height = png_get_image_height(png, info);
    if (width == 0 || height == 0 || width > IMAGE_MAX_DIMENSION || height > IMAGE_MAX_DIMENSION ||
        (uint64_t)width * height > IMAGE_MAX_PIXELS) {
        return false;
    }
    // Deflate expands at most about 1032 to 1: a stream far too short for the rows it announces is refused
    // before the image is allocated, so a few bytes cannot make us zero hundreds of megabytes.
    const uint64_t bits_per_pixel = (uint64_t)png_get_bit_depth(png, info) * png_get_channels(png, info);
    const uint64_t row_bytes = ((uint64_t)width * bits_per_pixel + 7) / 8 + 1;
    if (row_bytes * height > (uint64_t)input->size * 1032 + 1032) {
        return false;
    }
    // Everything becomes 8-bit BGRA.
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_bgr(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != (uint64_t)width * 4) {
        return false;
    }
    uint64_t stride = (uint64_t)width * 4;
    dib->assign(INFO_HEADER_BYTES + stride * height, 0);
    uint8_t* header = dib->data();
    put_u32(header, INFO_HEADER_BYTES);
    put_u32(header + 4, width);
    put_u32(header + 8, height);  // bottom-up
    put_u16(header + 12, 1);
    put_u16(header + 14, 32);
    put_u32(header + 16, COMPRESSION_RGB);
    put_u32(header + 20, (uint32_t)(stride * height));
    rows->resize(height);
    for (png_uint_32 y = 0; y < height; y++) {
        (*rows)[y] = header + INFO_HEADER_BYTES + (height - 1 - y) * stride;
    }
    png_read_image(png, rows->data());
    png_read_end(png, nullptr);
    return true;
}

bool encode_png(png_structp png, png_infop info, const uint8_t* dib, const DibLayout* layout, bool alpha,
                std::vector<uint8_t>* output) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_write_fn(png, output, png_write_memory, png_flush_nothing);
    png_set_IHDR(png, info, layout->width, layout->height, 8,
                 alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    if (!alpha && layout->bits == 32) {
        png_set_filler(png, 0, PNG_FILLER_AFTER);  // drops the fourth byte
    }
    for (uint32_t y = 0; y < layout->height; y++) {
        png_write_row(png, (png_const_bytep)dib_row(dib, *layout, y));
    }
    png_write_end(png, nullptr);
    return true;
}

// A 32-bit bitmap whose fourth bytes are all zero is plain BGRX, not a transparent picture.
bool uses_alpha(const uint8_t* dib, const DibLayout& layout) {
    if (layout.bits != 32) {
        return false;
    }
    if (layout.alpha_mask) {
        return true;
    }
    for (uint32_t y = 0; y < layout.height; y++) {
        const uint8_t* row = dib_row(dib, layout, y);
        for (uint32_t x = 0; x < layout.width; x++) {
            if (row[x * 4 + 3] != 0) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

bool image_png_to_dib(const uint8_t* data, size_t size, std::vector<uint8_t>* dib) {
    if (!data || size < 8 || png_sig_cmp((png_const_bytep)data, 0, 8) != 0) {
        return false;
    }
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_error_exit, png_warning_ignored);
    if (!png) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    PngInput input{data, size, 0};
    std::vector<uint8_t> result;
    std::vector<png_bytep> rows;
    bool ok = info && decode_png(png, info, &input, &result, &rows);
    png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    if (ok) {
        dib->swap(result);
    }
    return ok;
}

bool image_dib_to_png(const uint8_t* dib, size_t size, std::vector<uint8_t>* output) {
    DibLayout layout;
    if (!dib || !parse_dib(dib, size, 0, &layout)) {
        return false;
    }
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_error_exit, png_warning_ignored);
    if (!png) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    std::vector<uint8_t> result;
    bool ok = info && encode_png(png, info, dib, &layout, uses_alpha(dib, layout), &result);
    png_destroy_write_struct(&png, info ? &info : nullptr);
    if (ok) {
        output->swap(result);
    }
    return ok;
}

bool image_bmp_to_dib(const uint8_t* data, size_t size, std::vector<uint8_t>* dib) {
    ByteReader reader(data, size);
    uint16_t signature, reserved1, reserved2;
    uint32_t file_size, rows_offset;
    if (!data || !reader.u16(&signature) || signature != BMP_SIGNATURE || !reader.u32(&file_size) ||
        !reader.u16(&reserved1) || !reader.u16(&reserved2) || !reader.u32(&rows_offset)) {
        return false;
    }
    DibLayout layout;
    if (rows_offset < FILE_HEADER_BYTES || !parse_dib(data + FILE_HEADER_BYTES, size - FILE_HEADER_BYTES,
                                                      rows_offset - FILE_HEADER_BYTES, &layout)) {
        return false;
    }
    const uint8_t* start = data + FILE_HEADER_BYTES;
    std::vector<uint8_t> result(start, start + layout.table_end);
    result.insert(result.end(), start + layout.rows_offset, start + layout.rows_offset + layout.rows_bytes);
    dib->swap(result);
    return true;
}

bool image_dib_to_bmp(const uint8_t* dib, size_t size, std::vector<uint8_t>* bmp) {
    DibLayout layout;
    if (!dib || !parse_dib(dib, size, 0, &layout)) {
        return false;
    }
    uint64_t packed = layout.table_end + layout.rows_bytes;
    uint64_t file_size = FILE_HEADER_BYTES + packed;
    if (file_size > UINT32_MAX) {
        return false;
    }
    std::vector<uint8_t> result(FILE_HEADER_BYTES);
    put_u16(&result[0], BMP_SIGNATURE);
    put_u32(&result[2], (uint32_t)file_size);
    put_u32(&result[10], (uint32_t)(FILE_HEADER_BYTES + layout.table_end));
    result.insert(result.end(), dib, dib + packed);
    bmp->swap(result);
    return true;
}

}  // namespace winapi_internal

HGLOBAL image_codec_decode_to_dib(const BYTE* data, SIZE_T size, UINT format) {
    std::vector<uint8_t> dib;
    bool ok = format == IMAGE_CODEC_PNG   ? winapi_internal::image_png_to_dib(data, size, &dib)
              : format == IMAGE_CODEC_BMP ? winapi_internal::image_bmp_to_dib(data, size, &dib)
                                          : false;
    if (!ok) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, dib.size());
    if (!block) {
        return nullptr;
    }
    memcpy(GlobalLock(block), dib.data(), dib.size());
    GlobalUnlock(block);
    return block;
}
