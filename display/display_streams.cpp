// Video streams and the video plug-in fragments of the display channel. Not played yet: the messages are
// logged and dropped.
#include "display/display_channel.h"

#include "runtime/log.h"

struct DisplayChannel::StreamState {};

void DisplayChannel::init_streams() {
    _streams = new StreamState();
}

void DisplayChannel::release_streams() {
    delete _streams;
    _streams = nullptr;
}

void DisplayChannel::destroy_all_streams() {}

void DisplayChannel::destroy_surface_streams(uint32_t) {}

void DisplayChannel::stop_streams() {}

void DisplayChannel::on_update_completion(uint64_t) {}

void DisplayChannel::handle_stream_create(const SpiceMsgDisplayStreamCreate& create) {
    LOG_DEBUG("stream %u create: not played", create.id);
}

void DisplayChannel::handle_stream_data(const SpiceMsgDisplayStreamData& data) {
    LOG_DEBUG("stream %u data: not played", data.base.id);
}

void DisplayChannel::handle_stream_clip(const SpiceMsgDisplayStreamClip& clip) {
    LOG_DEBUG("stream %u clip: not played", clip.id);
}

void DisplayChannel::handle_stream_destroy(const SpiceMsgDisplayStreamDestroy& destroy) {
    LOG_DEBUG("stream %u destroy: not played", destroy.id);
}

void DisplayChannel::handle_stream_destroy_all() {
    LOG_DEBUG("stream destroy all: not played");
}

void DisplayChannel::handle_stream_activate_report(const SpiceMsgDisplayStreamActivateReport& report) {
    LOG_DEBUG("stream %u activate report: not handled", report.stream_id);
}

void DisplayChannel::handle_mix_data(const SpiceMsgDisplayVideoFragment& fragment) {
    LOG_DEBUG("video fragment %u of frame %u: no video plug-in", fragment.index, fragment.frame_number());
}
