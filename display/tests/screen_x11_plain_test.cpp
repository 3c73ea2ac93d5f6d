// The composed layers reach the window on the X server without shared memory (XPutImage).
#include "support/screen_pixels.h"

#include <cstdlib>

TEST(ScreenX11PlainTest, WindowShowsTheComposedLayers) {
    KTW_REQUIRE_XVFB();
    setenv("KTW_X11_NO_SHM", "1", 1);
    screen_pixels::check(false);
}
