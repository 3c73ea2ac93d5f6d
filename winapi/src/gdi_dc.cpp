// Device contexts, bitmap and brush creation, and selection of objects into DCs.
#include "gdi_dc.h"

#include "gdi_objects.h"

#include <algorithm>
#include <cstring>

namespace winapi_internal {

namespace {

std::shared_ptr<DeviceContext> lookup_dc(HDC dc) {
    return gdi_lookup_as<DeviceContext>((HGDIOBJ)dc);
}

HDC insert_dc(std::shared_ptr<DeviceContext> context) {
    context->brush_handle = GetStockObject(WHITE_BRUSH);
    context->brush = gdi_lookup_as<Brush>(context->brush_handle);
    context->pen_handle = GetStockObject(BLACK_PEN);
    context->pen = gdi_lookup_as<Pen>(context->pen_handle);
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
    if (auto pen = std::dynamic_pointer_cast<Pen>(found)) {
        HGDIOBJ previous = context->pen_handle;
        context->pen = pen;
        context->pen_handle = object;
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
        case OBJ_PEN:
            return context->pen_handle;
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

namespace {

int region_type(const pixman_region32_t& region) {
    int count = pixman_region32_n_rects(const_cast<pixman_region32_t*>(&region));
    return count == 0 ? NULLREGION : count == 1 ? SIMPLEREGION : COMPLEXREGION;
}

HGDIOBJ insert_object(std::shared_ptr<GdiObject> object) {
    HGDIOBJ handle = gdi_insert(std::move(object));
    if (!handle) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}

}  // namespace

HRGN WINAPI CreateRectRgn(int left, int top, int right, int bottom) {
    auto region = std::make_shared<Region>();
    int x1 = std::min(left, right), x2 = std::max(left, right);
    int y1 = std::min(top, bottom), y2 = std::max(top, bottom);
    if (x1 < x2 && y1 < y2) {
        pixman_region32_fini(&region->region);
        pixman_region32_init_rect(&region->region, x1, y1, (unsigned)((int64_t)x2 - x1),
                                  (unsigned)((int64_t)y2 - y1));
    }
    return insert_object(region);
}

int WINAPI CombineRgn(HRGN dest, HRGN src1, HRGN src2, int mode) {
    std::shared_ptr<Region> out = gdi_lookup_as<Region>(dest);
    std::shared_ptr<Region> a = gdi_lookup_as<Region>(src1);
    std::shared_ptr<Region> b = mode == RGN_COPY ? a : gdi_lookup_as<Region>(src2);
    if (!out || !a || !b) {
        SetLastError(ERROR_INVALID_HANDLE);
        return RGN_ERROR;
    }
    pixman_region32_t result;
    pixman_region32_init(&result);
    bool ok = true;
    switch (mode) {
        case RGN_AND:
            ok = pixman_region32_intersect(&result, &a->region, &b->region);
            break;
        case RGN_OR:
            ok = pixman_region32_union(&result, &a->region, &b->region);
            break;
        case RGN_DIFF:
            ok = pixman_region32_subtract(&result, &a->region, &b->region);
            break;
        case RGN_COPY:
            ok = pixman_region32_copy(&result, &a->region);
            break;
        case RGN_XOR: {
            pixman_region32_t both;
            pixman_region32_init(&both);
            ok = pixman_region32_union(&result, &a->region, &b->region) &&
                 pixman_region32_intersect(&both, &a->region, &b->region) &&
                 pixman_region32_subtract(&result, &result, &both);
            pixman_region32_fini(&both);
            break;
        }
        default:
            pixman_region32_fini(&result);
            SetLastError(ERROR_INVALID_PARAMETER);
            return RGN_ERROR;
    }
    if (!ok) {
        pixman_region32_fini(&result);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return RGN_ERROR;
    }
    // Sources and destination may be one region: the result replaces it only now.
    pixman_region32_fini(&out->region);
    out->region = result;
    return region_type(out->region);
}

int WINAPI SelectClipRgn(HDC dc, HRGN region) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context) {
        SetLastError(ERROR_INVALID_HANDLE);
        return RGN_ERROR;
    }
    if (!region) {
        context->clip.reset();
        return SIMPLEREGION;
    }
    std::shared_ptr<Region> given = gdi_lookup_as<Region>(region);
    if (!given) {
        SetLastError(ERROR_INVALID_HANDLE);
        return RGN_ERROR;
    }
    auto copy = std::make_shared<Region>();
    if (!pixman_region32_copy(&copy->region, &given->region)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return RGN_ERROR;
    }
    context->clip = copy;
    return region_type(copy->region);
}

HBRUSH WINAPI CreatePatternBrush(HBITMAP handle) {
    std::shared_ptr<Bitmap> bitmap = gdi_lookup_as<Bitmap>(handle);
    if (!bitmap || !bitmap->ok()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto copy = std::make_shared<Bitmap>(bitmap->width, bitmap->height, bitmap->layout, bitmap->dib, true);
    if (!copy->ok()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    for (LONG y = 0; y < bitmap->height; y++) {
        memcpy(copy->row(y), bitmap->row(y), (size_t)std::min(copy->stride, bitmap->stride));
    }
    memcpy(copy->colors, bitmap->colors, sizeof(copy->colors));
    memcpy(copy->masks, bitmap->masks, sizeof(copy->masks));
    return insert_object(std::make_shared<Brush>(copy));
}

BOOL WINAPI SetBrushOrgEx(HDC dc, int x, int y, POINT* previous) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (previous) {
        *previous = context->brush_origin;
    }
    context->brush_origin = POINT{x, y};
    return TRUE;
}

int WINAPI SetStretchBltMode(HDC dc, int mode) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context || mode < BLACKONWHITE || mode > HALFTONE) {
        SetLastError(context ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return 0;
    }
    int previous = context->stretch_mode;
    context->stretch_mode = mode;
    return previous;
}

int WINAPI SetROP2(HDC dc, int mix) {
    std::shared_ptr<DeviceContext> context = lookup_dc(dc);
    if (!context || mix < R2_BLACK || mix > R2_WHITE) {
        SetLastError(context ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return 0;
    }
    int previous = context->mix;
    context->mix = mix;
    return previous;
}

HPEN WINAPI CreatePen(int style, int width, COLORREF color) {
    if (style < PS_SOLID || style > PS_NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto pen = std::make_shared<Pen>();
    pen->style = (DWORD)style;
    pen->width = width > 1 ? (DWORD)width : 1;
    pen->color = color & 0xFFFFFF;
    return insert_object(pen);
}

HPEN WINAPI ExtCreatePen(DWORD style, DWORD width, const LOGBRUSH* brush, DWORD count, const DWORD* styles) {
    DWORD kind = style & PS_STYLE_MASK;
    bool cosmetic = (style & PS_TYPE_MASK) == PS_COSMETIC;
    bool user = kind == PS_USERSTYLE;
    if (!brush || brush->lbStyle != BS_SOLID || (kind > PS_NULL && !user) || (cosmetic && width != 1) ||
        width == 0 || width > 0x7FFF || (user && (count == 0 || count > 16 || !styles)) ||
        (!user && count != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto pen = std::make_shared<Pen>();
    pen->style = kind;
    pen->width = width;
    pen->color = brush->lbColor & 0xFFFFFF;
    if (user) {
        pen->user_style.assign(styles, styles + count);
    }
    return insert_object(pen);
}
