#include "display/palette_cache.h"

#include "runtime/exception.h"

#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// A palette copy with its reference count in front, so that release finds the count from the palette.
struct CachedPalette {
    int refs;
    SpicePalette palette;
};

CachedPalette* cached_of(SpicePalette* palette) {
    return reinterpret_cast<CachedPalette*>(reinterpret_cast<uint8_t*>(palette) -
                                            offsetof(CachedPalette, palette));
}

CachedPalette* copy_palette(const SpicePalette& palette) {
    size_t size = sizeof(CachedPalette) + size_t(palette.num_ents) * sizeof(uint32_t);
    CachedPalette* cached = static_cast<CachedPalette*>(malloc(size));
    if (!cached) {
        throw std::bad_alloc();
    }
    cached->refs = 1;
    cached->palette.unique = palette.unique;
    cached->palette.num_ents = palette.num_ents;
    cached->palette.ents = reinterpret_cast<uint32_t*>(cached + 1);
    if (palette.num_ents) {
        memcpy(cached->palette.ents, palette.ents, size_t(palette.num_ents) * sizeof(uint32_t));
    }
    return cached;
}

void unref(CachedPalette* cached) {
    if (--cached->refs == 0) {
        free(cached);
    }
}

void op_put(SpicePaletteCache* cache, SpicePalette* palette) {
    static_cast<PaletteCache*>(cache)->put(*palette);
}

SpicePalette* op_get(SpicePaletteCache* cache, uint64_t id) {
    return static_cast<PaletteCache*>(cache)->get(id);
}

void op_release(SpicePaletteCache*, SpicePalette* palette) {
    PaletteCache::release(palette);
}

SpicePaletteCacheOps palette_cache_ops = {op_put, op_get, op_release};

}  // namespace

struct PaletteCache::Entry {
    uint64_t id;
    Entry* next;
    CachedPalette* palette;
};

PaletteCache::PaletteCache() {
    ops = &palette_cache_ops;
    for (Entry*& head : _buckets) {
        head = nullptr;
    }
}

PaletteCache::~PaletteCache() {
    clear();
}

void PaletteCache::put(const SpicePalette& palette) {
    Entry** link = &bucket(_buckets, palette.unique);
    for (; *link; link = &(*link)->next) {
        if ((*link)->id == palette.unique) {
            fprintf(stderr, "%s: %s id %" PRIu64 ", double insert\n", "PaletteCache::put", "palette",
                    palette.unique);
            return;
        }
    }
    CachedPalette* cached = copy_palette(palette);
    *link = new Entry{palette.unique, nullptr, cached};
}

SpicePalette* PaletteCache::get(uint64_t id) {
    for (Entry* entry = bucket(_buckets, id); entry; entry = entry->next) {
        if (entry->id == id) {
            entry->palette->refs++;
            return &entry->palette->palette;
        }
    }
    THROW("%s id %" PRIu64 ", not found", "palette", id);
}

void PaletteCache::release(SpicePalette* palette) {
    if (palette) {
        unref(cached_of(palette));
    }
}

void PaletteCache::remove(uint64_t id) {
    for (Entry** link = &bucket(_buckets, id); *link; link = &(*link)->next) {
        if ((*link)->id == id) {
            Entry* entry = *link;
            *link = entry->next;
            unref(entry->palette);
            delete entry;
            return;
        }
    }
    THROW("%s id %" PRIu64 ", not found", "palette", id);
}

void PaletteCache::clear() {
    for (Entry*& head : _buckets) {
        while (head) {
            Entry* entry = head;
            head = entry->next;
            unref(entry->palette);
            delete entry;
        }
    }
}

size_t PaletteCache::count() const {
    size_t count = 0;
    for (Entry* head : _buckets) {
        for (; head; head = head->next) {
            count++;
        }
    }
    return count;
}
