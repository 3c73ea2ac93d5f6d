// LoadImageA of a .bmp file, and LoadImageW of the program's bitmap resources, which the program ships as
// .bmp files beside itself. The file is untrusted: every size and offset is checked against the bytes
// present before anything is read or allocated.
#include "winapi/wingdi.h"
#include "winapi/libloaderapi.h"

#include "byte_reader.h"
#include "files_internal.h"
#include "gdi_objects.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <cstring>

namespace winapi_internal {

namespace {

const uint64_t MAX_FILE_BYTES = 64ull << 20;
const uint64_t MAX_PIXELS = 64ull << 20;
const uint16_t BMP_SIGNATURE = 0x4D42;  // "BM"
const uint32_t FILE_HEADER_BYTES = 14;
const uint32_t INFO_HEADER_BYTES = 40;

struct BmpInfo {
    int32_t width = 0;
    int32_t height = 0;
    uint16_t bits = 0;
    uint32_t compression = 0;
    uint32_t colors_used = 0;
};

// The colour masks must be those of plain 32-bit BGRX, the only bit-field layout accepted.
bool standard_masks(ByteReader& reader) {
    uint32_t red, green, blue;
    return reader.u32(&red) && reader.u32(&green) && reader.u32(&blue) && red == 0x00FF0000 &&
           green == 0x0000FF00 && blue == 0x000000FF;
}

// The image as a 32-bit bitmap; with as_dib, a bottom-up DIB section of 24 bits for a 24-bit file and 32 bits
// otherwise.
std::shared_ptr<Bitmap> parse_bmp(const uint8_t* data, size_t size, bool as_dib) {
    ByteReader reader(data, size);
    uint16_t signature, reserved1, reserved2;
    uint32_t file_size, pixel_offset, header_size;
    if (!reader.u16(&signature) || signature != BMP_SIGNATURE || !reader.u32(&file_size) ||
        !reader.u16(&reserved1) || !reader.u16(&reserved2) || !reader.u32(&pixel_offset) ||
        !reader.u32(&header_size)) {
        return nullptr;
    }
    // BITMAPINFOHEADER and its later extensions (52, 56, 108, 124 bytes) share the first 40 bytes.
    if (header_size != INFO_HEADER_BYTES && header_size != 52 && header_size != 56 && header_size != 108 &&
        header_size != 124) {
        return nullptr;
    }
    BmpInfo info;
    uint16_t planes;
    uint32_t image_size, important;
    int32_t x_ppm, y_ppm;
    if (!reader.s32(&info.width) || !reader.s32(&info.height) || !reader.u16(&planes) ||
        !reader.u16(&info.bits) || !reader.u32(&info.compression) || !reader.u32(&image_size) ||
        !reader.s32(&x_ppm) || !reader.s32(&y_ppm) || !reader.u32(&info.colors_used) ||
        !reader.u32(&important)) {
        return nullptr;
    }
    if (planes != 1 || info.width <= 0 || info.height == 0 || info.height == INT32_MIN) {
        return nullptr;
    }
    uint64_t width = (uint64_t)info.width;
    uint64_t rows = info.height < 0 ? (uint64_t)(-(int64_t)info.height) : (uint64_t)info.height;
    if (width * rows > MAX_PIXELS) {
        return nullptr;
    }
    bool bitfields = info.compression == BI_BITFIELDS;
    if (!(info.compression == BI_RGB && (info.bits == 8 || info.bits == 24 || info.bits == 32)) &&
        !(bitfields && info.bits == 32)) {
        return nullptr;
    }
    // Masks follow a 40-byte header, or sit in the longer headers at the same place.
    uint64_t table_offset = FILE_HEADER_BYTES + header_size;
    if (bitfields) {
        if (!reader.seek(FILE_HEADER_BYTES + INFO_HEADER_BYTES) || !standard_masks(reader)) {
            return nullptr;
        }
        if (header_size == INFO_HEADER_BYTES) {
            table_offset += 12;
        }
    }
    uint32_t palette[256] = {};
    uint64_t colors = 0;
    if (info.bits == 8) {
        colors = info.colors_used == 0 ? 256 : info.colors_used;
        if (colors > 256 || !reader.seek(table_offset)) {
            return nullptr;
        }
        for (uint64_t i = 0; i < colors; i++) {
            uint8_t blue, green, red, unused;
            if (!reader.u8(&blue) || !reader.u8(&green) || !reader.u8(&red) || !reader.u8(&unused)) {
                return nullptr;
            }
            palette[i] = (uint32_t)red << 16 | (uint32_t)green << 8 | blue;
        }
    }
    uint64_t stride = (width * info.bits + 31) / 32 * 4;
    const uint8_t* bits;
    if (pixel_offset < table_offset + colors * 4 || !reader.seek(pixel_offset) ||
        !reader.bytes(stride * rows, &bits)) {
        return nullptr;
    }

    PixelLayout layout = as_dib && info.bits == 24 ? PixelLayout::RGB24 : PixelLayout::ARGB32;
    auto bitmap = std::make_shared<Bitmap>((LONG)width, (LONG)rows, layout, as_dib, !as_dib);
    if (!bitmap->ok()) {
        return nullptr;
    }
    if (layout == PixelLayout::RGB24) {
        for (uint64_t y = 0; y < rows; y++) {
            memcpy(bitmap->row((LONG)y), bits + stride * (info.height < 0 ? y : rows - 1 - y),
                   (size_t)width * 3);
        }
        return bitmap;
    }
    bool top_down = info.height < 0;
    for (uint64_t y = 0; y < rows; y++) {
        const uint8_t* source = bits + stride * (top_down ? y : rows - 1 - y);
        uint32_t* target = bitmap->row32((LONG)y);
        for (uint64_t x = 0; x < width; x++) {
            switch (info.bits) {
                case 8:
                    // An index beyond the colour table is black.
                    target[x] = source[x] < colors ? palette[source[x]] : 0;
                    break;
                case 24:
                    target[x] =
                        (uint32_t)source[3 * x + 2] << 16 | (uint32_t)source[3 * x + 1] << 8 | source[3 * x];
                    break;
                default:
                    target[x] = (uint32_t)source[4 * x + 3] << 24 | (uint32_t)source[4 * x + 2] << 16 |
                                (uint32_t)source[4 * x + 1] << 8 | source[4 * x];
                    break;
            }
        }
    }
    return bitmap;
}

// Bitmap resource n of the program is the file bitmap<n>.bmp in the folder named by KTW_RESOURCE_DIR, or else
// in "resources" beside the program.
std::string resource_path(WORD id) {
    std::string folder;
    const char* given = getenv("KTW_RESOURCE_DIR");
    if (given && *given) {
        folder = given;
    } else {
        char exe[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        if (n <= 0) {
            return std::string();
        }
        std::string program(exe, (size_t)n);
        folder = program.substr(0, program.rfind('/')) + "/resources";
    }
    return folder + "/bitmap" + std::to_string(id) + ".bmp";
}

HANDLE load_bitmap_file(const std::string& path, UINT flags) {
    std::vector<uint8_t> contents;
    if (path.empty() || !read_whole_file(path, MAX_FILE_BYTES, contents)) {
        SetLastError(path.empty() || errno != EFBIG ? error_from_errno(errno) : ERROR_INVALID_DATA);
        return nullptr;
    }
    std::shared_ptr<Bitmap> bitmap =
        parse_bmp(contents.data(), contents.size(), (flags & LR_CREATEDIBSECTION) != 0);
    if (!bitmap) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    HANDLE handle = (HANDLE)gdi_insert(bitmap);
    if (!handle) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}

const UINT SUPPORTED_FLAGS =
    LR_LOADFROMFILE | LR_DEFAULTCOLOR | LR_DEFAULTSIZE | LR_CREATEDIBSECTION | LR_SHARED;

}  // namespace

}  // namespace winapi_internal

using namespace winapi_internal;

HANDLE WINAPI LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int width, int height, UINT flags) {
    if ((instance && instance != (HINSTANCE)GetModuleHandleW(nullptr)) || !IS_INTRESOURCE(name) ||
        type != IMAGE_BITMAP || width != 0 || height != 0 || (flags & LR_LOADFROMFILE) ||
        (flags & ~SUPPORTED_FLAGS)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    HANDLE handle = load_bitmap_file(resource_path((WORD)(ULONG_PTR)name), flags);
    if (!handle) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    }
    return handle;
}

HANDLE WINAPI LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int width, int height, UINT flags) {
    if (instance || !name || IS_INTRESOURCE(name) || type != IMAGE_BITMAP || width != 0 || height != 0 ||
        !(flags & LR_LOADFROMFILE) || (flags & ~SUPPORTED_FLAGS)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return load_bitmap_file(native_path_ansi(name), flags);
}
