#include "display/cursor_data.h"

#include "platform/local_cursor.h"
#include "platform/platform.h"
#include "runtime/exception.h"
#include "runtime/log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

uint64_t mask_row_bytes(uint64_t width) {
    return (width + 7) / 8;
}

// Bytes per row of a colour shape's pixels.
uint64_t color_row_bytes(uint16_t type, uint64_t width) {
    switch (type) {
        case SPICE_CURSOR_TYPE_COLOR4:
            return (width + 1) / 2;
        case SPICE_CURSOR_TYPE_COLOR16:
            return width * 2;
        default:
            return width * 4;
    }
}

uint32_t read_u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The part of a that lies in b; false when empty.
bool clip(const SpiceRect& a, const SpiceRect& b, SpiceRect* out) {
    SpiceRect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                std::min(a.bottom, b.bottom)};
    if (r.left >= r.right || r.top >= r.bottom) {
        return false;
    }
    *out = r;
    return true;
}

// A shape without pixels draws nothing.
class EmptyCursor : public NativeCursor {
public:
    void draw(RedDrawable&, int, int, const SpiceRect&) override {}
};

class AlphaCursor : public NativeCursor {
public:
    explicit AlphaCursor(const CursorData& shape) {
        const SpiceCursorHeader& h = shape.header();
        _pixmap.reset(new RedPixmapSw(h.width, h.height, RedDrawable::ARGB32, true));
        size_t row = size_t(h.width) * 4;
        for (int y = 0; y < h.height; y++) {
            memcpy(_pixmap->get_data() + size_t(y) * _pixmap->get_stride(), shape.data().data() + y * row,
                   row);
        }
    }

    void draw(RedDrawable& dest, int x, int y, const SpiceRect& area) override {
        dest.blend_pixels(*_pixmap, area.left - x, area.top - y, area);
    }

private:
    std::unique_ptr<RedPixmapSw> _pixmap;
};

class MonoCursor : public NativeCursor {
public:
    explicit MonoCursor(const CursorData& shape) : _height(shape.header().height) {
        const SpiceCursorHeader& h = shape.header();
        _pixmap.reset(new RedPixmapSw(h.width, h.height * 2, RedDrawable::A1, true));
        size_t row = mask_row_bytes(h.width);
        for (int y = 0; y < h.height * 2; y++) {
            memcpy(_pixmap->get_data() + size_t(y) * _pixmap->get_stride(), shape.data().data() + y * row,
                   row);
        }
    }

    void draw(RedDrawable& dest, int x, int y, const SpiceRect& area) override {
        dest.combine_pixels(*_pixmap, area.left - x, area.top - y, area, RedDrawable::OP_AND);
        dest.combine_pixels(*_pixmap, area.left - x, _height + area.top - y, area, RedDrawable::OP_XOR);
    }

private:
    int _height;
    std::unique_ptr<RedPixmapSw> _pixmap;
};

class ColorCursor : public NativeCursor {
public:
    explicit ColorCursor(const CursorData& shape) {
        const SpiceCursorHeader& h = shape.header();
        _pixmap.reset(new RedPixmapSw(h.width, h.height, RedDrawable::ARGB32, true));
        _invert.reset(new RedPixmapSw(h.width, h.height, RedDrawable::A1, true));
        memset(_invert->get_data(), 0, size_t(_invert->get_stride()) * h.height);
        uint64_t mask_offset = color_row_bytes(h.type, h.width) * h.height;
        if (h.type == SPICE_CURSOR_TYPE_COLOR4) {
            mask_offset += 64;
        }
        const uint8_t* mask = shape.data().data() + mask_offset;
        uint64_t mask_row = mask_row_bytes(h.width);
        for (int y = 0; y < h.height; y++) {
            auto* out = reinterpret_cast<uint32_t*>(_pixmap->get_data() + size_t(y) * _pixmap->get_stride());
            uint8_t* invert = _invert->get_data() + size_t(y) * _invert->get_stride();
            for (int x = 0; x < h.width; x++) {
                uint32_t c = cursor_color_pixel(shape, y, x);
                bool and_bit = (mask[y * mask_row + x / 8] >> (7 - x % 8)) & 1;
                if (c == 0 && and_bit) {
                    out[x] = 0;
                } else if (c != 0xFFFFFF || !and_bit) {
                    out[x] = c | 0xFF000000;
                } else {
                    out[x] = 0;
                    invert[x / 8] |= 0x80 >> (x % 8);
                }
            }
        }
    }

    void draw(RedDrawable& dest, int x, int y, const SpiceRect& area) override {
        dest.blend_pixels(*_pixmap, area.left - x, area.top - y, area);
        dest.combine_pixels(*_invert, area.left - x, area.top - y, area, RedDrawable::OP_XOR);
    }

private:
    std::unique_ptr<RedPixmapSw> _pixmap;
    std::unique_ptr<RedPixmapSw> _invert;
};

// Types 3, 5 and 7: a marker at the hot spot.
class UnsupportedCursor : public NativeCursor {
public:
    explicit UnsupportedCursor(const CursorData& shape)
        : _hot_x(shape.header().hot_spot_x), _hot_y(shape.header().hot_spot_y) {
        LOG_WARN("Unsupported cursor %hu", shape.header().type);
    }

    void draw(RedDrawable& dest, int x, int y, const SpiceRect& area) override {
        int left = x + _hot_x - 2, top = y + _hot_y - 2;
        fill(dest, SpiceRect{left, top, left + 8, top + 8}, area, 0xF8F1B8);
        // The frame as four lines, each clipped to the area.
        left++;
        top++;
        int right = left + 6, bottom = top + 6;
        fill(dest, SpiceRect{left, top, right, top + 1}, area, 0);
        fill(dest, SpiceRect{left, bottom - 1, right, bottom}, area, 0);
        fill(dest, SpiceRect{left, top, left + 1, bottom}, area, 0);
        fill(dest, SpiceRect{right - 1, top, right, bottom}, area, 0);
    }

private:
    static void fill(RedDrawable& dest, const SpiceRect& rect, const SpiceRect& area, rgb32_t color) {
        SpiceRect part;
        if (clip(rect, area, &part)) {
            dest.fill_rect(part, color);
        }
    }

    int _hot_x;
    int _hot_y;
};

}  // namespace

bool cursor_data_size(uint16_t type, uint16_t width, uint16_t height, uint64_t* size) {
    uint64_t w = width, h = height, m = mask_row_bytes(w);
    switch (type) {
        case SPICE_CURSOR_TYPE_ALPHA:
            *size = w * 4 * h;
            return true;
        case SPICE_CURSOR_TYPE_MONO:
            *size = 2 * m * h;
            return true;
        case SPICE_CURSOR_TYPE_COLOR4:
            *size = h * (m + (w + 1) / 2) + 64;
            return true;
        case SPICE_CURSOR_TYPE_COLOR8:
            *size = (w + m) * h + 1024;
            return true;
        case SPICE_CURSOR_TYPE_COLOR16:
            *size = h * (m + 2 * w);
            return true;
        case SPICE_CURSOR_TYPE_COLOR24:
            *size = h * (m + 3 * w);
            return true;
        case SPICE_CURSOR_TYPE_COLOR32:
            *size = h * (m + 4 * w);
            return true;
        case kCadCursorType:
            *size = 24;
            return true;
        default:
            return false;
    }
}

CursorData::CursorData(const SpiceCursorHeader& header, std::vector<uint8_t> data)
    : _header(header), _data(std::move(data)) {}

CursorData::~CursorData() {
    if (_local) {
        _local->unref();
    }
}

CursorData* CursorData::create(const SpiceCursorHeader& header, const uint8_t* data, uint64_t data_size) {
    uint64_t size = 0;
    if (!cursor_data_size(header.type, header.width, header.height, &size)) {
        THROW("invalid cursor type");
    }
    if (header.width > kMaxCursorSide || header.height > kMaxCursorSide) {
        THROW("cursor shape %ux%u too large", header.width, header.height);
    }
    if (data_size < size || (size && !data)) {
        THROW("cursor data of %llu bytes, shape of type %u %ux%u needs %llu", (unsigned long long)data_size,
              header.type, header.width, header.height, (unsigned long long)size);
    }
    return new CursorData(header, std::vector<uint8_t>(data, data + size));
}

CursorData* CursorData::create_cad(uint16_t side, uint16_t hot_spot, const uint8_t record[24]) {
    SpiceCursorHeader header{0, kCadCursorType, side, side, hot_spot, hot_spot};
    return new CursorData(header, std::vector<uint8_t>(record, record + 24));
}

NativeCursor& CursorData::native() {
    if (!_native) {
        _native = make_native_cursor(*this);
    }
    return *_native;
}

LocalCursor* CursorData::local_cursor() {
    if (!_local) {
        GuestCursorShape shape{_header.type,       _header.width, _header.height, _header.hot_spot_x,
                               _header.hot_spot_y, _data.data(),  _data.size()};
        _local = Platform::create_local_cursor(shape);
    }
    return _local;
}

std::unique_ptr<NativeCursor> make_native_cursor(const CursorData& shape) {
    const SpiceCursorHeader& h = shape.header();
    if (h.type > kMaxCursorType) {
        THROW("invalid cursor type");
    }
    switch (h.type) {
        case SPICE_CURSOR_TYPE_COLOR8:
        case SPICE_CURSOR_TYPE_COLOR24:
        case kCadCursorType:
            return std::unique_ptr<NativeCursor>(new UnsupportedCursor(shape));
        default:
            break;
    }
    if (h.width == 0 || h.height == 0) {
        return std::unique_ptr<NativeCursor>(new EmptyCursor());
    }
    switch (h.type) {
        case SPICE_CURSOR_TYPE_ALPHA:
            return std::unique_ptr<NativeCursor>(new AlphaCursor(shape));
        case SPICE_CURSOR_TYPE_MONO:
            return std::unique_ptr<NativeCursor>(new MonoCursor(shape));
        default:
            return std::unique_ptr<NativeCursor>(new ColorCursor(shape));
    }
}

uint32_t cursor_color_pixel(const CursorData& shape, int row, int column) {
    const SpiceCursorHeader& h = shape.header();
    const uint8_t* line = shape.data().data() + uint64_t(row) * color_row_bytes(h.type, h.width);
    switch (h.type) {
        case SPICE_CURSOR_TYPE_COLOR16: {
            uint32_t p = uint32_t(line[column * 2]) | uint32_t(line[column * 2 + 1]) << 8;
            return ((p >> 10) & 0x1F) << 19 | ((p >> 5) & 0x1F) << 11 | (p & 0x1F) << 3;
        }
        case SPICE_CURSOR_TYPE_COLOR4: {
            uint8_t byte = line[column / 2];
            uint32_t index = column % 2 ? byte & 0x0F : byte >> 4;
            const uint8_t* palette = shape.data().data() + color_row_bytes(h.type, h.width) * h.height;
            return read_u32(palette + index * 4) & 0xFFFFFF;
        }
        default:
            return read_u32(line + column * 4) & 0xFFFFFF;
    }
}

// ---- Cache ----

void CursorCache::add(uint64_t id, CursorData* shape) {
    std::vector<Entry>& bucket = _buckets[id & (BUCKETS - 1)];
    for (const Entry& entry : bucket) {
        if (entry.id == id) {
            fprintf(stderr, "%s: %s id %llu, double insert\n", "CursorCache::add", "cursor",
                    (unsigned long long)id);
            return;
        }
    }
    uint64_t bytes = shape->data().size();
    if (_data_bytes + bytes > MAX_DATA_BYTES) {
        LOG_WARN("cursor cache full (%llu bytes): id %llu not cached", (unsigned long long)_data_bytes,
                 (unsigned long long)id);
        return;
    }
    bucket.push_back(Entry{id, shape->ref()});
    _count++;
    _data_bytes += bytes;
}

CursorData* CursorCache::get(uint64_t id) {
    for (const Entry& entry : _buckets[id & (BUCKETS - 1)]) {
        if (entry.id == id) {
            return entry.shape->ref();
        }
    }
    THROW("%s id %llu, not found", "cursor", (unsigned long long)id);
}

void CursorCache::remove(uint64_t id) {
    std::vector<Entry>& bucket = _buckets[id & (BUCKETS - 1)];
    for (auto it = bucket.begin(); it != bucket.end(); ++it) {
        if (it->id == id) {
            CursorData* shape = it->shape;
            bucket.erase(it);
            _count--;
            _data_bytes -= shape->data().size();
            shape->unref();
            return;
        }
    }
    THROW("%s id %llu, not found", "cursor", (unsigned long long)id);
}

void CursorCache::clear() {
    for (std::vector<Entry>& bucket : _buckets) {
        for (const Entry& entry : bucket) {
            entry.shape->unref();
        }
        bucket.clear();
    }
    _count = 0;
    _data_bytes = 0;
}
