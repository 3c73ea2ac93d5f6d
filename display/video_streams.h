// The display channel's video streams (messages 122 to 126). The server sends fast-changing areas of a
// surface as MJPEG streams: each stream queues its encoded frames with their multimedia time, decodes them on
// the channel thread into its own pixels and draws them onto its surface when their time comes; the screen
// shows them through an urgent invalidation. Frames more than 15 ms late are dropped, a full queue drops
// frames spread over its length, a 15 ms timer on the application loop presents frames decoded early, and the
// screen's update completion releases the next frame.
//
// Threads: create, data, clip, destroy and the trigger's frame updates run on the channel thread; the timer
// action, its activation and on_update_completion on the main thread. The streams lock guards the table and
// the active list (only the channel thread changes them); each stream's update lock guards its update time
// and mark, which both threads change; the timer lock guards the next timer time and the timer's activation.
// Lock order: streams lock, then a stream's update lock, then the timer lock; the screen's update lock may be
// taken under any of them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "canvas/canvas.h"
#include "runtime/threads.h"
#include "transport/protocol/server_messages.h"
#include "winapi/windows.h"

class VideoStream;

// What the streams need of the display channel, its layer, its screen and the two loops.
class VideoStreamsHost {
public:
    virtual ~VideoStreamsHost() {}
    // The session's multimedia time. Any thread.
    virtual uint32_t get_mm_time() = 0;
    // The canvas of a surface, null when there is none. Channel thread.
    virtual Canvas* stream_canvas(uint32_t surface_id) = 0;
    // Urgent invalidation through the display layer; the screen update that will show it (0: none).
    // Channel thread.
    virtual uint64_t invalidate_layer_urgent(const RECT& rect) = 0;
    // Urgent invalidation on the layer's screen; 0 without a screen. Main thread.
    virtual uint64_t invalidate_screen_urgent(const RECT& rect) = 0;
    // Posts the timer's activation to the application loop, whose response calls
    // VideoStreams::activate_timer. Channel thread.
    virtual void post_activate_timer() = 0;
    // Activates the streams timer with the interval, or deactivates it (0). Main thread.
    virtual void set_streams_timer(uint32_t interval_ms) = 0;
    // Fires the trigger on the channel's loop whose action calls VideoStreams::on_trigger. Main thread.
    virtual void fire_streams_trigger() = 0;
    // Gives up the rest of the thread's time slice.
    virtual void yield() {}
};

class VideoStreams {
public:
    // Stream ids index the table: a larger id is refused rather than grown to.
    static const uint32_t MAX_STREAM_ID = 4095;
    // A stream's pixels: each side at most this, and at most MAX_STREAM_PIXELS in all.
    static const uint32_t MAX_STREAM_SIDE = 0x7FFF;
    static const uint64_t MAX_STREAM_PIXELS = uint64_t(1) << 26;
    static const uint32_t RING_SIZE = 30;
    static const uint32_t TIMER_INTERVAL_MS = 15;

    // back_compat: the server's protocol major version is 1 (the MJPEG decoder's colour order).
    VideoStreams(VideoStreamsHost& host);
    ~VideoStreams();
    VideoStreams(const VideoStreams&) = delete;
    VideoStreams& operator=(const VideoStreams&) = delete;

    // ---- channel thread; a refused message throws Exception, which ends the channel ----
    void create(const SpiceMsgDisplayStreamCreate& create, bool back_compat);
    void data(const SpiceMsgDisplayStreamData& data);
    void clip(const SpiceMsgDisplayStreamClip& clip);
    void destroy(uint32_t id);
    void destroy_all();
    // Before a surface's canvas goes.
    void destroy_surface_streams(uint32_t surface_id);
    // Disconnection and migration: every stream, the pending marks and the timer.
    void stop();
    // The StreamsTrigger's action: frame updates of the streams whose shown frame reached the window.
    void on_trigger();

    // ---- main thread ----
    void on_update_completion(uint64_t mark);
    // ActivateTimerEvent's response.
    void activate_timer();
    // StreamsTimer's expiry.
    void timer_action();

    // ---- tests ----
    bool has_stream(uint32_t id);
    // Multimedia times of the frames queued, oldest first.
    std::vector<uint32_t> queued_times(uint32_t id);
    uint32_t next_timer_time();

private:
    friend class VideoStream;
    // Channel thread: a frame decoded early waits for the timer at time t.
    void arm_timer(uint32_t time);
    VideoStream* stream_of(uint32_t id);
    void clear_streams();

    VideoStreamsHost& _host;

    Mutex _streams_lock;
    std::vector<VideoStream*> _table;  // indexed by id; null: no stream
    VideoStream* _active = nullptr;    // the active list, newest first

    Mutex _update_mark_lock;
    uint64_t _completed_mark = 0;

    Mutex _timer_lock;
    uint32_t _next_timer_time = 0;  // 0: the timer is idle
};
