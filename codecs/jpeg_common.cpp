#include "codecs/jpeg_common.h"

#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/log.h"

namespace {

void log_message(j_common_ptr cinfo) {
    auto* error = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    LOG_WARN("%s: %s", error->owner, text);
}

[[noreturn]] void error_exit(j_common_ptr cinfo) {
    (*cinfo->err->output_message)(cinfo);
    jpeg_error_fail(cinfo);
}

// Corrupt-data warnings come once per bad spot and the picture is still produced; keep them out of the
// warning log, where a stream of bad frames would flood it.
void emit_message(j_common_ptr cinfo, int msg_level) {
    if (msg_level < 0) {
        cinfo->err->num_warnings++;
        if (cinfo->err->num_warnings == 1) {
            char text[JMSG_LENGTH_MAX];
            (*cinfo->err->format_message)(cinfo, text);
            LOG_DEBUG("%s: %s", reinterpret_cast<JpegErrorManager*>(cinfo->err)->owner, text);
        }
    }
}

// Each scan of a multi-scan picture is a pass over the whole image, so a stream of tiny scans would keep the
// decoder busy for minutes.
void progress_monitor(j_common_ptr cinfo) {
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kJpegMaxScans) {
        LOG_WARN("%s: more than %d scans", reinterpret_cast<JpegErrorManager*>(cinfo->err)->owner,
                 kJpegMaxScans);
        jpeg_error_fail(cinfo);
    }
}

}  // namespace

void jpeg_decompress_create(jpeg_decompress_struct* cinfo, JpegErrorManager* error, const char* owner) {
    cinfo->err = jpeg_std_error(&error->pub);
    error->pub.error_exit = error_exit;
    error->pub.output_message = log_message;
    error->pub.emit_message = emit_message;
    error->owner = owner;
    if (setjmp(error->jump)) {
        jpeg_destroy_decompress(cinfo);
        throw std::bad_alloc();  // only memory can be short here; this frame is ours, not libjpeg's
    }
    // The interface version is the one of the library we build against (jpeg62 for Debian's libjpeg-turbo).
    jpeg_CreateDecompress(cinfo, JPEG_LIB_VERSION, sizeof(*cinfo));
    error->progress = {};
    error->progress.progress_monitor = progress_monitor;
    cinfo->progress = &error->progress;
    cinfo->mem->max_memory_to_use = kJpegMaxMemory;
}

void jpeg_error_fail(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}

void clear_fourth_bytes(uint8_t* row, uint32_t count) {
    uint32_t i = 0;
#if defined(__SSE2__)
    // Sixteen pixels a step through a vector AND, then four.
    const __m128i keep = _mm_set1_epi32(0x00FFFFFF);
    for (; i + 16 <= count; i += 16) {
        __m128i* p = reinterpret_cast<__m128i*>(row + 4 * i);
        _mm_storeu_si128(p, _mm_and_si128(_mm_loadu_si128(p), keep));
        _mm_storeu_si128(p + 1, _mm_and_si128(_mm_loadu_si128(p + 1), keep));
        _mm_storeu_si128(p + 2, _mm_and_si128(_mm_loadu_si128(p + 2), keep));
        _mm_storeu_si128(p + 3, _mm_and_si128(_mm_loadu_si128(p + 3), keep));
    }
    for (; i + 4 <= count; i += 4) {
        __m128i* p = reinterpret_cast<__m128i*>(row + 4 * i);
        _mm_storeu_si128(p, _mm_and_si128(_mm_loadu_si128(p), keep));
    }
#else
    // Four pixels at a time through a mask, whatever the byte order.
    static const uint8_t keep[8] = {0xFF, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0};
    uint64_t mask;
    memcpy(&mask, keep, 8);
    for (; i + 4 <= count; i += 4) {
        uint64_t pixels[2];
        memcpy(pixels, row + 4 * i, 16);
        pixels[0] &= mask;
        pixels[1] &= mask;
        memcpy(row + 4 * i, pixels, 16);
    }
#endif
    for (; i < count; i++) {
        row[4 * i + 3] = 0;
    }
}
