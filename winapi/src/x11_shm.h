// Window back buffers in shared memory, so that presenting them is XShmPutImage instead of sending every
// pixel through the connection. Used where the X server offers MIT-SHM and accepts our segment (a server on
// another machine does not); everywhere else the back buffer is ordinary memory and presenting is XPutImage.
// Setting KTW_X11_NO_SHM in the environment turns shared memory off (for comparing the two paths).
#pragma once

#include <X11/Xlib.h>
#include <pixman.h>

namespace winapi_internal {

// GUI thread. An x8r8g8b8 image whose pixels live in a segment the server has attached; null when shared
// memory is off, unsupported, or the server refused it (the caller then makes an ordinary image). The
// segment goes with the image's last reference.
pixman_image_t* x11_shm_create_image(int width, int height);

// GUI thread. Puts the rectangle of an image made by x11_shm_create_image to the drawable and waits until
// the server has read it, so the caller may draw into the image again. False when the image is not in
// shared memory (nothing was done).
bool x11_shm_put(Drawable drawable, GC gc, pixman_image_t* image, int left, int top, int width, int height);

// Whether the image was made by x11_shm_create_image.
bool x11_shm_is_shared(pixman_image_t* image);

}  // namespace winapi_internal
