// PaletteCache: the palettes the server asked a display channel to keep, by their 64-bit id. The canvases
// fetch them through the SpicePaletteCache face; the channel's invalidation messages remove them. A palette
// handed out stays valid until it is released, also when the cache drops it meanwhile.
//
// Display channel thread only: no lock.
#pragma once

#include "canvas/canvas_base.h"

#include <cstdint>

class PaletteCache : public SpicePaletteCache {
public:
    static const int BUCKETS = 1024;

    PaletteCache();
    ~PaletteCache();
    PaletteCache(const PaletteCache&) = delete;
    PaletteCache& operator=(const PaletteCache&) = delete;

    // Keeps a copy under the palette's id; a second put of a held id is reported and keeps the first.
    void put(const SpicePalette& palette);
    // The palette with one more reference, released with release. Throws Exception "palette id %llu, not
    // found".
    SpicePalette* get(uint64_t id);
    static void release(SpicePalette* palette);
    // Throws Exception "palette id %llu, not found".
    void remove(uint64_t id);
    void clear();
    // Palettes held.
    size_t count() const;

private:
    struct Entry;
    static Entry*& bucket(Entry** buckets, uint64_t id) { return buckets[id & (BUCKETS - 1)]; }
    Entry* _buckets[BUCKETS];
};
