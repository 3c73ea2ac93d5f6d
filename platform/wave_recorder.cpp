#include "platform/wave_recorder.h"

#include "runtime/exception.h"

#include <algorithm>
#include <cstring>

WaveRecorder::WaveRecorder(Platform::RecordClient& client, uint32_t samples_per_sec, uint32_t channels,
                           uint32_t frame_samples)
    : _client(client),
      _device(nullptr),
      _buffer_stride(0),
      _buffer_count(0),
      _head(0),
      _queued(0),
      _write_pos(0) {
    // Below 512 samples a second the ring would have no buffer at all.
    if (samples_per_sec < 8000 || samples_per_sec > 192000) {
        THROW("unsupported record rate %u", samples_per_sec);
    }
    if (channels == 0 || channels > 8 || frame_samples == 0) {
        THROW("unsupported record frame: %u channels, %u samples", channels, frame_samples);
    }
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = WORD(channels);
    format.nSamplesPerSec = samples_per_sec;
    format.wBitsPerSample = 16;
    format.nBlockAlign = WORD(channels * 2);
    format.nAvgBytesPerSec = format.nBlockAlign * samples_per_sec;
    if (waveInOpen(&_device, WAVE_MAPPER, &format, DWORD_PTR(&WaveRecorder::wave_in_proc), DWORD_PTR(this),
                   CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        throw Exception("cannot open playback device", 1);
    }
    uint32_t frame_bytes = channels * 16 * frame_samples / 8;
    _frame.resize(frame_bytes);
    _buffer_count = (samples_per_sec * 500 / 1000) / 256;
    alloc_buffers(frame_bytes);
    _client.add_event_source(*this);
}

WaveRecorder::~WaveRecorder() {
    waveInReset(_device);
    reclaim();
    _client.remove_event_source(*this);
    waveInClose(_device);
}

void CALLBACK WaveRecorder::wave_in_proc(HWAVEIN, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    if (message == WIM_DATA) {
        reinterpret_cast<WaveRecorder*>(instance)->trigger();
    }
}

WAVEHDR* WaveRecorder::buffer(uint32_t index) {
    return reinterpret_cast<WAVEHDR*>(_buffers.data() + size_t(index) * _buffer_stride);
}

void WaveRecorder::alloc_buffers(uint32_t frame_bytes) {
    _buffer_stride = uint32_t((sizeof(WAVEHDR) + frame_bytes + alignof(WAVEHDR) - 1) / alignof(WAVEHDR) *
                              alignof(WAVEHDR));
    _buffers.assign(size_t(_buffer_count) * _buffer_stride, 0);
    for (uint32_t i = 0; i < _buffer_count; i++) {
        WAVEHDR* header = buffer(i);
        header->lpData = reinterpret_cast<char*>(header) + sizeof(WAVEHDR);
        header->dwBufferLength = frame_bytes;
    }
}

void WaveRecorder::push_frames() {
    while (_queued < _buffer_count) {
        WAVEHDR* header = buffer((_head + _queued) % _buffer_count);
        MMRESULT result = waveInPrepareHeader(_device, header, sizeof(WAVEHDR));
        if (result != MMSYSERR_NOERROR) {
            THROW("waveInPrepareHeader filed %u", result);
        }
        result = waveInAddBuffer(_device, header, sizeof(WAVEHDR));
        if (result != MMSYSERR_NOERROR) {
            THROW("waveInAddBuffer filed %u", result);
        }
        _queued++;
    }
}

void WaveRecorder::start() {
    _write_pos = 0;
    waveInReset(_device);
    reclaim();
    push_frames();
    waveInStart(_device);
}

void WaveRecorder::consume(const uint8_t* data, uint32_t size) {
    while (size > 0) {
        size_t room = _frame.size() - _write_pos;
        size_t now = std::min<size_t>(size, room);
        std::memcpy(_frame.data() + _write_pos, data, now);
        _write_pos += now;
        data += now;
        size -= uint32_t(now);
        if (_write_pos == _frame.size()) {
            _client.push_frame(_frame.data(), uint32_t(_frame.size()));
            _write_pos = 0;
        }
    }
}

void WaveRecorder::on_event() {
    while (_queued != 0) {
        WAVEHDR* header = buffer(_head);
        if (!(__atomic_load_n(&header->dwFlags, __ATOMIC_ACQUIRE) & WHDR_DONE)) {
            break;
        }
        waveInUnprepareHeader(_device, header, sizeof(WAVEHDR));
        // The driver never reports more than the buffer holds; kept to the buffer all the same.
        uint32_t recorded = std::min(header->dwBytesRecorded, header->dwBufferLength);
        header->dwFlags &= ~DWORD(WHDR_DONE);
        header->dwBytesRecorded = 0;
        consume(reinterpret_cast<const uint8_t*>(header->lpData), recorded);
        _head = (_head + 1) % _buffer_count;
        _queued--;
        push_frames();
    }
}

void WaveRecorder::reclaim() {
    while (_queued != 0) {
        WAVEHDR* header = buffer(_head);
        if (!(__atomic_load_n(&header->dwFlags, __ATOMIC_ACQUIRE) & WHDR_DONE)) {
            break;
        }
        waveInUnprepareHeader(_device, header, sizeof(WAVEHDR));
        header->dwFlags &= ~DWORD(WHDR_DONE);
        header->dwBytesRecorded = 0;
        _head = (_head + 1) % _buffer_count;
        _queued--;
    }
}

void WaveRecorder::stop() {
    waveInReset(_device);
    reclaim();
    _write_pos = 0;
}
