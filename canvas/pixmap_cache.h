// The session's shared pixmap cache: images the server asked to keep, by 64-bit id, shared by all display
// channels of the session. Display channels run on their own threads and one may draw from an image another
// has not stored yet, so lookups wait for the image (and a lossless lookup for a lossy image's replacement).
//
// A wait ends when the image arrives, when the session aborts, or after the wait limit; the last two throw
// Exception, which ends the calling channel's connection. The limit exists because ids come from the server:
// an id nobody will ever store must not hold a display thread for good.
#pragma once

#include <pixman.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <limits>

#include "canvas/image_cache.h"
#include "canvas/image_refs.h"
#include "runtime/exception.h"
#include "runtime/threads.h"

// Makes a cache usable as the canvas's SpiceImageCache: the record, with the pixmap cache's table, is the
// first part of the object.
class SpiceImageCacheBase : public SpiceImageCache {
public:
    SpiceImageCacheBase();
};

// Items are pixman images; the cache holds one reference to each.
class PixmapCacheTreat {
public:
    static pixman_image_t* get(pixman_image_t* image) { return canvas_image_ref(image); }
    static void release(pixman_image_t* image) { canvas_image_unref(image); }
    static const char* name() { return "pixmap"; }
};

template <class T, class Treat, int HASH_SIZE, class Base>
class SharedCache : public Base {
public:
    static constexpr uint64_t DEFAULT_WAIT_LIMIT_MS = 60 * 1000;

    explicit SharedCache(uint64_t wait_limit_ms = DEFAULT_WAIT_LIMIT_MS) : _wait_limit_ms(wait_limit_ms) {
        for (Item*& head : _hash) {
            head = nullptr;
        }
    }

    ~SharedCache() { clear(); }

    SharedCache(const SharedCache&) = delete;
    SharedCache& operator=(const SharedCache&) = delete;

    // A second add of a held id only counts it (the image given is not kept); each add needs one remove.
    void add(uint64_t id, T* data, bool lossy = false) {
        Lock lock(_lock);
        Item** link = &_hash[key(id)];
        for (; *link; link = &(*link)->next) {
            if ((*link)->id == id) {
                // Saturates: a server repeating one id cannot wrap the count and free an image still held.
                if ((*link)->refs < std::numeric_limits<int32_t>::max()) {
                    (*link)->refs++;
                }
                return;
            }
        }
        *link = new Item{id, 1, nullptr, Treat::get(data), lossy};
        _new_item_cond.notify_all();
    }

    T* get(uint64_t id) {
        Lock lock(_lock);
        return Treat::get(wait_for(lock, id, false)->data);
    }

    T* get_lossless(uint64_t id) {
        Lock lock(_lock);
        return Treat::get(wait_for(lock, id, true)->data);
    }

    void replace(uint64_t id, T* data) {
        Lock lock(_lock);
        Item* item = wait_for(lock, id, false);
        T* old = item->data;
        item->data = Treat::get(data);
        Treat::release(old);
        item->lossy = false;
        _replace_cond.notify_all();
    }

    void remove(uint64_t id) {
        Lock lock(_lock);
        Item** link = &_hash[key(id)];
        while (*link && (*link)->id != id) {
            link = &(*link)->next;
        }
        if (!*link) {
            THROW("%s id %" PRIu64 ", not found", Treat::name(), id);
        }
        Item* item = *link;
        if (--item->refs == 0) {
            *link = item->next;
            Treat::release(item->data);
            delete item;
        }
    }

    // Leaves the aborting state as it is: a cleared cache of an aborted session still refuses to wait.
    void clear() {
        Lock lock(_lock);
        for (Item*& head : _hash) {
            while (head) {
                Item* item = head;
                head = item->next;
                Treat::release(item->data);
                delete item;
            }
        }
    }

    // Releases every waiter now and every later one at once; a session that aborts stays aborted.
    void abort() {
        Lock lock(_lock);
        _aborting = true;
        _new_item_cond.notify_all();
        _replace_cond.notify_all();
    }

private:
    struct Item {
        uint64_t id;
        int32_t refs;
        Item* next;
        T* data;
        bool lossy;
    };

    static unsigned key(uint64_t id) { return unsigned(id & (HASH_SIZE - 1)); }

    Item* find(uint64_t id) {
        for (Item* item = _hash[key(id)]; item; item = item->next) {
            if (item->id == id) {
                return item;
            }
        }
        return nullptr;
    }

    // The item is looked up again after every wake-up: while the lock was released another thread may have
    // removed or cleared it, and a lossless wait then waits for the id to come back.
    Item* wait_for(Lock& lock, uint64_t id, bool lossless) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(_wait_limit_ms);
        for (;;) {
            Item* item = find(id);
            if (item && !(lossless && item->lossy)) {
                return item;
            }
            if (_aborting) {
                THROW("%s aborting", Treat::name());
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                THROW("%s id %" PRIu64 ", wait timed out", Treat::name(), id);
            }
            const uint64_t left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
            (item ? _replace_cond : _new_item_cond).timed_wait(lock, left);
        }
    }

    static_assert((HASH_SIZE & (HASH_SIZE - 1)) == 0, "the bucket count is a power of two");

    const uint64_t _wait_limit_ms;
    Mutex _lock;  // guards everything below, including through the waits
    Item* _hash[HASH_SIZE];
    Condition _new_item_cond;  // an item was added
    Condition _replace_cond;   // a lossy item was replaced
    bool _aborting = false;
};

typedef SharedCache<pixman_image_t, PixmapCacheTreat, 1024, SpiceImageCacheBase> PixmapCache;
