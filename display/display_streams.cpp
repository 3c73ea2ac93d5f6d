// Video streams and the video plug-in fragments of the display channel: the channel's side of VideoStreams
// (its timer on the application loop, its trigger on the channel's loop, the layer and the screen it shows
// frames through) and the hand-over of message 321 to the video plug-in wrapper.
#include "display/display_channel.h"

#include "codecs/mix_wrapper.h"
#include "display/red_screen.h"
#include "display/video_streams.h"
#include "runtime/log.h"

namespace {

// The timer, the trigger and the activation event reach the streams through this link, which the channel
// cuts before the streams go: a response already running finishes first.
class StreamsLink {
public:
    explicit StreamsLink(VideoStreams* streams) : _streams(streams) {}
    template <class F>
    void run(F f) {
        Lock lock(_lock);
        if (_streams) {
            f(*_streams);
        }
    }
    void cut() {
        Lock lock(_lock);
        _streams = nullptr;
    }

private:
    Mutex _lock;
    VideoStreams* _streams;
};

class StreamsTimer : public Timer {
public:
    explicit StreamsTimer(std::shared_ptr<StreamsLink> link) : _link(std::move(link)) {}
    void response(AbstractProcessLoop&) override {
        _link->run([](VideoStreams& streams) { streams.timer_action(); });
    }

private:
    std::shared_ptr<StreamsLink> _link;
};

class ActivateTimerEvent : public Event {
public:
    explicit ActivateTimerEvent(std::shared_ptr<StreamsLink> link) : _link(std::move(link)) {}
    void response(AbstractProcessLoop&) override {
        _link->run([](VideoStreams& streams) { streams.activate_timer(); });
    }

private:
    std::shared_ptr<StreamsLink> _link;
};

class StreamsTrigger : public EventSources::Trigger {
public:
    explicit StreamsTrigger(std::shared_ptr<StreamsLink> link) : _link(std::move(link)) {}
    void on_event() override {
        _link->run([](VideoStreams& streams) { streams.on_trigger(); });
    }

private:
    std::shared_ptr<StreamsLink> _link;
};

}  // namespace

struct DisplayChannel::StreamState : public VideoStreamsHost {
    explicit StreamState(DisplayChannel& channel)
        : channel(channel),
          streams(*this),
          link(std::make_shared<StreamsLink>(&streams)),
          timer(new StreamsTimer(link)),
          trigger(link) {}

    uint32_t get_mm_time() override { return channel.get_client().get_mm_time(); }
    Canvas* stream_canvas(uint32_t surface_id) override { return channel.canvas_of(surface_id); }
    uint64_t invalidate_layer_urgent(const RECT& rect) override {
        return channel.invalidate_rect(rect, true);
    }
    uint64_t invalidate_screen_urgent(const RECT& rect) override {
        RedScreen* screen = channel.screen();
        return screen ? screen->invalidate_rect(rect, true) : 0;
    }
    void post_activate_timer() override {
        // The loop holds its own reference from here on.
        Event* event = new ActivateTimerEvent(link);
        channel._app.main_loop().push_event(event);
        event->unref();
    }
    void set_streams_timer(uint32_t interval_ms) override {
        if (interval_ms) {
            channel._app.main_loop().arm_timer(timer, interval_ms);
        } else {
            channel._app.main_loop().disarm_timer(timer);
        }
    }
    void fire_streams_trigger() override { trigger.trigger(); }
    void yield() override { SwitchToThread(); }

    DisplayChannel& channel;
    VideoStreams streams;
    std::shared_ptr<StreamsLink> link;
    StreamsTimer* timer;  // one reference ours, one the loop's while armed
    StreamsTrigger trigger;
};

void DisplayChannel::init_streams() {
    _streams = new StreamState(*this);
    get_process_loop().add_trigger(_streams->trigger);
    MixWrapper::get_instance().set_display_channel(this);
}

void DisplayChannel::release_streams() {
    if (!_streams) {
        return;
    }
    MixWrapper& mix = MixWrapper::get_instance();
    if (mix.display_channel() == this) {
        mix.set_display_channel(nullptr);
    }
    _app.main_loop().disarm_timer(_streams->timer);
    _streams->link->cut();
    get_process_loop().remove_trigger(_streams->trigger);
    _streams->timer->unref();
    delete _streams;
    _streams = nullptr;
}

void DisplayChannel::destroy_all_streams() {
    _streams->streams.destroy_all();
}

void DisplayChannel::destroy_surface_streams(uint32_t surface_id) {
    _streams->streams.destroy_surface_streams(surface_id);
}

void DisplayChannel::stop_streams() {
    _streams->streams.stop();
}

void DisplayChannel::on_update_completion(uint64_t mark) {
    _streams->streams.on_update_completion(mark);
}

void DisplayChannel::handle_stream_create(const SpiceMsgDisplayStreamCreate& create) {
    _streams->streams.create(create, get_peer_major() == 1);
}

void DisplayChannel::handle_stream_data(const SpiceMsgDisplayStreamData& data) {
    _streams->streams.data(data);
}

void DisplayChannel::handle_stream_clip(const SpiceMsgDisplayStreamClip& clip) {
    _streams->streams.clip(clip);
}

void DisplayChannel::handle_stream_destroy(const SpiceMsgDisplayStreamDestroy& destroy) {
    _streams->streams.destroy(destroy.id);
}

void DisplayChannel::handle_stream_destroy_all() {
    _streams->streams.destroy_all();
}

void DisplayChannel::handle_stream_activate_report(const SpiceMsgDisplayStreamActivateReport& report) {
    LOG_DEBUG("stream %u activate report: not handled", report.stream_id);
}

void DisplayChannel::handle_mix_data(const SpiceMsgDisplayVideoFragment& fragment) {
    MixWrapper::get_instance().handle_mix_data(&fragment);
}

void DisplayChannel::send_mix_message(uint16_t type, const uint8_t* body, uint32_t size) {
    send_simple(type, body, size);
}
