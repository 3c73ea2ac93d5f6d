#include "codecs/jpeg_decoder.h"

#include <algorithm>
#include <cstring>

#include "runtime/exception.h"
#include "runtime/log.h"

namespace {

// Bitmap format 7 is blue, green, red; format 8 the same and a fourth byte 0.
const JpegDecoder::OutputLayout* layout_for(int format) {
    static const JpegDecoder::OutputLayout bgr = {JCS_EXT_BGR, 3, nullptr};
    static const JpegDecoder::OutputLayout bgrx = {JCS_EXT_BGRX, 4, clear_fourth_bytes};
    switch (format) {
        case JPEG_BITMAP_FMT_24BIT:
            return &bgr;
        case JPEG_BITMAP_FMT_32BIT:
            return &bgrx;
        default:
            return nullptr;
    }
}

void source_nothing(j_decompress_ptr) {}

// The whole image is in memory: a request for more data means the JPEG ends before the image does.
boolean source_fill_input_buffer(j_decompress_ptr cinfo) {
    LOG_FATAL("no more data for jpeg");
    jpeg_error_fail(reinterpret_cast<j_common_ptr>(cinfo));
}

// Never past the end of the data: a skip longer than what is left stops at the end, and the next read fails.
void source_skip_input_data(j_decompress_ptr cinfo, long num_bytes) {
    if (num_bytes <= 0) {
        return;
    }
    jpeg_source_mgr* src = cinfo->src;
    size_t n = size_t(num_bytes) < src->bytes_in_buffer ? size_t(num_bytes) : src->bytes_in_buffer;
    src->next_input_byte += n;
    src->bytes_in_buffer -= n;
}

bool jpeg_begin_decode_slot(SpiceJpegDecoder* face, const uint8_t* data, uint32_t size, int* width,
                            int* height);
bool jpeg_decode_slot(SpiceJpegDecoder* face, uint8_t* dest, int stride, int format);

const SpiceJpegDecoderOps jpeg_decoder_ops = {jpeg_begin_decode_slot, jpeg_decode_slot};

}  // namespace

JpegDecoder::JpegDecoder() {
    _face.ops = &jpeg_decoder_ops;
    _face.owner = this;
    jpeg_decompress_create(&_cinfo, &_error, "JpegDecoder");
    _source.init_source = source_nothing;
    _source.fill_input_buffer = source_fill_input_buffer;
    _source.skip_input_data = source_skip_input_data;
    _source.resync_to_restart = jpeg_resync_to_restart;
    _source.term_source = source_nothing;
    _source.next_input_byte = nullptr;
    _source.bytes_in_buffer = 0;
    _cinfo.src = &_source;
}

JpegDecoder::~JpegDecoder() {
    jpeg_destroy_decompress(&_cinfo);
}

bool JpegDecoder::begin(const uint8_t* data, uint32_t size, int* out_width, int* out_height) {
    if (_begun) {
        jpeg_abort_decompress(&_cinfo);
        _begun = false;
    }
    if (!data) {
        return false;
    }
    _source.next_input_byte = data;
    _source.bytes_in_buffer = size;
    if (setjmp(_error.jump)) {
        jpeg_abort_decompress(&_cinfo);
        return false;
    }
    jpeg_read_header(&_cinfo, TRUE);
    _cinfo.out_color_space = JCS_RGB;
    _width = int(_cinfo.image_width);
    _height = int(_cinfo.image_height);
    *out_width = _width;
    *out_height = _height;
    _begun = true;
    return true;
}

bool JpegDecoder::decode(uint8_t* dest, int stride, int format) {
    _layout = layout_for(format);
    if (!_layout) {
        THROW("bad bitmap format, %d", format);
    }
    if (!_begun) {
        LOG_WARN("no image begun");
        return false;
    }
    _begun = false;
    if (setjmp(_error.jump)) {
        jpeg_abort_decompress(&_cinfo);
        return false;
    }
    _cinfo.out_color_space = _layout->color_space;
    jpeg_start_decompress(&_cinfo);
    // A picture that decodes to other rows than width pixels of the layout would not fit the caller's
    // surface.
    if (_cinfo.output_width != JDIMENSION(_width) || _cinfo.output_height != JDIMENSION(_height) ||
        _cinfo.output_components != _layout->components) {
        LOG_WARN("unexpected output %ux%u x%d", _cinfo.output_width, _cinfo.output_height,
                 _cinfo.output_components);
        jpeg_abort_decompress(&_cinfo);
        return false;
    }
    // The rows of a read that lie end to end have their fourth bytes cleared by one call, not one per row.
    const bool contiguous = ptrdiff_t(stride) == ptrdiff_t(_width) * _layout->components;
    auto finish = [&](JSAMPROW* rows, int count) {
        if (!_layout->finish_row || count <= 0) {
            return;
        }
        if (contiguous) {
            _layout->finish_row(rows[0], uint32_t(_width) * uint32_t(count));
            return;
        }
        for (int k = 0; k < count; k++) {
            _layout->finish_row(rows[k], uint32_t(_width));
        }
    };
    // Each read asks for the next kJpegRowsPerRead rows (all that are left at the end); the pointers of rows
    // not yet read move down for the next one, which sets only those that follow them.
    JSAMPROW rows[kJpegRowsPerRead];
    int pointed = 0;
    for (int y = 0; y < _height;) {
        const int count = std::min(kJpegRowsPerRead, _height - y);
        for (int k = pointed; k < count; k++) {
            rows[k] = dest + ptrdiff_t(y + k) * stride;
        }
        // The whole image is in memory: libjpeg returns no rows only when the data ends too early.
        const int read = int(jpeg_read_scanlines(&_cinfo, rows, JDIMENSION(count)));
        if (read <= 0) {
            jpeg_abort_decompress(&_cinfo);
            return false;
        }
        finish(rows, read);
        y += read;
        pointed = count - std::min(read, count);
        memmove(rows, rows + (count - pointed), sizeof(JSAMPROW) * size_t(pointed));
    }
    jpeg_finish_decompress(&_cinfo);
    return true;
}

namespace {

bool jpeg_begin_decode_slot(SpiceJpegDecoder* face, const uint8_t* data, uint32_t size, int* width,
                            int* height) {
    return static_cast<JpegDecoder::Face*>(face)->owner->begin(data, size, width, height);
}

bool jpeg_decode_slot(SpiceJpegDecoder* face, uint8_t* dest, int stride, int format) {
    return static_cast<JpegDecoder::Face*>(face)->owner->decode(dest, stride, format);
}

}  // namespace
