// Small GDI helpers shared by the drawables, the pixel sources and the window layers.
#pragma once

#include "winapi/windows.h"

// A memory device context compatible with the screen. Throws Exception on failure.
HDC create_compatible_dc();

// The program's 32-bit bitmap resource id as a top-down DIB section (not selected anywhere) with its colours
// premultiplied by alpha. Throws Exception on failure.
HBITMAP get_alpha_bitmap_res(int id);

// DeleteDC / DeleteObject of what the holder keeps, if anything; the holder is cleared.
void release_dc(HDC* holder);
void delete_gdi_object(HGDIOBJ* holder);
