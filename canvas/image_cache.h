// The image-cache face the canvas code draws through: a record whose first field points to a table of
// operations, so any cache that starts with this record can serve a canvas.
#pragma once

#include <pixman.h>

#include <cstdint>

struct SpiceImageCache;

// Every fetch returns its own image reference, which the caller releases. A fetch may wait for an image
// another display channel has not stored yet, and throws Exception when that wait is given up.
struct SpiceImageCacheOps {
    void (*put)(SpiceImageCache* cache, uint64_t id, pixman_image_t* image);
    pixman_image_t* (*get)(SpiceImageCache* cache, uint64_t id);
    void (*put_lossy)(SpiceImageCache* cache, uint64_t id, pixman_image_t* image);
    void (*replace_lossy)(SpiceImageCache* cache, uint64_t id, pixman_image_t* image);
    pixman_image_t* (*get_lossless)(SpiceImageCache* cache, uint64_t id);
};

struct SpiceImageCache {
    const SpiceImageCacheOps* ops;
};
