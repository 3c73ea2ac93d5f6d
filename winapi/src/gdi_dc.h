// Device contexts inside the layer. A memory DC draws into the bitmap selected in it; a DC made over an
// image draws into memory that someone else owns (a window's back buffer), which the owner then shows.
#pragma once

#include "winapi/wingdi.h"

typedef union pixman_image pixman_image_t;

namespace winapi_internal {

// A DC drawing into an externally owned pixman image (32-bit a8r8g8b8/x8r8g8b8, or 16-bit r5g6b5/x1r5g5b5).
// The image must outlive the DC; the DC takes no reference. NULL when the image has another format.
// Release it with dc_release, never with DeleteDC or ReleaseDC.
HDC dc_create_over_image(pixman_image_t* image);
void dc_release(HDC dc);

// The image the DC draws into: the one given to dc_create_over_image, or for a memory DC the image over the
// selected bitmap's pixels (NULL when that bitmap has no pixman form, e.g. 1 bit per pixel). Not referenced.
pixman_image_t* dc_target_image(HDC dc);

}  // namespace winapi_internal
