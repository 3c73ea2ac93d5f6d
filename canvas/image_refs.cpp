#include "canvas/image_refs.h"

#include <mutex>

namespace {

// Never destroyed: images may be released by threads still running while the process exits.
std::mutex& refs_lock = *new std::mutex;

}  // namespace

pixman_image_t* canvas_image_ref(pixman_image_t* image) {
    std::lock_guard<std::mutex> guard(refs_lock);
    return pixman_image_ref(image);
}

void canvas_image_unref(pixman_image_t* image) {
    if (!image) {
        return;
    }
    std::lock_guard<std::mutex> guard(refs_lock);
    pixman_image_unref(image);
}
