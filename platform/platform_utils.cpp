#include "platform/platform_utils.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "runtime/exception.h"

HDC create_compatible_dc() {
    HDC dc = CreateCompatibleDC(NULL);
    if (!dc) {
        THROW("create compatible DC failed");
    }
    return dc;
}

void release_dc(HDC* holder) {
    if (*holder) {
        DeleteDC(*holder);
        *holder = NULL;
    }
}

void delete_gdi_object(HGDIOBJ* holder) {
    if (*holder) {
        DeleteObject(*holder);
        *holder = NULL;
    }
}

namespace {

// Premultiplies one colour byte; round-half-even as the conversion has always done.
uint8_t premultiply(uint8_t color, uint8_t alpha) {
    return (uint8_t)std::nearbyint((double)color * alpha / 255.0);
}

}  // namespace

HBITMAP get_alpha_bitmap_res(int id) {
    HBITMAP loaded = (HBITMAP)LoadImageW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0,
                                         LR_CREATEDIBSECTION | LR_SHARED);
    if (!loaded) {
        THROW("get alpha bitmap #%d failed", id);
    }
    HGDIOBJ loaded_object = loaded;
    BITMAP info;
    if (GetObjectW(loaded, sizeof(info), &info) != (int)sizeof(info) || info.bmBitsPixel != 32 ||
        info.bmPlanes != 1 || info.bmWidth <= 0 || info.bmHeight <= 0) {
        delete_gdi_object(&loaded_object);
        THROW("invalid format #%d ", id);
    }
    uint64_t row_bytes = (uint64_t)info.bmWidthBytes;
    uint64_t total = row_bytes * (uint64_t)info.bmHeight;
    if (row_bytes < (uint64_t)info.bmWidth * 4 || total > INT32_MAX) {
        delete_gdi_object(&loaded_object);
        THROW("invalid format #%d ", id);
    }
    std::vector<uint8_t> source((size_t)total);
    if ((uint64_t)GetBitmapBits(loaded, (LONG)total, source.data()) != total) {
        DWORD error = GetLastError();
        delete_gdi_object(&loaded_object);
        THROW("get vitmap bits failed, %u", (unsigned)error);
    }
    delete_gdi_object(&loaded_object);

    HDC dc = create_compatible_dc();
    BITMAPINFO header;
    memset(&header, 0, sizeof(header));
    header.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    header.bmiHeader.biWidth = info.bmWidth;
    header.bmiHeader.biHeight = -info.bmHeight;
    header.bmiHeader.biPlanes = 1;
    header.bmiHeader.biBitCount = 32;
    header.bmiHeader.biCompression = BI_RGB;
    void* bits = NULL;
    HBITMAP result = CreateDIBSection(dc, &header, DIB_RGB_COLORS, &bits, NULL, 0);
    if (!result) {
        DWORD error = GetLastError();
        release_dc(&dc);
        THROW("create bitmap failed, %u", (unsigned)error);
    }
    uint8_t* dest = (uint8_t*)bits;
    for (LONG y = 0; y < info.bmHeight; y++) {
        const uint8_t* in = source.data() + row_bytes * (uint64_t)y;
        uint8_t* out = dest + (size_t)info.bmWidth * 4 * (size_t)y;
        for (LONG x = 0; x < info.bmWidth; x++, in += 4, out += 4) {
            uint8_t alpha = in[3];
            out[0] = premultiply(in[0], alpha);
            out[1] = premultiply(in[1], alpha);
            out[2] = premultiply(in[2], alpha);
            out[3] = alpha;
        }
    }
    release_dc(&dc);
    return result;
}
