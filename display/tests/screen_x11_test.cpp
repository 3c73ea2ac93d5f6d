// The composed layers reach the window on the X server, presented from shared memory.
#include "support/screen_pixels.h"

TEST(ScreenX11Test, WindowShowsTheComposedLayers) {
    KTW_REQUIRE_XVFB();
    screen_pixels::check(true);
}
