// The GDI object table, bitmaps' storage, stock objects, DeleteObject, GetObjectW and GetBitmapBits.
#include "gdi_objects.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace winapi_internal {

namespace {

const uint32_t FIRST_HANDLE = 0x10000;
const uint32_t HANDLE_STEP = 4;
// Larger bitmaps are refused rather than allocated.
const uint64_t MAX_BITMAP_BYTES = 1ull << 30;

std::mutex table_mutex;
std::unordered_map<uint32_t, std::shared_ptr<GdiObject>> table;  // guarded by table_mutex
uint32_t next_handle = FIRST_HANDLE;                             // guarded by table_mutex

pixman_format_code_t pixman_format_of(PixelLayout layout) {
    switch (layout) {
        case PixelLayout::ARGB32:
            return PIXMAN_a8r8g8b8;
        case PixelLayout::RGB555:
            return PIXMAN_x1r5g5b5;
        case PixelLayout::RGB565:
            return PIXMAN_r5g6b5;
        default:
            return (pixman_format_code_t)0;
    }
}

struct StockObjects {
    HGDIOBJ brushes[NULL_BRUSH + 1];
    HGDIOBJ pens[2];  // BLACK_PEN, NULL_PEN
    HGDIOBJ default_bitmap;

    StockObjects() {
        static const COLORREF colors[] = {0xFFFFFF, 0xC0C0C0, 0x808080, 0x404040, 0x000000, 0x000000};
        for (int i = 0; i <= NULL_BRUSH; i++) {
            brushes[i] = gdi_insert(std::make_shared<Brush>(colors[i], i == NULL_BRUSH));
        }
        for (int i = 0; i < 2; i++) {
            auto pen = std::make_shared<Pen>();
            pen->style = i ? PS_NULL : PS_SOLID;
            pens[i] = gdi_insert(pen);
        }
        auto bitmap = std::make_shared<Bitmap>(1, 1, PixelLayout::MONO, false, true);
        bitmap->data[0] = 0x80;  // white, as Windows' default bitmap reads back
        default_bitmap = gdi_insert(bitmap);
    }
};

StockObjects& stock() {
    static StockObjects objects;
    return objects;
}

}  // namespace

int layout_bits(PixelLayout layout) {
    switch (layout) {
        case PixelLayout::ARGB32:
            return 32;
        case PixelLayout::RGB24:
            return 24;
        case PixelLayout::MONO:
            return 1;
        case PixelLayout::INDEX8:
            return 8;
        default:
            return 16;
    }
}

Bitmap::Bitmap(LONG width, LONG height, PixelLayout layout, bool dib, bool top_down)
    : width(width), height(height), layout(layout), dib(dib), top_down(top_down) {
    if (width <= 0 || height <= 0) {
        return;
    }
    uint64_t bits = (uint64_t)width * (uint64_t)layout_bits(layout);
    // Device-dependent rows are padded to 16 bits, DIB rows to 32.
    uint64_t row_bytes = dib || layout != PixelLayout::MONO ? (bits + 31) / 32 * 4 : (bits + 15) / 16 * 2;
    if (row_bytes * (uint64_t)height > MAX_BITMAP_BYTES) {
        return;
    }
    stride = (LONG)row_bytes;
    data = (uint8_t*)calloc((size_t)height, (size_t)stride);
    if (!data) {
        return;
    }
    pixman_format_code_t format = pixman_format_of(layout);
    if (format) {
        uint8_t* first = top_down ? data : data + (size_t)(height - 1) * (size_t)stride;
        image =
            pixman_image_create_bits(format, width, height, (uint32_t*)first, top_down ? stride : -stride);
    }
}

Bitmap::~Bitmap() {
    if (image) {
        pixman_image_unref(image);
    }
    free(data);
}

Surface surface_of(const Bitmap& bitmap) {
    Surface s;
    if (!bitmap.ok()) {
        return s;
    }
    s.top = bitmap.row(0);
    s.step = bitmap.top_down ? bitmap.stride : -(ptrdiff_t)bitmap.stride;
    s.width = bitmap.width;
    s.height = bitmap.height;
    s.layout = bitmap.layout;
    s.has_alpha = bitmap.layout == PixelLayout::ARGB32;
    if (bitmap.dib && (bitmap.layout == PixelLayout::MONO || bitmap.layout == PixelLayout::INDEX8)) {
        s.table = bitmap.colors;
    }
    return s;
}

Surface DeviceContext::surface() const {
    Surface s;
    if (external) {
        s.top = (uint8_t*)pixman_image_get_data(external);
        s.step = pixman_image_get_stride(external);
        s.width = pixman_image_get_width(external);
        s.height = pixman_image_get_height(external);
        switch (pixman_image_get_format(external)) {
            case PIXMAN_a8r8g8b8:
                s.has_alpha = true;
                s.layout = PixelLayout::ARGB32;
                break;
            case PIXMAN_r5g6b5:
                s.layout = PixelLayout::RGB565;
                break;
            case PIXMAN_x1r5g5b5:
                s.layout = PixelLayout::RGB555;
                break;
            default:
                s.layout = PixelLayout::ARGB32;
                break;
        }
        return s;
    }
    return bitmap ? surface_of(*bitmap) : s;
}

HGDIOBJ gdi_insert(std::shared_ptr<GdiObject> object) {
    std::lock_guard<std::mutex> lock(table_mutex);
    // Handles are not reused until the 32-bit counter wraps; then the free ones are.
    for (uint64_t tries = 0; tries < (1ull << 30); tries++) {
        uint32_t handle = next_handle;
        next_handle = next_handle > UINT32_MAX - HANDLE_STEP ? FIRST_HANDLE : next_handle + HANDLE_STEP;
        if (table.emplace(handle, object).second) {
            return (HGDIOBJ)(uintptr_t)handle;
        }
    }
    return nullptr;
}

std::shared_ptr<GdiObject> gdi_lookup(HGDIOBJ handle) {
    std::lock_guard<std::mutex> lock(table_mutex);
    auto it = table.find((uint32_t)(uintptr_t)handle);
    if ((uintptr_t)handle > UINT32_MAX || it == table.end()) {
        return nullptr;
    }
    return it->second;
}

bool gdi_remove(HGDIOBJ handle) {
    std::shared_ptr<GdiObject> removed;  // destroyed after the lock is released
    std::lock_guard<std::mutex> lock(table_mutex);
    if ((uintptr_t)handle > UINT32_MAX) {
        return false;
    }
    auto it = table.find((uint32_t)(uintptr_t)handle);
    if (it == table.end()) {
        return false;
    }
    removed = std::move(it->second);
    table.erase(it);
    return true;
}

bool gdi_is_stock(HGDIOBJ handle) {
    StockObjects& objects = stock();
    if (handle == objects.default_bitmap) {
        return true;
    }
    for (HGDIOBJ brush : objects.brushes) {
        if (handle == brush) {
            return true;
        }
    }
    return handle == objects.pens[0] || handle == objects.pens[1];
}

HGDIOBJ gdi_default_bitmap() {
    return stock().default_bitmap;
}

}  // namespace winapi_internal

using namespace winapi_internal;

HGDIOBJ WINAPI GetStockObject(int index) {
    if (index == BLACK_PEN || index == NULL_PEN) {
        return stock().pens[index - BLACK_PEN];
    }
    if (index < 0 || index > NULL_BRUSH) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return stock().brushes[index];
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
    if (gdi_is_stock(object)) {
        return TRUE;
    }
    std::shared_ptr<GdiObject> found = gdi_lookup(object);
    if (!found || found->object_type() == OBJ_DC || found->object_type() == OBJ_MEMDC) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto bitmap = std::dynamic_pointer_cast<Bitmap>(found);
    if (bitmap && bitmap->selected_in.load()) {
        // Deleting it would pull the pixels from under the DC that draws into them.
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return gdi_remove(object) ? TRUE : FALSE;
}

int WINAPI GetObjectW(HGDIOBJ object, int size, LPVOID buffer) {
    std::shared_ptr<Bitmap> bitmap = gdi_lookup_as<Bitmap>(object);
    if (!bitmap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    int wanted =
        bitmap->dib && size >= (int)sizeof(DIBSECTION) ? (int)sizeof(DIBSECTION) : (int)sizeof(BITMAP);
    if (!buffer) {
        return wanted;
    }
    if (size < (int)sizeof(BITMAP)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DIBSECTION info;
    memset(&info, 0, sizeof(info));
    info.dsBm.bmWidth = bitmap->width;
    info.dsBm.bmHeight = bitmap->height;
    info.dsBm.bmWidthBytes = bitmap->stride;
    info.dsBm.bmPlanes = 1;
    info.dsBm.bmBitsPixel = (WORD)layout_bits(bitmap->layout);
    if (bitmap->dib) {
        info.dsBm.bmBits = bitmap->data;
        info.dsBmih.biSize = sizeof(BITMAPINFOHEADER);
        info.dsBmih.biWidth = bitmap->width;
        info.dsBmih.biHeight = bitmap->top_down ? -bitmap->height : bitmap->height;
        info.dsBmih.biPlanes = 1;
        info.dsBmih.biBitCount = info.dsBm.bmBitsPixel;
        info.dsBmih.biCompression = bitmap->layout == PixelLayout::RGB565 ? BI_BITFIELDS : BI_RGB;
        info.dsBmih.biSizeImage = (DWORD)bitmap->stride * (DWORD)bitmap->height;
        memcpy(info.dsBitfields, bitmap->masks, sizeof(info.dsBitfields));
    }
    memcpy(buffer, &info, (size_t)wanted);
    return wanted;
}

LONG WINAPI GetBitmapBits(HBITMAP handle, LONG count, LPVOID bits) {
    std::shared_ptr<Bitmap> bitmap = gdi_lookup_as<Bitmap>(handle);
    if (!bitmap || !bitmap->ok() || count < 0 || (!bits && count > 0)) {
        SetLastError(bitmap ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return 0;
    }
    uint64_t total = (uint64_t)bitmap->stride * (uint64_t)bitmap->height;
    uint64_t copied = (uint64_t)count < total ? (uint64_t)count : total;
    uint8_t* out = (uint8_t*)bits;
    for (uint64_t done = 0, y = 0; done < copied; y++) {
        uint64_t part = copied - done < (uint64_t)bitmap->stride ? copied - done : (uint64_t)bitmap->stride;
        memcpy(out + done, bitmap->row((LONG)y), (size_t)part);
        done += part;
    }
    return (LONG)copied;
}
