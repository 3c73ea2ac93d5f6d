// The guest's cursor shapes as the cursor channel keeps them: CursorData (one reference-counted shape), its
// drawing objects for the software cursor layer (NativeCursor), and the cache of shapes the server fills and
// refers to by id.
//
// Nothing a shape is built from is trusted: sizes are computed in 64 bits from the header, sides above 1024
// are refused, and a body shorter than the shape's layout is refused.
#pragma once

#include "canvas/red_drawable.h"
#include "runtime/threads.h"
#include "transport/protocol/server_messages.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class LocalCursor;

// Wider or higher shapes from the server are refused.
constexpr uint16_t kMaxCursorSide = 1024;
// Shape type 7: the 24-byte record of a CAD application's cross-hair cursor.
constexpr uint16_t kCadCursorType = 7;
constexpr uint16_t kMaxCursorType = 7;

// The byte size of a shape's data (pixels, palette and masks) by its type; false for a type above 7.
bool cursor_data_size(uint16_t type, uint16_t width, uint16_t height, uint64_t* size);

// Draws one shape into the screen's composite pixmap.
class NativeCursor {
public:
    virtual ~NativeCursor() {}
    // x, y: the cursor rectangle's top-left; area: the part of the destination to paint (inside the
    // rectangle).
    virtual void draw(RedDrawable& dest, int x, int y, const SpiceRect& area) = 0;
};

class CursorData {
public:
    // A shape of the header and data; throws Exception for a type above 7, a side above 1024 or data shorter
    // than the shape's layout. Extra data bytes are dropped. One reference for the caller.
    static CursorData* create(const SpiceCursorHeader& header, const uint8_t* data, uint64_t data_size);
    // The CAD order's shape, built by the channel itself: the side is not capped (its data is the 24-byte
    // record whatever the size).
    static CursorData* create_cad(uint16_t side, uint16_t hot_spot, const uint8_t record[24]);

    CursorData* ref() {
        _refs.fetch_add(1);
        return this;
    }
    void unref() {
        if (_refs.fetch_sub(1) == 1) {
            delete this;
        }
    }

    const SpiceCursorHeader& header() const { return _header; }
    const std::vector<uint8_t>& data() const { return _data; }

    // Channel thread: the drawing object, made on first use. Throws Exception "invalid cursor type".
    NativeCursor& native();
    // Main thread (the display channel): the window's cursor for the shape, made on first use; null when
    // the platform cannot make one. The shape keeps the reference.
    LocalCursor* local_cursor();

    int refs() const { return _refs.load(); }

private:
    CursorData(const SpiceCursorHeader& header, std::vector<uint8_t> data);
    ~CursorData();

    std::atomic<int> _refs{1};
    SpiceCursorHeader _header;
    std::vector<uint8_t> _data;
    std::unique_ptr<NativeCursor> _native;
    LocalCursor* _local = nullptr;
};

// The native cursor of a shape: by type alpha, mono, colour 4/16/32, or the marker of the unsupported types.
std::unique_ptr<NativeCursor> make_native_cursor(const CursorData& shape);
// The 0xRRGGBB colour of pixel (row, column) of a colour shape of type 2, 4 or 6.
uint32_t cursor_color_pixel(const CursorData& shape, int row, int column);

// Shapes by their 64-bit id, in 1024 buckets of the id's low 10 bits. Each entry holds a reference. Its
// users lock around it (the channel's worker is its only user).
class CursorCache {
public:
    static const int BUCKETS = 1024;
    // Shapes whose data bytes would take the cache over this are not cached (they are still shown).
    static const uint64_t MAX_DATA_BYTES = 64ull << 20;

    CursorCache() : _buckets(BUCKETS) {}
    ~CursorCache() { clear(); }
    CursorCache(const CursorCache&) = delete;
    CursorCache& operator=(const CursorCache&) = delete;

    // An id already present is reported on standard error and nothing changes.
    void add(uint64_t id, CursorData* shape);
    // The shape with a new reference. Throws Exception "cursor id <id>, not found".
    CursorData* get(uint64_t id);
    // Throws Exception "cursor id <id>, not found".
    void remove(uint64_t id);
    void clear();

    size_t count() const { return _count; }
    uint64_t data_bytes() const { return _data_bytes; }

private:
    struct Entry {
        uint64_t id;
        CursorData* shape;
    };
    std::vector<std::vector<Entry>> _buckets;
    size_t _count = 0;
    uint64_t _data_bytes = 0;
};
