// References to pixman images that more than one thread may hold. pixman counts an image's references without
// atomics, and images travel between the session's display channels (the shared pixmap cache, the GLZ
// window), so every reference the canvas code takes or drops goes through these two, which serialise the
// count.
#pragma once

#include <pixman.h>

pixman_image_t* canvas_image_ref(pixman_image_t* image);
// Null is ignored.
void canvas_image_unref(pixman_image_t* image);
