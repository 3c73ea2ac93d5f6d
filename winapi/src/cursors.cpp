// Cursor and icon objects: creation from bitmaps or planes, the shared system cursors, destruction.
#include <X11/cursorfont.h>

#include <map>
#include <mutex>

#include "cursor_internal.h"
#include "gdi_objects.h"

namespace winapi_internal {

namespace {

std::mutex cursor_table_lock;
std::map<uintptr_t, std::shared_ptr<CursorObject>>& cursor_table() {  // guarded by cursor_table_lock
    static std::map<uintptr_t, std::shared_ptr<CursorObject>> table;
    return table;
}
uintptr_t next_cursor_handle = 0x30000;  // guarded by cursor_table_lock; USER handles fit in 32 bits

HCURSOR cursor_insert(std::shared_ptr<CursorObject> object) {
    std::lock_guard<std::mutex> guard(cursor_table_lock);
    uintptr_t handle = next_cursor_handle;
    next_cursor_handle += 4;
    cursor_table()[handle] = std::move(object);
    return reinterpret_cast<HCURSOR>(handle);
}

uint32_t expand5(uint32_t v) {
    return (v << 3) | (v >> 2);
}
uint32_t expand6(uint32_t v) {
    return (v << 2) | (v >> 4);
}

// A pixel of any bitmap layout as 0xAARRGGBB (the alpha byte as stored for 32-bit bitmaps, else 0).
uint32_t bitmap_pixel(const Bitmap& bitmap, LONG x, LONG y) {
    const uint8_t* row = bitmap.row(y);
    auto from_table = [&](unsigned index) {
        const RGBQUAD& c = bitmap.colors[index & 0xFF];
        return (uint32_t{c.rgbRed} << 16) | (uint32_t{c.rgbGreen} << 8) | c.rgbBlue;
    };
    switch (bitmap.layout) {
        case PixelLayout::ARGB32:
            return reinterpret_cast<const uint32_t*>(row)[x];
        case PixelLayout::RGB24:
            return (uint32_t{row[x * 3 + 2]} << 16) | (uint32_t{row[x * 3 + 1]} << 8) | row[x * 3];
        case PixelLayout::RGB555: {
            uint32_t w = row[x * 2] | (uint32_t{row[x * 2 + 1]} << 8);
            return (expand5((w >> 10) & 31) << 16) | (expand5((w >> 5) & 31) << 8) | expand5(w & 31);
        }
        case PixelLayout::RGB565: {
            uint32_t w = row[x * 2] | (uint32_t{row[x * 2 + 1]} << 8);
            return (expand5((w >> 11) & 31) << 16) | (expand6((w >> 5) & 63) << 8) | expand5(w & 31);
        }
        case PixelLayout::MONO: {
            unsigned bit = (row[x / 8] >> (7 - x % 8)) & 1;
            // A device-dependent monochrome bitmap is black and white; a DIB section has its colour table.
            return bitmap.dib ? from_table(bit) : (bit ? 0xFFFFFFu : 0u);
        }
        case PixelLayout::INDEX8:
            return from_table(row[x]);
    }
    return 0;
}

// A mask pixel: the bit itself for a monochrome bitmap, "not black" for the others.
uint8_t mask_bit(const Bitmap& bitmap, LONG x, LONG y) {
    if (bitmap.layout == PixelLayout::MONO) {
        return (bitmap.row(y)[x / 8] >> (7 - x % 8)) & 1;
    }
    return (bitmap_pixel(bitmap, x, y) & 0xFFFFFF) != 0;
}

bool size_allowed(LONG width, LONG height) {
    return width > 0 && height > 0 && width <= kMaxCursorSide && height <= kMaxCursorSide;
}

uint32_t premultiply(uint32_t argb) {
    uint32_t a = argb >> 24;
    auto channel = [&](int shift) { return (((argb >> shift) & 0xFF) * a + 127) / 255; };
    return (a << 24) | (channel(16) << 16) | (channel(8) << 8) | channel(0);
}

struct SystemCursor {
    WORD id;
    unsigned font_shape;
};

constexpr SystemCursor kSystemCursors[] = {
    {32512, XC_left_ptr},
    {32513, XC_xterm},
    {32514, XC_watch},
    {32515, XC_crosshair},
    {32516, XC_sb_up_arrow},
    {32642, XC_bottom_right_corner},
    {32643, XC_bottom_left_corner},
    {32644, XC_sb_h_double_arrow},
    {32645, XC_sb_v_double_arrow},
    {32646, XC_fleur},
    {32648, XC_X_cursor},
    {32649, XC_hand2},
    {32650, XC_watch},
};

BOOL destroy(HCURSOR handle, DWORD error) {
    std::lock_guard<std::mutex> guard(cursor_table_lock);
    auto it = cursor_table().find(reinterpret_cast<uintptr_t>(handle));
    if (it == cursor_table().end()) {
        SetLastError(error);
        return FALSE;
    }
    if (!it->second->shared) {
        cursor_table().erase(it);
    }
    return TRUE;
}

}  // namespace

CursorPicture cursor_picture_from_masks(LONG width, LONG height, const std::vector<uint8_t>& and_mask,
                                        const std::vector<uint8_t>* xor_mask,
                                        const std::vector<uint32_t>* color, bool use_alpha) {
    CursorPicture picture;
    picture.width = width;
    picture.height = height;
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    picture.argb.resize(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t rgb = color ? (*color)[i] & 0xFFFFFF : ((*xor_mask)[i] ? 0xFFFFFFu : 0u);
        if (use_alpha && color) {
            picture.argb[i] = premultiply((*color)[i]);
        } else if (!and_mask[i]) {
            picture.argb[i] = 0xFF000000u | rgb;
        } else {
            picture.argb[i] = rgb ? 0xFF000000u : 0u;  // screen unchanged, or inverted (shown black)
        }
    }
    return picture;
}

std::shared_ptr<CursorObject> cursor_lookup(HCURSOR cursor) {
    std::lock_guard<std::mutex> guard(cursor_table_lock);
    auto it = cursor_table().find(reinterpret_cast<uintptr_t>(cursor));
    return it == cursor_table().end() ? nullptr : it->second;
}

}  // namespace winapi_internal

using namespace winapi_internal;

HICON WINAPI CreateIconIndirect(PICONINFO info) {
    if (!info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto mask = gdi_lookup_as<Bitmap>(info->hbmMask);
    auto color = info->hbmColor ? gdi_lookup_as<Bitmap>(info->hbmColor) : nullptr;
    if (!mask || !mask->ok() || (info->hbmColor && (!color || !color->ok()))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Without a colour bitmap the mask holds the AND rows above the XOR rows.
    LONG width = color ? color->width : mask->width;
    LONG height = color ? color->height : mask->height / 2;
    if (!size_allowed(width, height) || mask->width < width || mask->height < (color ? height : 2 * height)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::vector<uint8_t> and_mask(count), xor_mask;
    std::vector<uint32_t> pixels;
    bool any_alpha = false;
    for (LONG y = 0; y < height; ++y) {
        for (LONG x = 0; x < width; ++x) {
            and_mask[static_cast<size_t>(y) * width + x] = mask_bit(*mask, x, y);
        }
    }
    if (color) {
        pixels.resize(count);
        for (LONG y = 0; y < height; ++y) {
            for (LONG x = 0; x < width; ++x) {
                uint32_t p = bitmap_pixel(*color, x, y);
                pixels[static_cast<size_t>(y) * width + x] = p;
                any_alpha |= (p >> 24) != 0;
            }
        }
        any_alpha &= color->layout == PixelLayout::ARGB32;
    } else {
        xor_mask.resize(count);
        for (LONG y = 0; y < height; ++y) {
            for (LONG x = 0; x < width; ++x) {
                xor_mask[static_cast<size_t>(y) * width + x] = mask_bit(*mask, x, y + height);
            }
        }
    }
    auto object = std::make_shared<CursorObject>();
    object->picture = cursor_picture_from_masks(width, height, and_mask, color ? nullptr : &xor_mask,
                                                color ? &pixels : nullptr, any_alpha);
    // Icons are shown with the hot spot in the middle.
    object->icon = info->fIcon != FALSE;
    object->picture.hot_x =
        object->icon ? static_cast<DWORD>(width / 2) : std::min<DWORD>(info->xHotspot, width - 1);
    object->picture.hot_y =
        object->icon ? static_cast<DWORD>(height / 2) : std::min<DWORD>(info->yHotspot, height - 1);
    return reinterpret_cast<HICON>(cursor_insert(std::move(object)));
}

HCURSOR WINAPI CreateCursor(HINSTANCE instance, int xHotSpot, int yHotSpot, int width, int height,
                            const VOID* andPlane, const VOID* xorPlane) {
    if (!andPlane || !xorPlane || !size_allowed(width, height) || xHotSpot < 0 || yHotSpot < 0 ||
        xHotSpot >= width || yHotSpot >= height) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t stride = (static_cast<size_t>(width) + 15) / 16 * 2;
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::vector<uint8_t> and_mask(count), xor_mask(count);
    auto and_bytes = static_cast<const uint8_t*>(andPlane);
    auto xor_bytes = static_cast<const uint8_t*>(xorPlane);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            size_t byte = static_cast<size_t>(y) * stride + static_cast<size_t>(x) / 8;
            int shift = 7 - x % 8;
            and_mask[static_cast<size_t>(y) * width + x] = (and_bytes[byte] >> shift) & 1;
            xor_mask[static_cast<size_t>(y) * width + x] = (xor_bytes[byte] >> shift) & 1;
        }
    }
    auto object = std::make_shared<CursorObject>();
    object->picture = cursor_picture_from_masks(width, height, and_mask, &xor_mask, nullptr, false);
    object->picture.hot_x = static_cast<DWORD>(xHotSpot);
    object->picture.hot_y = static_cast<DWORD>(yHotSpot);
    return cursor_insert(std::move(object));
}

BOOL WINAPI DestroyCursor(HCURSOR cursor) {
    return destroy(cursor, ERROR_INVALID_CURSOR_HANDLE);
}

BOOL WINAPI DestroyIcon(HICON icon) {
    return destroy(icon, ERROR_INVALID_ICON_HANDLE);
}

HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name) {
    static std::mutex lock;
    static std::map<WORD, HCURSOR> loaded;  // guarded by lock
    if (instance || !IS_INTRESOURCE(name)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    WORD id = static_cast<WORD>(reinterpret_cast<uintptr_t>(name));
    for (const SystemCursor& system : kSystemCursors) {
        if (system.id == id) {
            std::lock_guard<std::mutex> guard(lock);
            HCURSOR& cursor = loaded[id];
            if (!cursor) {
                auto object = std::make_shared<CursorObject>();
                object->font_shape = system.font_shape;
                object->shared = true;
                cursor = cursor_insert(std::move(object));
            }
            return cursor;
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name) {
    if (instance || name != IDI_APPLICATION) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    static HICON application = [] {
        auto object = std::make_shared<CursorObject>();
        object->picture.width = object->picture.height = 32;
        object->picture.argb.assign(32 * 32, 0);
        object->shared = true;
        object->icon = true;
        return reinterpret_cast<HICON>(cursor_insert(std::move(object)));
    }();
    return application;
}
