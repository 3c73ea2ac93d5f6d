// Ternary raster operations (ROP3) of the software canvas: a pattern or a solid colour P, a source image S
// and the destination D combined bit by bit under an 8-bit code, the Windows GDI numbering: result bit i is
// bit 4p + 2s + d of the code, so the code is what the operation yields for P = 0xF0, S = 0xCC, D = 0xAA.
//
// Every one of the 256 codes has its own handler per brush kind (pattern image or colour) and pixel width (16
// or 32 bits), its Boolean function compiled into the pixel loop; dispatch is one table lookup by the code.
// The tables are built at compile time. Pixels take part whole: the fourth byte of x8r8g8b8 and the top bit
// of x1r5g5b5 too.
#pragma once

#include <pixman.h>

#include <cstdint>

#include "transport/protocol/spice_types.h"

// The canvas operation-table set-ups call this last. The handler tables are constant, so nothing is left to
// do; any number of calls from any thread is harmless.
void init_rop3_handlers();

// Combines every pixel of d, the exact area to draw (written in place; rows may run either way):
//   d(x, y) = code(P, s(src_pos.x + x, src_pos.y + y), d(x, y))
// with P the pattern pixel ((pat_pos.x + x) mod pattern width, (pat_pos.y + y) mod pattern height), or the
// colour (its low 16 bits on 16-bit images). pat_pos may lie anywhere, negative included: it is reduced into
// the pattern. The images are 16- or 32-bit (depth 24 counts as 32 and 15 as 16), all of one pixel width; s
// holds d's size of pixels from src_pos; the pattern has at least one pixel. Anything else is reported at
// Warning and nothing is drawn: the images come from server data.
void do_rop3_with_pattern(uint8_t rop3, pixman_image_t* d, pixman_image_t* s, const SpicePoint* src_pos,
                          pixman_image_t* p, const SpicePoint* pat_pos);
void do_rop3_with_color(uint8_t rop3, pixman_image_t* d, pixman_image_t* s, const SpicePoint* src_pos,
                        uint32_t rgb);
