#include "platform/local_cursor.h"
#include "platform/platform.h"

#include <cstring>

#include "platform/cad_cursor.h"
#include "runtime/exception.h"
#include "runtime/log.h"

namespace {

uint64_t mask_row_bytes(uint16_t width) {
    return (uint64_t{width} + 7) / 8;
}

// Where the parts of a guest shape lie in its data, and the bytes they need in all.
struct ShapeLayout {
    uint64_t plane = 0;    // first plane (colour, or the AND plane of a monochrome shape)
    uint64_t palette = 0;  // colour 4: 16 entries of 4 bytes
    uint64_t mask = 0;     // the mask (monochrome: the XOR plane)
    uint64_t total() const { return plane + palette + mask; }
};

ShapeLayout layout_of(const GuestCursorShape& shape, uint64_t plane_size) {
    ShapeLayout layout;
    layout.plane = plane_size;
    switch (shape.type) {
        case GUEST_CURSOR_MONO:
            layout.mask = plane_size;
            break;
        case GUEST_CURSOR_COLOR4:
            layout.palette = 64;
            layout.mask = mask_row_bytes(shape.width) * shape.height;
            break;
        case GUEST_CURSOR_COLOR16:
            layout.mask = mask_row_bytes(shape.width) * shape.height;
            break;
        case GUEST_CURSOR_COLOR32:
            // Mask rows of width bits each, with no padding between them.
            layout.mask = (uint64_t{shape.width} * shape.height + 7) / 8;
            break;
        default:
            break;
    }
    return layout;
}

bool bit_at(const uint8_t* bytes, uint64_t index) {
    return (bytes[index / 8] >> (7 - index % 8)) & 1;
}

// A top-down DIB section; its bits come back in *bits (rows padded to 32 bits).
HBITMAP create_dib(int width, int height, WORD bit_count, void** bits) {
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colors[2];
    } info;
    std::memset(&info, 0, sizeof(info));
    info.header.biSize = sizeof(BITMAPINFOHEADER);
    info.header.biWidth = width;
    info.header.biHeight = -height;
    info.header.biPlanes = 1;
    info.header.biBitCount = bit_count;
    info.header.biCompression = BI_RGB;
    info.colors[1] = {0xFF, 0xFF, 0xFF, 0};
    return CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, bits, nullptr, 0);
}

size_t dib_stride(int width, int bit_count) {
    return (static_cast<size_t>(width) * bit_count + 31) / 32 * 4;
}

// A 1-bit DIB section of width x rows whose bit (x, y) is bit_of(x, y).
template <class BitOf>
HBITMAP create_mask(int width, int rows, BitOf bit_of) {
    void* bits = nullptr;
    HBITMAP bitmap = create_dib(width, rows, 1, &bits);
    if (!bitmap) {
        return nullptr;
    }
    size_t stride = dib_stride(width, 1);
    auto* out = static_cast<uint8_t*>(bits);
    std::memset(out, 0, stride * static_cast<size_t>(rows));
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < width; ++x) {
            if (bit_of(x, y)) {
                out[static_cast<size_t>(y) * stride + static_cast<size_t>(x) / 8] |= 0x80 >> (x % 8);
            }
        }
    }
    return bitmap;
}

}  // namespace

int guest_cursor_plane(uint16_t type, uint16_t width, uint16_t height, uint64_t* size) {
    uint64_t w = width, h = height;
    switch (type) {
        case GUEST_CURSOR_ALPHA:
        case GUEST_CURSOR_COLOR32:
        case GUEST_CURSOR_CAD:
            *size = w * 4 * h;
            return 32;
        case GUEST_CURSOR_MONO:
            *size = (w + 7) / 8 * h;
            return 1;
        case GUEST_CURSOR_COLOR4:
            *size = (w + 1) / 2 * h;
            return 4;
        case GUEST_CURSOR_COLOR8:
            *size = w * h;
            return 8;
        case GUEST_CURSOR_COLOR16:
            *size = w * h * 2;
            return 16;
        case GUEST_CURSOR_COLOR24:
            *size = w * h * 3;
            return 24;
        default:
            *size = 0;
            return 0;
    }
}

WinLocalCursor::WinLocalCursor(const GuestCursorShape& shape) {
    uint64_t plane_size = 0;
    if (!guest_cursor_plane(shape.type, shape.width, shape.height, &plane_size)) {
        THROW("invalid curosr type");
    }
    // The CAD cursor is drawn by its own machinery (Platform::create_local_cursor), never from a plane.
    if (shape.type == GUEST_CURSOR_COLOR8 || shape.type == GUEST_CURSOR_COLOR24 ||
        shape.type == GUEST_CURSOR_CAD) {
        LOG_WARN("unsupported cursor type %d", shape.type);
        use_arrow();
        return;
    }
    if (!shape.data || shape.width == 0 || shape.height == 0 || shape.width > kMaxGuestCursorSide ||
        shape.height > kMaxGuestCursorSide) {
        LOG_WARN("cursor shape %ux%u of type %d cannot be shown", shape.width, shape.height, shape.type);
        use_arrow();
        return;
    }
    if (shape.data_size < layout_of(shape, plane_size).total()) {
        LOG_WARN("cursor data of type %d too short: %llu bytes for %ux%u", shape.type,
                 (unsigned long long)shape.data_size, shape.width, shape.height);
        use_arrow();
        return;
    }
    bool built = shape.type == GUEST_CURSOR_MONO ? build_mono(shape) : build_color(shape);
    if (!built) {
        use_arrow();
    }
}

WinLocalCursor::~WinLocalCursor() {
    if (_handle && !_shared) {
        DestroyCursor(_handle);
    }
}

void WinLocalCursor::use_arrow() {
    _handle = LoadCursorW(nullptr, IDC_ARROW);
    _shared = true;
}

// The AND plane, then the XOR plane, each with rows of (width + 7) / 8 bytes.
bool WinLocalCursor::build_mono(const GuestCursorShape& shape) {
    const int width = shape.width, height = shape.height;
    const uint64_t row = mask_row_bytes(shape.width);
    const uint8_t* and_plane = shape.data;
    const uint8_t* xor_plane = shape.data + row * height;
    auto guest_bit = [&](const uint8_t* plane, int x, int y) {
        return bit_at(plane, uint64_t(y) * row * 8 + x);
    };
    // One 1-bit bitmap of the AND rows above the XOR rows, as Windows 8 and later take a monochrome cursor.
    HBITMAP mask = create_mask(width, 2 * height, [&](int x, int y) {
        return y < height ? guest_bit(and_plane, x, y) : guest_bit(xor_plane, x, y - height);
    });
    if (!mask) {
        return false;
    }
    ICONINFO info = {FALSE, shape.hot_spot_x, shape.hot_spot_y, mask, nullptr};
    _handle = CreateIconIndirect(&info);
    DeleteObject(mask);
    return _handle != nullptr;
}

// Alpha, colour 16 and colour 32 (a 32- or 16-bit colour plane), and colour 4 (4-bit indexes into the palette
// that follows the plane): the colour bitmap, then the mask behind them.
bool WinLocalCursor::build_color(const GuestCursorShape& shape) {
    const int width = shape.width, height = shape.height;
    uint64_t plane_size = 0;
    guest_cursor_plane(shape.type, shape.width, shape.height, &plane_size);
    const ShapeLayout layout = layout_of(shape, plane_size);
    const uint8_t* plane = shape.data;
    const uint8_t* palette = shape.data + layout.plane;
    const uint8_t* mask_bits = palette + layout.palette;

    const WORD bit_count = shape.type == GUEST_CURSOR_COLOR16 ? 16 : 32;
    void* bits = nullptr;
    HBITMAP color = create_dib(width, height, bit_count, &bits);
    if (!color) {
        return false;
    }
    const size_t stride = dib_stride(width, bit_count);
    auto* out = static_cast<uint8_t*>(bits);
    for (int y = 0; y < height; ++y) {
        uint8_t* target = out + static_cast<size_t>(y) * stride;
        switch (shape.type) {
            case GUEST_CURSOR_COLOR16:
                std::memcpy(target, plane + size_t(y) * width * 2, size_t(width) * 2);
                break;
            case GUEST_CURSOR_COLOR4: {
                const uint8_t* source = plane + size_t(y) * ((size_t(width) + 1) / 2);
                for (int x = 0; x < width; ++x) {
                    unsigned index = x % 2 ? source[x / 2] & 0x0F : source[x / 2] >> 4;
                    std::memcpy(target + size_t(x) * 4, palette + index * 4, 4);
                    target[size_t(x) * 4 + 3] = 0;
                }
                break;
            }
            default:
                std::memcpy(target, plane + size_t(y) * width * 4, size_t(width) * 4);
                if (shape.type == GUEST_CURSOR_COLOR32) {
                    for (int x = 0; x < width; ++x) {
                        target[size_t(x) * 4 + 3] = 0;  // not alpha: the mask decides
                    }
                }
                break;
        }
    }
    // The alpha shape has no mask; the others' rows are whole bytes, except colour 32's.
    HBITMAP mask = create_mask(width, height, [&](int x, int y) {
        switch (shape.type) {
            case GUEST_CURSOR_COLOR32:
                return bit_at(mask_bits, uint64_t(y) * width + x);
            case GUEST_CURSOR_COLOR4:
            case GUEST_CURSOR_COLOR16:
                return bit_at(mask_bits, uint64_t(y) * mask_row_bytes(shape.width) * 8 + x);
            default:
                return false;
        }
    });
    if (mask) {
        ICONINFO info = {FALSE, shape.hot_spot_x, shape.hot_spot_y, mask, color};
        _handle = CreateIconIndirect(&info);
        DeleteObject(mask);
    }
    DeleteObject(color);
    return _handle != nullptr;
}

LocalCursor* Platform::create_local_cursor(const GuestCursorShape& shape) {
    if (shape.type == GUEST_CURSOR_CAD) {
        return create_cad_cursor(shape);
    }
    return new WinLocalCursor(shape);
}

LocalCursor* Platform::create_default_cursor() {
    return new WinDefaultCursor();
}
