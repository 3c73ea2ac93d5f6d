#include "platform/wave_player.h"

#include "runtime/exception.h"
#include "runtime/log.h"

#include <cstring>

namespace {

WAVEFORMATEX pcm_format(uint32_t channels, uint32_t samples_per_sec, uint32_t bits) {
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = WORD(channels);
    format.nSamplesPerSec = samples_per_sec;
    format.wBitsPerSample = WORD(bits);
    format.nBlockAlign = WORD(channels * bits / 8);
    format.nAvgBytesPerSec = format.nBlockAlign * samples_per_sec;
    return format;
}

}  // namespace

WavePlayer::WavePlayer(uint32_t samples_per_sec, uint32_t channels, uint32_t frame_samples)
    : _device(nullptr),
      _samples_per_ms(samples_per_sec / 1000),
      _frame_bytes(0),
      _start_threshold(0),
      _slot_stride(0),
      _slot_count(0),
      _volume(0),
      _head(0),
      _queued(0),
      _starting(true),
      _error(false),
      _channels(channels),
      _samples_per_sec(samples_per_sec),
      _bits_per_sample(16) {
    if (samples_per_sec < MIN_RATE || samples_per_sec > MAX_RATE) {
        THROW("unsupported playback rate %u", samples_per_sec);
    }
    if (channels == 0 || channels > 8 || frame_samples == 0) {
        THROW("unsupported playback frame: %u channels, %u samples", channels, frame_samples);
    }
    _frame_bytes = channels * _bits_per_sample * frame_samples / 8;
    _start_threshold = (samples_per_sec * 300 / 1000) / frame_samples;
    _slot_count = (samples_per_sec * 380 / 1000) / frame_samples;
    if (_slot_count == 0 || _start_threshold == 0) {
        THROW("playback frame of %u samples too long for the ring", frame_samples);
    }
    uint32_t block_align = channels * 2;
    // Each slot starts with its header, which needs its own alignment.
    _slot_stride = uint32_t((_frame_bytes + block_align + sizeof(WAVEHDR) + alignof(WAVEHDR) - 1) /
                            alignof(WAVEHDR) * alignof(WAVEHDR));
    if (!open_device()) {
        LOG_ERROR("can not open playback device");
        _error = true;
    }
    _ring.resize(size_t(_slot_count) * _slot_stride);
    init_ring();
    if (_device) {
        waveOutPause(_device);
    }
}

WavePlayer::~WavePlayer() {
    if (_device) {
        waveOutReset(_device);
        reclaim();
        waveOutClose(_device);
    }
}

bool WavePlayer::open_device() {
    WAVEFORMATEX format = pcm_format(_channels, _samples_per_sec, _bits_per_sample);
    HWAVEOUT device = nullptr;
    if (waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        _device = nullptr;
        return false;
    }
    _device = device;
    return true;
}

WAVEHDR* WavePlayer::slot(uint32_t index) {
    return reinterpret_cast<WAVEHDR*>(_ring.data() + size_t(index) * _slot_stride);
}

void WavePlayer::init_ring() {
    std::memset(_ring.data(), 0, _ring.size());
    uint32_t block_align = _channels * 2;
    for (uint32_t i = 0; i < _slot_count; i++) {
        uint8_t* base = reinterpret_cast<uint8_t*>(slot(i));
        uintptr_t data = reinterpret_cast<uintptr_t>(base) + sizeof(WAVEHDR);
        data = (data + block_align - 1) / block_align * block_align;
        WAVEHDR* header = slot(i);
        header->lpData = reinterpret_cast<char*>(data);
        header->dwBufferLength = _frame_bytes;
    }
}

bool WavePlayer::write(const uint8_t* frame, uint32_t size) {
    if (_error) {
        if (_device) {
            waveOutReset(_device);
            reclaim();
            waveOutClose(_device);
            _device = nullptr;
        }
        if (!open_device()) {
            return false;
        }
        _head = 0;
        _queued = 0;
        _starting = true;
        init_ring();
        waveOutPause(_device);
        _error = false;
        LOG_INFO("build wave player success.");
    }
    reclaim();
    if (_queued == _slot_count) {
        return true;  // the ring is full: the frame is dropped
    }
    WAVEHDR* header = slot((_head + _queued) % _slot_count);
    if (size > header->dwBufferLength) {
        return false;
    }
    _queued++;
    std::memcpy(header->lpData, frame, size);
    // A short frame still plays a whole slot: what follows it is silence, not an older frame's samples.
    std::memset(header->lpData + size, 0, header->dwBufferLength - size);
    MMRESULT result = waveOutPrepareHeader(_device, header, sizeof(WAVEHDR));
    if (result != MMSYSERR_NOERROR) {
        LOG_ERROR("[write] waveOutPrepareHeader failed %u", result);
        _error = true;
        return false;
    }
    result = waveOutWrite(_device, header, sizeof(WAVEHDR));
    if (result != MMSYSERR_NOERROR) {
        LOG_ERROR("[write] waveOutWrite failed %u", result);
        _error = true;
        return false;
    }
    if (_starting && _queued == _start_threshold) {
        _starting = false;
        waveOutRestart(_device);
    }
    return true;
}

void WavePlayer::reclaim() {
    while (_queued != 0) {
        WAVEHDR* header = slot(_head);
        if (!(__atomic_load_n(&header->dwFlags, __ATOMIC_ACQUIRE) & WHDR_DONE)) {
            break;
        }
        MMRESULT result = waveOutUnprepareHeader(_device, header, sizeof(WAVEHDR));
        if (result != MMSYSERR_NOERROR) {
            LOG_ERROR("[reclaim] waveOutUnprepareHeader failed %u", result);
            _error = true;
        }
        header->dwFlags &= ~DWORD(WHDR_DONE);
        _head = (_head + 1) % _slot_count;
        _queued--;
    }
}

void WavePlayer::stop() {
    if (_device) {
        waveOutReset(_device);
        waveOutPause(_device);
    }
    _starting = true;
    reclaim();
}

uint32_t WavePlayer::get_delay_ms() {
    return _queued * 256 / _samples_per_ms;
}

void WavePlayer::set_volume(uint32_t volume) {
    _volume = volume;
    MMRESULT result = waveOutSetVolume(nullptr, volume);
    if (result != MMSYSERR_NOERROR) {
        LOG_INFO("set_volume error %u", result);
    }
}

void WavePlayer::set_mute(bool mute) {
    waveOutSetVolume(nullptr, mute ? 0 : _volume);
}
