#include "canvas/pixmap_cache.h"

namespace {

PixmapCache* cache_of(SpiceImageCache* cache) {
    return static_cast<PixmapCache*>(static_cast<SpiceImageCacheBase*>(cache));
}

void image_put(SpiceImageCache* cache, uint64_t id, pixman_image_t* image) {
    cache_of(cache)->add(id, image);
}

pixman_image_t* image_get(SpiceImageCache* cache, uint64_t id) {
    return cache_of(cache)->get(id);
}

void image_put_lossy(SpiceImageCache* cache, uint64_t id, pixman_image_t* image) {
    cache_of(cache)->add(id, image, true);
}

void image_replace_lossy(SpiceImageCache* cache, uint64_t id, pixman_image_t* image) {
    cache_of(cache)->replace(id, image);
}

pixman_image_t* image_get_lossless(SpiceImageCache* cache, uint64_t id) {
    return cache_of(cache)->get_lossless(id);
}

const SpiceImageCacheOps pixmap_cache_ops = {
    image_put, image_get, image_put_lossy, image_replace_lossy, image_get_lossless,
};

}  // namespace

SpiceImageCacheBase::SpiceImageCacheBase() {
    ops = &pixmap_cache_ops;
}
