// Layered windows: UpdateLayeredWindow with a colour key, shown through the X shape extension.
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>
#include <pixman.h>

#include <vector>

#include "gdi_dc.h"
#include "window_internal.h"
#include "winapi/winuser_display.h"
#include "x11_connection.h"

namespace winapi_internal {

namespace {

// The window's outline: the pixels of the source that are not the key colour. X bitmaps have rows padded to
// bytes with the leftmost pixel in the lowest bit.
void shape_by_key(Display* display, Window x_window, const uint32_t* pixels, int stride_pixels, int width,
                  int height, COLORREF key) {
    uint32_t key_rgb = (uint32_t{GetRValue(key)} << 16) | (uint32_t{GetGValue(key)} << 8) | GetBValue(key);
    size_t row_bytes = (static_cast<size_t>(width) + 7) / 8;
    std::vector<char> bits(row_bytes * static_cast<size_t>(height), 0);
    for (int y = 0; y < height; ++y) {
        const uint32_t* row = pixels + static_cast<ptrdiff_t>(y) * stride_pixels;
        for (int x = 0; x < width; ++x) {
            if ((row[x] & 0xFFFFFF) != key_rgb) {
                bits[static_cast<size_t>(y) * row_bytes + static_cast<size_t>(x) / 8] |=
                    static_cast<char>(1 << (x % 8));
            }
        }
    }
    Pixmap mask = XCreateBitmapFromData(display, x_window, bits.data(), static_cast<unsigned>(width),
                                        static_cast<unsigned>(height));
    XShapeCombineMask(display, x_window, ShapeBounding, 0, 0, mask, ShapeSet);
    XFreePixmap(display, mask);
}

void set_input_shape(Display* display, Window x_window, bool transparent) {
    if (transparent) {
        XShapeCombineRectangles(display, x_window, ShapeInput, 0, 0, nullptr, 0, ShapeSet, Unsorted);
    } else {
        XShapeCombineMask(display, x_window, ShapeInput, 0, 0, None, ShapeSet);
    }
}

}  // namespace

}  // namespace winapi_internal

using namespace winapi_internal;

BOOL WINAPI UpdateLayeredWindow(HWND hwnd, HDC screenDc, POINT* position, SIZE* size, HDC sourceDc,
                                POINT* source, COLORREF key, BLENDFUNCTION* blend, DWORD flags) {
    std::shared_ptr<WindowRecord> window = window_of_current_thread(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (flags & ULW_ALPHA) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    RECT rect;
    DWORD ex_style;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        rect = window->rect;
        ex_style = window->ex_style;
    }
    if (!(ex_style & WS_EX_LAYERED) || (size && (size->cx <= 0 || size->cy <= 0))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const LONG width = size ? size->cx : rect.right - rect.left;
    const LONG height = size ? size->cy : rect.bottom - rect.top;
    const POINT from = source ? *source : POINT{0, 0};
    pixman_image_t* image = nullptr;
    if (sourceDc) {
        // The source rectangle must lie inside the source's pixels (32 bits each).
        image = dc_target_image(sourceDc);
        if (!image || PIXMAN_FORMAT_BPP(pixman_image_get_format(image)) != 32 || from.x < 0 || from.y < 0 ||
            int64_t{from.x} + width > pixman_image_get_width(image) ||
            int64_t{from.y} + height > pixman_image_get_height(image)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    const POINT to = position ? *position : POINT{rect.left, rect.top};
    if (to.x != rect.left || to.y != rect.top || width != rect.right - rect.left ||
        height != rect.bottom - rect.top) {
        SetWindowPos(hwnd, nullptr, to.x, to.y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (!image) {
        return TRUE;
    }
    // The shape goes first: X draws only inside a window's shape, so pixels put before it grows are lost.
    Display* display = x11_display();
    Window x_window = x11_window_of(hwnd);
    if (display && x_window) {
        const int stride_pixels = pixman_image_get_stride(image) / 4;
        const uint32_t* first =
            pixman_image_get_data(image) + static_cast<ptrdiff_t>(from.y) * stride_pixels + from.x;
        if (flags & ULW_COLORKEY) {
            shape_by_key(display, x_window, first, stride_pixels, width, height, key);
        } else {
            XShapeCombineMask(display, x_window, ShapeBounding, 0, 0, None, ShapeSet);
        }
        set_input_shape(display, x_window, ex_style & WS_EX_TRANSPARENT);
    }
    HDC dc = GetDC(hwnd);
    if (!dc) {
        return FALSE;
    }
    BOOL copied = BitBlt(dc, 0, 0, width, height, sourceDc, from.x, from.y, SRCCOPY);
    ReleaseDC(hwnd, dc);  // shows the pixels
    // The picture is the window's whole content: no WM_PAINT (nor background erase) is due for it, as on
    // Windows, where a layered window is never painted.
    ValidateRect(hwnd, nullptr);
    return copied;
}
