// WaveRecorder: the default capture device, its buffers kept queued in the driver (about 500 ms of them), and
// the captured stream cut into whole frames for the record client whatever the driver's buffer sizes. The
// driver's call-back only fires the recorder's trigger; the buffers are taken back, cut and handed over on
// the client's loop thread.
#pragma once

#include "platform/platform.h"
#include "runtime/event_sources.h"
#include "winapi/windows.h"

#include <cstdint>
#include <vector>

class WaveRecorder : public WaveRecordAbstract, public EventSources::Trigger {
public:
    // Throws Exception "cannot open playback device" when the device cannot be opened, and for a rate outside
    // 8000..192000, no channels or no samples per frame. Adds its trigger to the client.
    WaveRecorder(Platform::RecordClient& client, uint32_t samples_per_sec, uint32_t channels,
                 uint32_t frame_samples);
    ~WaveRecorder() override;

    WaveRecorder(const WaveRecorder&) = delete;
    WaveRecorder& operator=(const WaveRecorder&) = delete;

    // Throws Exception when a buffer cannot be prepared or queued.
    void start() override;
    // A partly filled frame is discarded.
    void stop() override;
    bool abort() override { return true; }

    // The trigger fired: takes back the finished buffers in order, cuts frames, requeues the buffers.
    void on_event() override;

    uint32_t buffer_count() const { return _buffer_count; }

private:
    static void CALLBACK wave_in_proc(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                      DWORD_PTR param2);
    void alloc_buffers(uint32_t frame_bytes);
    WAVEHDR* buffer(uint32_t index);
    void push_frames();
    void reclaim();
    void consume(const uint8_t* data, uint32_t size);

    Platform::RecordClient& _client;
    HWAVEIN _device;
    std::vector<uint8_t> _buffers;
    uint32_t _buffer_stride;
    uint32_t _buffer_count;
    uint32_t _head;
    uint32_t _queued;
    std::vector<uint8_t> _frame;
    size_t _write_pos;  // into _frame
};
