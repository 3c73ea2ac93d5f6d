// Images by id, for the image caches that the canvas tests and fuzz targets plug into a canvas.
#pragma once

#include <pixman.h>

#include <cstdint>
#include <map>

namespace canvas_test {

// Keeps one reference per image.
struct ImageMap {
    std::map<uint64_t, pixman_image_t*> images;

    ImageMap() = default;
    ImageMap(const ImageMap&) = delete;
    ImageMap& operator=(const ImageMap&) = delete;
    ~ImageMap() {
        for (auto& entry : images) {
            pixman_image_unref(entry.second);
        }
    }

    // In place of any image stored under the id.
    void store(uint64_t id, pixman_image_t* image) {
        pixman_image_ref(image);
        if (images.count(id)) {
            pixman_image_unref(images[id]);
        }
        images[id] = image;
    }

    // A reference of the caller's own; null when nothing is stored under the id.
    pixman_image_t* find(uint64_t id) const {
        auto it = images.find(id);
        return it == images.end() ? nullptr : pixman_image_ref(it->second);
    }
};

}  // namespace canvas_test
