#include "platform/platform.h"
#include "platform/wave_player.h"
#include "platform/wave_recorder.h"

WavePlaybackAbstract* Platform::create_player(uint32_t samples_per_sec, uint32_t channels,
                                              uint32_t frame_samples) {
    return new WavePlayer(samples_per_sec, channels, frame_samples);
}

WaveRecordAbstract* Platform::create_recorder(RecordClient& client, uint32_t samples_per_sec,
                                              uint32_t channels, uint32_t frame_samples) {
    return new WaveRecorder(client, samples_per_sec, channels, frame_samples);
}
