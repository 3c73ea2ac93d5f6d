// MJPEG decoder of one video stream: decodes the stream's frames into its frame buffer. The decoder keeps
// libjpeg's state between calls, so a frame may arrive in several pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first
#include <vector>

#include "winapi/wintypes.h"  // before jpeglib.h: one INT32 for both

#include <jpeglib.h>

#include "codecs/jpeg_common.h"

// Owned by its video stream and used only on the display channel's thread.
class MJpegDecoder {
public:
    // frame holds height rows of width 32-bit pixels, stride bytes apart; it must outlive the decoder. With
    // back_compat (servers of protocol major version 1) red lands in the first byte of a pixel, else blue.
    MJpegDecoder(int width, int height, int stride, uint8_t* frame, bool back_compat);
    ~MJpegDecoder();
    MJpegDecoder(const MJpegDecoder&) = delete;
    MJpegDecoder& operator=(const MJpegDecoder&) = delete;

    // Feeds the next bytes of the stream; true when this call completed a frame in the frame buffer. A frame
    // that is corrupt, of another size than the stream's, or whose unread input would pass the carry-over
    // cap, is dropped with a warning (false), and the input buffered so far with it: decoding starts afresh
    // with the next data, which should begin a new frame.
    bool decode_data(const uint8_t* data, size_t length);

    // Most input bytes kept between calls. libjpeg consumes a frame arriving in pieces as it comes, leaving
    // only an unfinished block or marker, and the bytes after a completed frame; a legitimate stream stays
    // far below.
    static constexpr size_t kMaxCarryOver = size_t(16) << 20;

private:
    enum State { READ_HEADER, START_DECOMPRESS, READ_SCANLINES, FINISH_DECOMPRESS };

    int run_states();  // 1 frame done, 0 suspended for more data, -1 frame failed
    bool keep_unread(bool source_was_data);
    bool append(const uint8_t* data, size_t n);
    void drop_frame();
    static void skip_input_data(j_decompress_ptr cinfo, long num_bytes);

    struct Source : jpeg_source_mgr {
        MJpegDecoder* owner;
    };

    int _width;
    int _height;
    int _stride;
    uint8_t* _frame;
    bool _back_compat;

    jpeg_decompress_struct _cinfo;
    JpegErrorManager _error;
    Source _source;

    int _y = 0;
    State _state = READ_HEADER;

    std::vector<uint8_t> _buffer;  // input kept between calls: the unread bytes are [_start, _end)
    size_t _start = 0;
    size_t _end = 0;
    uint64_t _extra_skip = 0;  // bytes of a skip request still to drop from the following data
};
