#include "display/video_streams.h"

#include <cstring>

#include "codecs/mjpeg_decoder.h"
#include "runtime/exception.h"
#include "runtime/log.h"

namespace {

const uint32_t CODEC_MJPEG = 1;
const int32_t LATE_MS = 15;

// a is before b on the wrapping multimedia clock.
bool before(uint32_t a, uint32_t b) {
    return int32_t(a - b) < 0;
}

}  // namespace

class VideoStream {
public:
    VideoStream(VideoStreams& owner, Canvas& canvas, uint32_t surface_id,
                const SpiceMsgDisplayStreamCreate& create, bool back_compat);
    // Logs what became of the stream's frames.
    ~VideoStream();
    VideoStream(const VideoStream&) = delete;
    VideoStream& operator=(const VideoStream&) = delete;

    void set_clip(const SpiceClip& clip);
    // Channel thread.
    void push_data(uint32_t mm_time, const uint8_t* data, uint32_t size);
    void update();
    // Main thread: the update time, when it is still pending after this call, or 0.
    uint32_t handle_timer_update(uint32_t now);
    // Channel thread, from the trigger: the update mark is cleared when the completed mark reached it.
    bool release_mark(uint64_t completed);

    std::vector<uint32_t> queued_times() const;

    const uint32_t id;
    const uint32_t surface_id;
    VideoStream* next = nullptr;  // in the active list

private:
    struct Frame {
        uint32_t mm_time = 0;
        std::vector<uint8_t> data;
    };

    void drop_late_frames(uint32_t now);
    void free_head();

    VideoStreams& _owner;
    Canvas& _canvas;
    const uint32_t _stream_width;
    const uint32_t _stream_height;
    const uint32_t _src_width;
    const uint32_t _src_height;
    const SpiceRect _dest;
    bool _clipped = false;
    pixman_region32_t _clip;

    std::vector<uint8_t> _pixels;  // stream height rows of stream width 32-bit pixels
    const uint8_t* _first_row;
    int _row_step;
    std::unique_ptr<MJpegDecoder> _decoder;

    Frame _ring[VideoStreams::RING_SIZE];
    uint32_t _head = 0;  // channel thread only, like the ring
    uint32_t _tail = 0;
    uint32_t _kill = 0;

    // Channel thread: frames received, drawn onto the surface, and lost (late, pushed out of a full ring,
    // or undecodable).
    uint32_t _frames_received = 0;
    uint32_t _frames_drawn = 0;
    uint32_t _frames_late = 0;
    uint32_t _frames_pushed_out = 0;
    uint32_t _frames_undecodable = 0;

    Mutex _update_lock;
    uint64_t _update_mark = 0;  // the screen update showing the last frame; 0: none pending
    uint32_t _update_time = 0;  // a frame decoded early waits for this time; 0: none
};

VideoStream::VideoStream(VideoStreams& owner, Canvas& canvas, uint32_t surface_id,
                         const SpiceMsgDisplayStreamCreate& create, bool back_compat)
    : id(create.id),
      surface_id(surface_id),
      _owner(owner),
      _canvas(canvas),
      _stream_width(create.stream_width),
      _stream_height(create.stream_height),
      _src_width(create.src_width),
      _src_height(create.src_height),
      _dest(create.dest) {
    if (create.codec_type != CODEC_MJPEG) {
        THROW("invalid video codec type %u", create.codec_type);
    }
    const size_t stride = size_t(_stream_width) * 4;
    _pixels.assign(stride * _stream_height, 0);
    _decoder.reset(
        new MJpegDecoder(int(_stream_width), int(_stream_height), int(stride), _pixels.data(), back_compat));
    if (create.flags & 1) {  // top-down
        _first_row = _pixels.data();
        _row_step = int(stride);
    } else {
        _first_row = _pixels.data() + stride * (_stream_height - 1);
        _row_step = -int(stride);
    }
    pixman_region32_init(&_clip);
    set_clip(create.clip);
    LOG_INFO("stream %u: %ux%u MJPEG of %ux%u onto surface %u at (%d,%d)-(%d,%d)", id, _stream_width,
             _stream_height, _src_width, _src_height, surface_id, _dest.left, _dest.top, _dest.right,
             _dest.bottom);
}

VideoStream::~VideoStream() {
    LOG_INFO("stream %u ended: %u frames received, %u drawn, %u late, %u pushed out, %u undecodable", id,
             _frames_received, _frames_drawn, _frames_late, _frames_pushed_out, _frames_undecodable);
    pixman_region32_fini(&_clip);
}

void VideoStream::set_clip(const SpiceClip& clip) {
    pixman_region32_clear(&_clip);
    _clipped = false;
    if (clip.type != SPICE_CLIP_TYPE_RECTS || !clip.rects) {
        return;
    }
    for (uint32_t i = 0; i < clip.rects->num_rects; i++) {
        const SpiceRect& r = clip.rects->rects[i];
        if (int64_t(r.right) <= r.left || int64_t(r.bottom) <= r.top) {
            continue;
        }
        pixman_region32_union_rect(&_clip, &_clip, r.left, r.top, uint32_t(int64_t(r.right) - r.left),
                                   uint32_t(int64_t(r.bottom) - r.top));
    }
    _clipped = true;
}

void VideoStream::drop_late_frames(uint32_t now) {
    while (_head != _tail && int32_t(_ring[_head % VideoStreams::RING_SIZE].mm_time - now) < -LATE_MS) {
        _frames_late++;
        free_head();
    }
}

void VideoStream::free_head() {
    Frame& frame = _ring[_head % VideoStreams::RING_SIZE];
    std::vector<uint8_t>().swap(frame.data);
    _head++;
}

void VideoStream::push_data(uint32_t mm_time, const uint8_t* data, uint32_t size) {
    const uint32_t RING = VideoStreams::RING_SIZE;
    update();
    if (_tail - _head == RING) {
        // Drop one frame spread over the queue rather than the newest or the oldest: tail - 2, tail - 3, ...
        const uint32_t victim = _tail - (_kill % (RING - 2)) - 2;
        _kill++;
        _frames_pushed_out++;
        std::vector<uint8_t>().swap(_ring[victim % RING].data);
        for (uint32_t at = victim; at != _head; at--) {
            std::swap(_ring[at % RING], _ring[(at - 1) % RING]);
        }
        _head++;
    }
    _frames_received++;
    Frame& frame = _ring[_tail % RING];
    frame.data.assign(data, data + size);
    frame.mm_time = mm_time ? mm_time : 1;
    _tail++;
    update();
}

void VideoStream::update() {
    VideoStreamsHost& host = _owner._host;
    uint32_t now = host.get_mm_time();
    drop_late_frames(now);
    {
        Lock lock(_update_lock);
        if (_update_mark || _update_time) {
            return;
        }
    }
    if (_head == _tail) {
        return;
    }
    Frame& frame = _ring[_head % VideoStreams::RING_SIZE];
    if (_decoder->decode_data(frame.data.data(), frame.data.size())) {
        SpiceCanvas* canvas = _canvas.get_internal_canvas();
        canvas->ops->put_image(canvas, nullptr, &_dest, _first_row, _src_width, _src_height, _row_step,
                               _clipped ? &_clip : nullptr);
        _canvas.touched_bbox(&_dest);
        _frames_drawn++;
        const RECT rect = {_dest.left, _dest.top, _dest.right, _dest.bottom};
        now = host.get_mm_time();
        if (frame.mm_time - now + LATE_MS > 2 * LATE_MS) {
            {
                Lock lock(_update_lock);
                _update_time = frame.mm_time;
            }
            _owner.arm_timer(frame.mm_time);
        } else {
            // Invalidated under the update lock, so that the timer never sees a frame neither pending nor
            // marked while its invalidation is on the way.
            {
                Lock lock(_update_lock);
                _update_mark = host.invalidate_layer_urgent(rect);
            }
            host.yield();
        }
    } else {
        _frames_undecodable++;
    }
    free_head();
}

uint32_t VideoStream::handle_timer_update(uint32_t now) {
    Lock lock(_update_lock);
    if (!_update_time) {
        return 0;
    }
    if (_update_time - now + LATE_MS > 2 * LATE_MS) {
        const uint32_t time = _update_time;
        if (before(_update_time, now)) {
            LOG_DEBUG("to late");
            _update_time = 0;
        }
        return time;
    }
    _update_time = 0;
    const RECT rect = {_dest.left, _dest.top, _dest.right, _dest.bottom};
    _update_mark = _owner._host.invalidate_screen_urgent(rect);
    return 0;
}

bool VideoStream::release_mark(uint64_t completed) {
    Lock lock(_update_lock);
    if (!_update_mark || _update_mark > completed) {
        return false;
    }
    _update_mark = 0;
    return true;
}

std::vector<uint32_t> VideoStream::queued_times() const {
    std::vector<uint32_t> times;
    for (uint32_t at = _head; at != _tail; at++) {
        times.push_back(_ring[at % VideoStreams::RING_SIZE].mm_time);
    }
    return times;
}

// ---- VideoStreams ----

VideoStreams::VideoStreams(VideoStreamsHost& host) : _host(host) {}

VideoStreams::~VideoStreams() {
    clear_streams();
}

VideoStream* VideoStreams::stream_of(uint32_t id) {
    if (id >= _table.size() || !_table[id]) {
        THROW("invalid stream");
    }
    return _table[id];
}

void VideoStreams::create(const SpiceMsgDisplayStreamCreate& create, bool back_compat) {
    canvas_debug_trace("[GDICANVAS][%s][%d]handle stream id %d create 0x%x dest( %d %d %d %d )", __FUNCTION__,
                       __LINE__, create.id, create.flags, create.dest.left, create.dest.top,
                       create.dest.right, create.dest.bottom);
    // Every size comes from the server: the id indexes the table, the sizes make the pixels, and the source
    // is read from those pixels.
    if (create.id > MAX_STREAM_ID) {
        THROW("stream id %u out of range", create.id);
    }
    if (create.stream_width == 0 || create.stream_height == 0 || create.stream_width > MAX_STREAM_SIDE ||
        create.stream_height > MAX_STREAM_SIDE ||
        uint64_t(create.stream_width) * create.stream_height > MAX_STREAM_PIXELS) {
        THROW("stream size %ux%u refused", create.stream_width, create.stream_height);
    }
    if (create.src_width == 0 || create.src_height == 0 || create.src_width > create.stream_width ||
        create.src_height > create.stream_height) {
        THROW("stream source %ux%u does not fit the stream %ux%u", create.src_width, create.src_height,
              create.stream_width, create.stream_height);
    }
    Lock lock(_streams_lock);
    if (_table.size() <= create.id) {
        _table.resize(size_t(create.id) + 1, nullptr);
    }
    if (_table[create.id]) {
        THROW("stream exist");
    }
    Canvas* canvas = _host.stream_canvas(create.surface_id);
    if (!canvas) {
        THROW("surface does not exist: %d", create.surface_id);
    }
    if (create.clip.type != SPICE_CLIP_TYPE_NONE && create.clip.type != SPICE_CLIP_TYPE_RECTS) {
        THROW("unexpected clip type");
    }
    VideoStream* stream = new VideoStream(*this, *canvas, create.surface_id, create, back_compat);
    _table[create.id] = stream;
    stream->next = _active;
    _active = stream;
}

void VideoStreams::data(const SpiceMsgDisplayStreamData& data) {
    VideoStream* stream = stream_of(data.base.id);
    canvas_debug_trace("[GDICANVAS][%s][%d]handle stream id %d data 0x%x", __FUNCTION__, __LINE__,
                       data.base.id, data.base.multi_media_time);
    stream->push_data(data.base.multi_media_time, data.data, data.data_size);
}

void VideoStreams::clip(const SpiceMsgDisplayStreamClip& clip) {
    VideoStream* stream = stream_of(clip.id);
    if (clip.clip.type != SPICE_CLIP_TYPE_NONE && clip.clip.type != SPICE_CLIP_TYPE_RECTS) {
        THROW("unexpected clip type");
    }
    Lock lock(_streams_lock);
    stream->set_clip(clip.clip);
}

void VideoStreams::destroy(uint32_t id) {
    VideoStream* stream = stream_of(id);
    canvas_debug_trace("[GDICANVAS][%s][%d]handle stream id %d destroy", __FUNCTION__, __LINE__, id);
    Lock lock(_streams_lock);
    VideoStream** link = &_active;
    while (*link && *link != stream) {
        link = &(*link)->next;
    }
    if (!*link) {
        THROW("not in active streams");
    }
    *link = stream->next;
    _table[id] = nullptr;
    delete stream;
}

void VideoStreams::clear_streams() {
    Lock lock(_streams_lock);
    for (VideoStream*& stream : _table) {
        delete stream;
        stream = nullptr;
    }
    _active = nullptr;
}

void VideoStreams::destroy_all() {
    clear_streams();
}

void VideoStreams::destroy_surface_streams(uint32_t surface_id) {
    Lock lock(_streams_lock);
    for (VideoStream** link = &_active; *link;) {
        VideoStream* stream = *link;
        if (stream->surface_id != surface_id) {
            link = &stream->next;
            continue;
        }
        *link = stream->next;
        for (VideoStream*& slot : _table) {
            if (slot == stream) {
                slot = nullptr;
            }
        }
        delete stream;
    }
}

void VideoStreams::stop() {
    clear_streams();
    {
        Lock lock(_update_mark_lock);
        _completed_mark = 0;
    }
    Lock lock(_timer_lock);
    _next_timer_time = 0;
    _host.set_streams_timer(0);
}

void VideoStreams::arm_timer(uint32_t time) {
    Lock lock(_timer_lock);
    if (_next_timer_time && before(_next_timer_time, time)) {
        return;
    }
    _next_timer_time = time;
    _host.post_activate_timer();
}

void VideoStreams::activate_timer() {
    bool due = false;
    {
        Lock lock(_timer_lock);
        if (!_next_timer_time) {
            return;
        }
        const uint32_t now = _host.get_mm_time();
        if (before(now, _next_timer_time)) {
            _host.set_streams_timer(_next_timer_time - now);
        } else {
            due = true;
        }
    }
    if (due) {
        timer_action();
    }
}

void VideoStreams::timer_action() {
    {
        Lock lock(_timer_lock);
        _next_timer_time = 0;
    }
    {
        Lock lock(_streams_lock);
        const uint32_t now = _host.get_mm_time();
        for (VideoStream* stream = _active; stream; stream = stream->next) {
            stream->handle_timer_update(now);
        }
    }
    {
        Lock lock(_timer_lock);
        const uint32_t next = _host.get_mm_time() + TIMER_INTERVAL_MS;
        if (next && (!_next_timer_time || before(next, _next_timer_time))) {
            _host.set_streams_timer(TIMER_INTERVAL_MS);
            _next_timer_time = next;
        } else if (!_next_timer_time) {
            _host.set_streams_timer(0);
        }
    }
    _host.yield();
}

void VideoStreams::on_update_completion(uint64_t mark) {
    {
        Lock lock(_update_mark_lock);
        _completed_mark = mark;
    }
    _host.fire_streams_trigger();
}

void VideoStreams::on_trigger() {
    uint64_t completed;
    {
        Lock lock(_update_mark_lock);
        completed = _completed_mark;
    }
    // No streams lock: only this thread changes the list.
    for (VideoStream* stream = _active; stream; stream = stream->next) {
        if (stream->release_mark(completed)) {
            stream->update();
        }
    }
}

bool VideoStreams::has_stream(uint32_t id) {
    Lock lock(_streams_lock);
    return id < _table.size() && _table[id];
}

std::vector<uint32_t> VideoStreams::queued_times(uint32_t id) {
    return stream_of(id)->queued_times();
}

uint32_t VideoStreams::next_timer_time() {
    Lock lock(_timer_lock);
    return _next_timer_time;
}
