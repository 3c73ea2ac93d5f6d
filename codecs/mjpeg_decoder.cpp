#include "codecs/mjpeg_decoder.h"

#include <algorithm>
#include <cstring>

#include "runtime/log.h"

namespace {

void source_nothing(j_decompress_ptr) {}

// Returning false makes libjpeg suspend: the rest of the frame comes with the next call.
boolean source_fill_input_buffer(j_decompress_ptr) {
    return FALSE;
}

}  // namespace

MJpegDecoder::MJpegDecoder(int width, int height, int stride, uint8_t* frame, bool back_compat)
    : _width(width), _height(height), _stride(stride), _frame(frame), _back_compat(back_compat) {
    jpeg_decompress_create(&_cinfo, &_error, "MJpegDecoder");
    _source.init_source = source_nothing;
    _source.fill_input_buffer = source_fill_input_buffer;
    _source.skip_input_data = skip_input_data;
    _source.resync_to_restart = jpeg_resync_to_restart;
    _source.term_source = source_nothing;
    _source.next_input_byte = nullptr;
    _source.bytes_in_buffer = 0;
    _source.owner = this;
    _cinfo.src = &_source;
}

MJpegDecoder::~MJpegDecoder() {
    jpeg_destroy_decompress(&_cinfo);
}

bool MJpegDecoder::decode_data(const uint8_t* data, size_t length) {
    if (_extra_skip != 0) {
        if (_extra_skip >= length) {
            _extra_skip -= length;
            return false;
        }
        data += _extra_skip;
        length -= size_t(_extra_skip);
        _extra_skip = 0;
    }

    // Decode in place when nothing is buffered; copy only what libjpeg leaves unread.
    bool from_data = _start == _end;
    if (from_data) {
        _start = _end = 0;
        _source.next_input_byte = data;
        _source.bytes_in_buffer = length;
    } else {
        if (!append(data, length)) {
            drop_frame();
            return false;
        }
        _source.next_input_byte = _buffer.data() + _start;
        _source.bytes_in_buffer = _end - _start;
    }

    int result = run_states();
    if (result < 0) {
        drop_frame();
        return false;
    }
    if (!keep_unread(from_data)) {
        drop_frame();  // a frame completed by this call stays complete
    }
    return result > 0;
}

int MJpegDecoder::run_states() {
    if (setjmp(_error.jump)) {
        return -1;
    }
    switch (_state) {
        case READ_HEADER:
            if (jpeg_read_header(&_cinfo, TRUE) == JPEG_SUSPENDED) {
                return 0;
            }
            _cinfo.do_fancy_upsampling = FALSE;
            _cinfo.do_block_smoothing = FALSE;
            // Pixel value (r << 16) | (g << 8) | b, little-endian: blue, green, red, 0 in memory. Servers of
            // the first protocol version send the components the other way round: red first.
            _cinfo.out_color_space = _back_compat ? JCS_EXT_RGBX : JCS_EXT_BGRX;
            // A frame of another size would not fit the frame buffer.
            if (int64_t(_cinfo.image_width) != _width) {
                LOG_FATAL("%s panic %s", "MJpegDecoder::decode_data", "_cinfo.image_width != _width");
                return -1;
            }
            if (int64_t(_cinfo.image_height) != _height) {
                LOG_FATAL("%s panic %s", "MJpegDecoder::decode_data", "_cinfo.image_height != _height");
                return -1;
            }
            _state = START_DECOMPRESS;
            [[fallthrough]];
        case START_DECOMPRESS:
            if (!jpeg_start_decompress(&_cinfo)) {
                return 0;
            }
            if (int64_t(_cinfo.output_width) != _width || int64_t(_cinfo.output_height) != _height ||
                _cinfo.output_components != 4) {
                LOG_WARN("unexpected output %ux%u x%d", _cinfo.output_width, _cinfo.output_height,
                         _cinfo.output_components);
                return -1;
            }
            _state = READ_SCANLINES;
            [[fallthrough]];
        case READ_SCANLINES:
            while (_y < _height) {
                JSAMPROW rows[kJpegRowsPerRead];
                const int count = int(std::min<int64_t>(kJpegRowsPerRead, _height - _y));
                for (int k = 0; k < count; k++) {
                    rows[k] = _frame + ptrdiff_t(_y + k) * _stride;
                }
                const int read = int(jpeg_read_scanlines(&_cinfo, rows, JDIMENSION(count)));
                if (read <= 0) {
                    return 0;
                }
                for (int k = 0; k < read; k++) {
                    clear_fourth_bytes(rows[k], uint32_t(_width));
                }
                _y += read;
            }
            _state = FINISH_DECOMPRESS;
            [[fallthrough]];
        case FINISH_DECOMPRESS:
            if (!jpeg_finish_decompress(&_cinfo)) {
                return 0;
            }
            _y = 0;
            _state = READ_HEADER;
            return 1;
    }
    return -1;
}

// Keeps what libjpeg left unread for the next call.
bool MJpegDecoder::keep_unread(bool source_was_data) {
    if (source_was_data) {
        return append(_source.next_input_byte, _source.bytes_in_buffer);
    }
    _start = size_t(_source.next_input_byte - _buffer.data());
    _end = _start + _source.bytes_in_buffer;
    return true;
}

bool MJpegDecoder::append(const uint8_t* data, size_t n) {
    size_t unread = _end - _start;
    if (n > kMaxCarryOver - unread) {
        LOG_WARN("more than %zu bytes of a frame left unread", kMaxCarryOver);
        return false;
    }
    if (n == 0) {
        return true;
    }
    if (_buffer.size() - _end < n) {
        if (_buffer.size() - unread < n) {
            std::vector<uint8_t> grown(_buffer.size() + 2 * n);
            if (unread != 0) {
                memcpy(grown.data(), _buffer.data() + _start, unread);
            }
            _buffer.swap(grown);
        } else {
            memmove(_buffer.data(), _buffer.data() + _start, unread);
        }
        _start = 0;
        _end = unread;
    }
    memcpy(_buffer.data() + _end, data, n);
    _end += n;
    return true;
}

void MJpegDecoder::drop_frame() {
    LOG_WARN("MJPEG frame dropped");
    jpeg_abort_decompress(&_cinfo);
    _state = READ_HEADER;
    _y = 0;
    _start = _end = 0;
    _extra_skip = 0;
}

// A skip past the bytes at hand (a long marker segment split over calls) carries the rest over to later data.
void MJpegDecoder::skip_input_data(j_decompress_ptr cinfo, long num_bytes) {
    if (num_bytes <= 0) {
        return;
    }
    Source* src = static_cast<Source*>(cinfo->src);
    if (uint64_t(num_bytes) <= src->bytes_in_buffer) {
        src->next_input_byte += num_bytes;
        src->bytes_in_buffer -= size_t(num_bytes);
    } else {
        src->owner->_extra_skip = uint64_t(num_bytes) - src->bytes_in_buffer;
        src->next_input_byte += src->bytes_in_buffer;
        src->bytes_in_buffer = 0;
    }
}
