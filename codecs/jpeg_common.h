// What the JPEG and MJPEG decoders share: error handling, limits and the last step of 32-bit rows.
//
// libjpeg's own error handler ends the process. Ours jumps back to the decoder, which fails that one image or
// frame: every libjpeg call of a decoder runs inside a function that set jump with setjmp first, keeps no C++
// object with a destructor alive across the call, and aborts the decompression after the jump.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstdio>

#include "winapi/wintypes.h"  // before jpeglib.h: one INT32 for both

#include <jpeglib.h>

struct JpegErrorManager {
    jpeg_error_mgr pub;  // first, so libjpeg's pointer to it is also a pointer to the whole record
    jpeg_progress_mgr progress;
    const char* owner;  // names the decoder in log lines
    jmp_buf jump;
};

// Creates the decompression object with this error manager, a progress monitor that refuses streams of very
// many scans and a memory limit. owner must outlive cinfo. Throws std::bad_alloc when libjpeg cannot set
// itself up.
void jpeg_decompress_create(jpeg_decompress_struct* cinfo, JpegErrorManager* error, const char* owner);

// Ends the current libjpeg call of the decoder that owns cinfo, back to its setjmp (reported by the caller).
[[noreturn]] void jpeg_error_fail(j_common_ptr cinfo);

// Limits on the work one untrusted image may cause. A picture of the display has one scan (a progressive one
// some ten), and libjpeg needs whole-image buffers only for progressive or multi-scan pictures.
constexpr int kJpegMaxScans = 100;
constexpr long kJpegMaxMemory = 256L << 20;

// Rows asked of libjpeg per read: it then works a whole band of blocks per call, not one row.
constexpr int kJpegRowsPerRead = 32;

// libjpeg writes the client's byte orders itself (the same colour conversion as for RGB, in another order)
// but fills the fourth byte of 32-bit pixels with 0xFF where the client's have 0.
void clear_fourth_bytes(uint8_t* row, uint32_t count);
