// The session's pixmap cache under the server's cache commands in any order, through the table the canvas
// uses, against a model. Input: operations of two bytes, [opcode][id]; ids fall on few hash buckets so that
// chains form. A fetch of an absent id (or a lossless fetch of a lossy one) must give up at once (the wait
// limit is 0) with an Exception, as must a replace or remove of an absent id; every image fetched must be the
// one the model holds; and no image reference may leak (LeakSanitizer sees the images at the end).
#include <pixman.h>

#include <cstdint>
#include <cstdlib>
#include <map>

#include "canvas/pixmap_cache.h"

namespace {

struct Entry {
    int32_t refs;
    bool lossy;
    pixman_image_t* image;  // the model's own reference
};

pixman_image_t* new_image(uint32_t tag) {
    pixman_image_t* image = pixman_image_create_bits(PIXMAN_x8r8g8b8, 1, 1, nullptr, 0);
    *pixman_image_get_data(image) = tag;
    return image;
}

// A fetch through the canvas's table: the image, or null when it threw.
pixman_image_t* fetch(SpiceImageCache* cache, uint64_t id, bool lossless) {
    try {
        return lossless ? cache->ops->get_lossless(cache, id) : cache->ops->get(cache, id);
    } catch (Exception&) {
        return nullptr;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) {
        return 0;
    }
    std::map<uint64_t, Entry> model;
    {
        PixmapCache cache(0);
        SpiceImageCache* table = &cache;
        uint32_t tag = 0;
        for (size_t at = 0; at + 1 < size; at += 2) {
            const uint8_t op = data[at] % 7;
            // Ids 1024 apart share a bucket; the top bit reaches ids beyond 32 bits.
            const uint64_t id = uint64_t(data[at + 1] & 7) + uint64_t((data[at + 1] >> 3) & 3) * 1024 +
                                (data[at + 1] & 0x80 ? uint64_t(1) << 40 : 0);
            auto it = model.find(id);
            switch (op) {
                case 0:
                case 1: {  // put, put lossy: a second put only counts
                    pixman_image_t* image = new_image(++tag);
                    (op ? table->ops->put_lossy : table->ops->put)(table, id, image);
                    if (it == model.end()) {
                        model[id] = Entry{1, op == 1, image};
                    } else {
                        it->second.refs++;
                        canvas_image_unref(image);
                    }
                    break;
                }
                case 2:
                case 3: {  // get, get lossless
                    const bool lossless = op == 3;
                    pixman_image_t* got = fetch(table, id, lossless);
                    const bool present = it != model.end() && !(lossless && it->second.lossy);
                    if (present != (got != nullptr) || (got && got != it->second.image)) {
                        abort();
                    }
                    if (got) {
                        canvas_image_unref(got);
                    }
                    break;
                }
                case 4: {  // replace a lossy image with its lossless version
                    pixman_image_t* image = new_image(++tag);
                    bool thrown = false;
                    try {
                        table->ops->replace_lossy(table, id, image);
                    } catch (Exception&) {
                        thrown = true;
                    }
                    if (thrown != (it == model.end())) {
                        abort();
                    }
                    if (it != model.end()) {
                        canvas_image_unref(it->second.image);
                        it->second.image = image;
                        it->second.lossy = false;
                    } else {
                        canvas_image_unref(image);
                    }
                    break;
                }
                case 5: {
                    bool thrown = false;
                    try {
                        cache.remove(id);
                    } catch (Exception&) {
                        thrown = true;
                    }
                    if (thrown != (it == model.end())) {
                        abort();
                    }
                    if (it != model.end() && --it->second.refs == 0) {
                        canvas_image_unref(it->second.image);
                        model.erase(it);
                    }
                    break;
                }
                case 6:
                    cache.clear();
                    for (auto& entry : model) {
                        canvas_image_unref(entry.second.image);
                    }
                    model.clear();
                    break;
            }
        }
    }
    for (auto& entry : model) {
        canvas_image_unref(entry.second.image);
    }
    return 0;
}
