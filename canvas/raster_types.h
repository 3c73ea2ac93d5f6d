// Types the raster helpers share with the canvas: the two-operand raster operation, the SPICE surface formats
// and the bitwise meaning of each raster operation.
#pragma once

#include <cstdint>

// The two-operand raster operation of the software canvas: the logic functions of the X graphics context, in
// the same order. For source bit s and destination bit d the result is bit 3 - (2s + d) of the code.
enum RasterOp : uint8_t {
    ROP_CLEAR = 0,           // 0
    ROP_AND = 1,             // s & d
    ROP_AND_REVERSE = 2,     // s & ~d
    ROP_COPY = 3,            // s
    ROP_AND_INVERTED = 4,    // ~s & d
    ROP_NOOP = 5,            // d
    ROP_XOR = 6,             // s ^ d
    ROP_OR = 7,              // s | d
    ROP_NOR = 8,             // ~s & ~d
    ROP_EQUIV = 9,           // ~s ^ d
    ROP_INVERT = 10,         // ~d
    ROP_OR_REVERSE = 11,     // s | ~d
    ROP_COPY_INVERTED = 12,  // ~s
    ROP_OR_INVERTED = 13,    // ~s | d
    ROP_NAND = 14,           // ~s | ~d
    ROP_SET = 15,            // all ones
};

// Surface formats of SPICE surfaces: the low 6 bits are the bits per pixel.
enum {
    SPICE_SURFACE_FMT_1_A = 1,
    SPICE_SURFACE_FMT_8_A = 8,
    SPICE_SURFACE_FMT_16_555 = 16,
    SPICE_SURFACE_FMT_32_xRGB = 32,
    SPICE_SURFACE_FMT_16_565 = 80,
    SPICE_SURFACE_FMT_32_ARGB = 96,
};

// op applied to whole pixels s and d. The operation is a template argument so that callers instantiate one
// straight-line function per operation; nothing here branches at run time.
template <RasterOp op, typename T>
inline T raster_op_apply(T s, T d) {
    if constexpr (op == ROP_CLEAR) {
        return T(0);
    } else if constexpr (op == ROP_AND) {
        return T(s & d);
    } else if constexpr (op == ROP_AND_REVERSE) {
        return T(s & ~d);
    } else if constexpr (op == ROP_COPY) {
        return s;
    } else if constexpr (op == ROP_AND_INVERTED) {
        return T(~s & d);
    } else if constexpr (op == ROP_NOOP) {
        return d;
    } else if constexpr (op == ROP_XOR) {
        return T(s ^ d);
    } else if constexpr (op == ROP_OR) {
        return T(s | d);
    } else if constexpr (op == ROP_NOR) {
        return T(~(s | d));
    } else if constexpr (op == ROP_EQUIV) {
        return T(~(s ^ d));
    } else if constexpr (op == ROP_INVERT) {
        return T(~d);
    } else if constexpr (op == ROP_OR_REVERSE) {
        return T(s | ~d);
    } else if constexpr (op == ROP_COPY_INVERTED) {
        return T(~s);
    } else if constexpr (op == ROP_OR_INVERTED) {
        return T(~s | d);
    } else if constexpr (op == ROP_NAND) {
        return T(~(s & d));
    } else {
        static_assert(op == ROP_SET, "RasterOp has 16 values");
        return T(~T(0));
    }
}
