// Device contexts, bitmap and brush creation, and selection of objects into DCs.
#include "gdi_dc.h"

#include "gdi_objects.h"

#include <cstring>

namespace winapi_internal {

namespace {

std::shared_ptr<DeviceContext> lookup_dc(HDC dc) {
    return gdi_lookup_as<DeviceContext>((HGDIOBJ)dc);
}

HDC insert_dc(std::shared_ptr<DeviceContext> context) {
    context->brush_handle = GetStockObject(WHITE_BRUSH);
    context->brush = gdi_lookup_as<Brush>(context->brush_handle);
    HDC handle = (HDC)gdi_insert(context);
    if (!handle) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}

bool select_bitmap(DeviceContext& context, HDC dc, HGDIOBJ handle, std::shared_ptr<Bitmap> bitmap) {
    void* expected = nullptr;
    if (bitmap.get() != context.bitmap.get() && !bitmap->selected_in.compare_exchange_strong(expected, dc)) {
        return false;
    }
    if (context.bitmap && context.bitmap != bitmap) {
        context.bitmap->selected_in.store(nullptr);
    }
    context.bitmap = std::move(bitmap);
    context.bitmap_handle = handle;
    return true;
}

HBITMAP insert_bitmap(std::shared_ptr<Bitmap> bitmap) {
    if (!bitmap->ok()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HBITMAP handle = gdi_insert(bitmap);
    if (!handle) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}

// The layout a DIB header describes, or false when it is not one of those supported.
bool dib_layout(const BITMAPINFO* info, PixelLayout* layout, DWORD masks[3]) {
    const BITMAPINFOHEADER& header = info->bmiHeader;
    // The masks follow a 40-byte header and sit at the same place inside the longer ones.
    const DWORD* given = (const DWORD*)(const void*)info->bmiColors;
    switch (header.biBitCount) {
        case 1:
            *layout = PixelLayout::MONO;
            return header.biCompression == BI_RGB;
        case 8:
            *layout = PixelLayout::INDEX8;
            return header.biCompression == BI_RGB;
        case 24:
            *layout = PixelLayout::RGB24;
            return header.biCompression == BI_RGB;
        case 32:
            *layout = PixelLayout::ARGB32;
            return header.biCompression == BI_RGB ||
                   (header.biCompression == BI_BITFIELDS && given[0] == 0xFF0000 && given[1] == 0xFF00 &&
                    given[2] == 0xFF);
        case 16:
            if (header.biCompression == BI_RGB) {
                *layout = PixelLayout::RGB555;
                masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
                return true;
            }
            if (header.biCompression != BI_BITFIELDS) {
                return false;
            }
            memcpy(masks, given, 3 * sizeof(DWORD));
            if (masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x001F) {
                *layout = PixelLayout::RGB565;
                return true;
            }
            *layout = PixelLayout::RGB555;
            return masks[0] == 0x7C00 && masks[1] == 0x03E0 && masks[2] == 0x001F;
        default:
            return false;
    }
}

// Sets one of the context's colours to the RGB part of color; the colour it had, CLR_INVALID for a bad
// handle.
COLORREF replace_color(HDC dc, COLORREF DeviceContext::*field, COLORREF color) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context) {
        return CLR_INVALID;
    }
    COLORREF previous = context.get()->*field;
    context.get()->*field = color & 0xFFFFFF;
    return previous;
}

}  // namespace

HDC dc_create_over_image(pixman_image_t* image) {
    if (!image) {
        return nullptr;
    }
    switch (pixman_image_get_format(image)) {
        case PIXMAN_a8r8g8b8:
        case PIXMAN_x8r8g8b8:
        case PIXMAN_r5g6b5:
        case PIXMAN_x1r5g5b5:
            break;
        default:
            return nullptr;
    }
    auto context = std::make_shared<DeviceContext>();
    context->external = image;
    return insert_dc(context);
}

void dc_release(HDC dc) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (context && context->external) {
        gdi_remove((HGDIOBJ)dc);
    }
}

pixman_image_t* dc_target_image(HDC dc) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context) {
        return nullptr;
    }
    if (context->external) {
        return context->external;
    }
    return context->bitmap ? context->bitmap->image : nullptr;
}

}  // namespace winapi_internal

using namespace winapi_internal;

HDC WINAPI CreateCompatibleDC(HDC dc) {
    if (dc && !lookup_dc(dc)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto context = std::make_shared<DeviceContext>();
    HDC handle = insert_dc(context);
    if (handle) {
        HGDIOBJ initial = gdi_default_bitmap();
        context->bitmap = gdi_lookup_as<Bitmap>(initial);
        context->bitmap_handle = initial;
    }
    return handle;
}

BOOL WINAPI DeleteDC(HDC dc) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context || context->external) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The stock default bitmap is selected in every new DC, so it never records a DC.
    if (context->bitmap && context->bitmap_handle != gdi_default_bitmap()) {
        context->bitmap->selected_in.store(nullptr);
    }
    gdi_remove((HGDIOBJ)dc);
    return TRUE;
}

HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    std::shared_ptr<GdiObject> found = gdi_lookup(object);
    if (!context || !found) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (auto brush = std::dynamic_pointer_cast<Brush>(found)) {
        HGDIOBJ previous = context->brush_handle;
        context->brush = brush;
        context->brush_handle = object;
        return previous;
    }
    auto bitmap = std::dynamic_pointer_cast<Bitmap>(found);
    if (!bitmap || context->external) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HGDIOBJ previous = context->bitmap_handle;
    if (object == gdi_default_bitmap()) {
        if (context->bitmap && context->bitmap_handle != object) {
            context->bitmap->selected_in.store(nullptr);
        }
        context->bitmap = bitmap;
        context->bitmap_handle = object;
        return previous;
    }
    if (!select_bitmap(*context, dc, object, bitmap)) {
        SetLastError(ERROR_INVALID_PARAMETER);  // selected in another DC
        return nullptr;
    }
    return previous;
}

HGDIOBJ WINAPI GetCurrentObject(HDC dc, UINT type) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    switch (type) {
        case OBJ_BITMAP:
            return context->bitmap_handle;
        case OBJ_BRUSH:
            return context->brush_handle;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
}

COLORREF WINAPI SetBkColor(HDC dc, COLORREF color) {
    return replace_color(dc, &DeviceContext::bk_color, color);
}

COLORREF WINAPI SetTextColor(HDC dc, COLORREF color) {
    return replace_color(dc, &DeviceContext::text_color, color);
}

HBITMAP WINAPI CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                                DWORD offset) {
    if (bits) {
        *bits = nullptr;
    }
    PixelLayout layout;
    DWORD masks[3] = {};
    if (!info || usage != DIB_RGB_COLORS || section || info->bmiHeader.biSize < sizeof(BITMAPINFOHEADER) ||
        info->bmiHeader.biPlanes != 1 || info->bmiHeader.biWidth <= 0 || info->bmiHeader.biHeight == 0 ||
        info->bmiHeader.biHeight == INT32_MIN || !dib_layout(info, &layout, masks)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    LONG height = info->bmiHeader.biHeight;
    bool top_down = height < 0;
    auto bitmap = std::make_shared<Bitmap>(info->bmiHeader.biWidth, top_down ? -height : height, layout, true,
                                           top_down);
    memcpy(bitmap->masks, masks, sizeof(masks));
    if (layout == PixelLayout::MONO || layout == PixelLayout::INDEX8) {
        // The colour table follows the header, whatever its size; biClrUsed 0 means all of it.
        DWORD size = layout == PixelLayout::MONO ? 2 : 256;
        DWORD used = info->bmiHeader.biClrUsed;
        const uint8_t* table = (const uint8_t*)info + info->bmiHeader.biSize;
        memcpy(bitmap->colors, table, (used && used < size ? used : size) * sizeof(RGBQUAD));
    }
    HBITMAP handle = insert_bitmap(bitmap);
    if (handle && bits) {
        *bits = bitmap->data;
    }
    return handle;
}

HBITMAP WINAPI CreateCompatibleBitmap(HDC dc, int width, int height) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context || width <= 0 || height <= 0) {
        SetLastError(context ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    bool mono = !context->external && context->bitmap && context->bitmap->layout == PixelLayout::MONO;
    return insert_bitmap(
        std::make_shared<Bitmap>(width, height, mono ? PixelLayout::MONO : PixelLayout::ARGB32, false, true));
}

HBRUSH WINAPI CreateSolidBrush(COLORREF color) {
    HBRUSH handle = gdi_insert(std::make_shared<Brush>(color & 0xFFFFFF, false));
    if (!handle) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}
