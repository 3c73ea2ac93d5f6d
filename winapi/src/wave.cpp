// Waveform audio over ALSA: each open device owns a thread that moves the queued buffers' bytes to or from
// its PCM in chunks of about 10 ms and marks each buffer done once all of it has gone through. The header
// flags are the one thing the caller and the device's thread share without the device's lock (the caller
// polls WHDR_DONE), so they are written and read atomically.
#include "winapi/mmeapi.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

std::atomic<DWORD> g_volume{0xFFFFFFFFu};

DWORD load_flags(const WAVEHDR* header) {
    return __atomic_load_n(&header->dwFlags, __ATOMIC_ACQUIRE);
}
void set_flags(WAVEHDR* header, DWORD bits) {
    __atomic_fetch_or(&header->dwFlags, bits, __ATOMIC_RELEASE);
}
void clear_flags(WAVEHDR* header, DWORD bits) {
    __atomic_fetch_and(&header->dwFlags, ~bits, __ATOMIC_RELEASE);
}
void finish(WAVEHDR* header) {
    clear_flags(header, WHDR_INQUEUE);
    set_flags(header, WHDR_DONE);
}

void silent_alsa_errors(const char*, int, const char*, int, const char*, ...) {}

const char* device_name(const char* variable) {
    const char* name = std::getenv(variable);
    return name && *name ? name : "default";
}

// A PCM for the format, or an MMRESULT. ALSA's own complaints (no card...) are not printed.
MMRESULT open_pcm(const char* variable, snd_pcm_stream_t stream, LPCWAVEFORMATEX format, snd_pcm_t** pcm) {
    if (!format) {
        return MMSYSERR_INVALPARAM;
    }
    if (format->wFormatTag != WAVE_FORMAT_PCM || format->wBitsPerSample != 16 || format->nChannels == 0 ||
        format->nChannels > 8 || format->nBlockAlign != format->nChannels * 2 ||
        format->nSamplesPerSec < 1000 || format->nSamplesPerSec > 384000) {
        return WAVERR_BADFORMAT;
    }
    static std::once_flag quiet;
    std::call_once(quiet, [] { snd_lib_error_set_handler(silent_alsa_errors); });
    if (snd_pcm_open(pcm, device_name(variable), stream, 0) < 0) {
        return MMSYSERR_NODRIVER;
    }
    if (snd_pcm_set_params(*pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, format->nChannels,
                           format->nSamplesPerSec, 1, 100000) < 0) {
        snd_pcm_close(*pcm);
        *pcm = nullptr;
        return WAVERR_BADFORMAT;
    }
    return MMSYSERR_NOERROR;
}

// The part common to both directions: the PCM, the queue of buffers the device owns and its thread.
struct WaveDevice {
    snd_pcm_t* pcm = nullptr;
    unsigned channels = 0;
    unsigned rate = 0;
    unsigned block = 0;
    unsigned chunk_frames = 0;

    std::mutex lock;
    std::condition_variable wake;
    std::deque<WAVEHDR*> queue;  // guarded by lock
    bool running = false;        // output: not paused; input: started
    bool quit = false;
    uint64_t generation = 0;  // bumped by a reset: a chunk in flight then belongs to nobody
    bool drop = false;        // the thread drops what the PCM holds at its next turn
    std::thread thread;

    // Pacing: the PCM may keep no time (null device), so the thread never runs ahead of the clock.
    Clock::time_point epoch;
    uint64_t frames_done = 0;

    void init(snd_pcm_t* p, LPCWAVEFORMATEX format) {
        pcm = p;
        channels = format->nChannels;
        rate = format->nSamplesPerSec;
        block = format->nBlockAlign;
        chunk_frames = std::max(1u, rate / 100);
    }

    // Thread of the device, lock released.
    void pace(uint64_t frames) {
        if (frames_done == 0) {
            epoch = Clock::now();
        }
        frames_done += frames;
        // Allow 50 ms of lead so that a device with real timing is never starved by this clock.
        auto due =
            epoch + std::chrono::microseconds(frames_done * 1000000 / rate) - std::chrono::milliseconds(50);
        std::this_thread::sleep_until(due);
    }

    void restart_clock() { frames_done = 0; }

    void stop_thread() {
        {
            std::lock_guard<std::mutex> hold(lock);
            quit = true;
        }
        wake.notify_all();
        if (thread.joinable()) {
            thread.join();
        }
    }
};

struct WaveOut : WaveDevice {
    size_t position = 0;  // bytes of the front buffer already played

    void run() {
        std::vector<int16_t> chunk;
        std::unique_lock<std::mutex> hold(lock);
        while (!quit) {
            if (drop) {
                drop = false;
                hold.unlock();
                snd_pcm_drop(pcm);
                snd_pcm_prepare(pcm);
                hold.lock();
                restart_clock();
                continue;
            }
            if (!running || queue.empty()) {
                restart_clock();
                wake.wait(hold);
                continue;
            }
            WAVEHDR* header = queue.front();
            uint64_t turn = generation;
            size_t left = header->dwBufferLength - position;
            size_t frames = std::min<size_t>(left / block, chunk_frames);
            if (frames == 0) {  // a tail shorter than one sample frame is not played
                position = 0;
                queue.pop_front();
                finish(header);
                continue;
            }
            chunk.resize(frames * channels);
            std::memcpy(chunk.data(), header->lpData + position, frames * block);
            hold.unlock();
            scale(chunk);
            write_all(chunk.data(), frames);
            pace(frames);
            hold.lock();
            if (turn != generation || queue.empty() || queue.front() != header) {
                continue;
            }
            position += frames * block;
            if (header->dwBufferLength - position < block) {
                position = 0;
                queue.pop_front();
                finish(header);
            }
        }
    }

    void scale(std::vector<int16_t>& samples) {
        DWORD volume = g_volume.load();
        uint32_t left = volume & 0xFFFF;
        uint32_t right = volume >> 16;
        if (left == 0xFFFF && (right == 0xFFFF || channels == 1)) {
            return;
        }
        for (size_t i = 0; i < samples.size(); i++) {
            uint32_t gain = (channels >= 2 && i % channels == 1) ? right : left;
            samples[i] = int16_t(int32_t(samples[i]) * int32_t(gain) / 0xFFFF);
        }
    }

    void write_all(const int16_t* data, size_t frames) {
        while (frames > 0) {
            snd_pcm_sframes_t n = snd_pcm_writei(pcm, data, frames);
            if (n < 0) {
                if (snd_pcm_recover(pcm, int(n), 1) < 0) {
                    return;  // the device is gone: the chunk counts as played
                }
                continue;
            }
            data += size_t(n) * channels;
            frames -= size_t(n);
        }
    }
};

struct WaveIn : WaveDevice {
    LPWAVEINPROC callback = nullptr;
    DWORD_PTR instance = 0;
    bool capturing = false;  // thread: the PCM is started

    void notify(UINT message, WAVEHDR* header) {
        if (callback) {
            callback(reinterpret_cast<HWAVEIN>(this), message, instance, DWORD_PTR(header), 0);
        }
    }

    void run() {
        std::vector<char> chunk;
        std::unique_lock<std::mutex> hold(lock);
        while (!quit) {
            if (!running) {
                if (capturing) {
                    capturing = false;
                    hold.unlock();
                    snd_pcm_drop(pcm);
                    snd_pcm_prepare(pcm);
                    hold.lock();
                }
                restart_clock();
                wake.wait(hold);
                continue;
            }
            uint64_t turn = generation;
            size_t frames = chunk_frames;
            if (!queue.empty()) {
                WAVEHDR* header = queue.front();
                frames = std::min<size_t>((header->dwBufferLength - header->dwBytesRecorded) / block, frames);
            }
            capturing = true;
            chunk.resize(std::max<size_t>(frames, 1) * block);
            hold.unlock();
            size_t got = read_some(chunk.data(), frames);
            pace(got ? got : chunk_frames);
            hold.lock();
            if (turn != generation || !running || queue.empty()) {
                continue;  // nobody's buffer, or none queued: the sound is thrown away
            }
            WAVEHDR* header = queue.front();
            size_t room = header->dwBufferLength - header->dwBytesRecorded;
            size_t bytes = std::min(room, got * block);
            std::memcpy(header->lpData + header->dwBytesRecorded, chunk.data(), bytes);
            header->dwBytesRecorded += DWORD(bytes);
            if (header->dwBufferLength - header->dwBytesRecorded < block) {
                queue.pop_front();
                finish(header);
                hold.unlock();
                notify(WIM_DATA, header);
                hold.lock();
            }
        }
    }

    size_t read_some(char* data, size_t frames) {
        if (frames == 0) {
            return 0;
        }
        for (int attempt = 0; attempt < 3; attempt++) {
            snd_pcm_sframes_t n = snd_pcm_readi(pcm, data, frames);
            if (n >= 0) {
                return size_t(n);
            }
            if (snd_pcm_recover(pcm, int(n), 1) < 0) {
                break;
            }
        }
        // A device that fails to deliver gives silence, in time.
        std::memset(data, 0, frames * block);
        return frames;
    }

    // Returns every queued buffer as done (stop: only the one being filled); the caller's thread.
    void give_back(bool all) {
        std::vector<WAVEHDR*> returned;
        {
            std::lock_guard<std::mutex> hold(lock);
            running = false;
            generation++;
            while (!queue.empty()) {
                WAVEHDR* header = queue.front();
                if (!all && header->dwBytesRecorded == 0) {
                    break;
                }
                queue.pop_front();
                finish(header);
                returned.push_back(header);
                if (!all) {
                    break;
                }
            }
        }
        wake.notify_all();
        for (WAVEHDR* header : returned) {
            notify(WIM_DATA, header);
        }
    }
};

// The open devices, so that a stale or foreign handle is refused rather than followed.
std::mutex g_devices_lock;
std::set<const void*> g_devices;

template <class Device>
Device* find(const void* handle) {
    std::lock_guard<std::mutex> hold(g_devices_lock);
    return g_devices.count(handle) ? static_cast<Device*>(const_cast<void*>(handle)) : nullptr;
}

void add_device(const void* device) {
    std::lock_guard<std::mutex> hold(g_devices_lock);
    g_devices.insert(device);
}

void remove_device(const void* device) {
    std::lock_guard<std::mutex> hold(g_devices_lock);
    g_devices.erase(device);
}

MMRESULT check_header(LPWAVEHDR header, UINT size) {
    if (!header || size < sizeof(WAVEHDR)) {
        return MMSYSERR_INVALPARAM;
    }
    return MMSYSERR_NOERROR;
}

template <class Device>
MMRESULT prepare(Device* device, LPWAVEHDR header, UINT size) {
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (MMRESULT result = check_header(header, size)) {
        return result;
    }
    if (!header->lpData && header->dwBufferLength) {
        return MMSYSERR_INVALPARAM;
    }
    set_flags(header, WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

template <class Device>
MMRESULT unprepare(Device* device, LPWAVEHDR header, UINT size) {
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (MMRESULT result = check_header(header, size)) {
        return result;
    }
    if (load_flags(header) & WHDR_INQUEUE) {
        return WAVERR_STILLPLAYING;
    }
    clear_flags(header, WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

// Queues a prepared header that is not queued yet.
template <class Device>
MMRESULT enqueue(Device* device, LPWAVEHDR header, UINT size) {
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (MMRESULT result = check_header(header, size)) {
        return result;
    }
    DWORD flags = load_flags(header);
    if (!(flags & WHDR_PREPARED)) {
        return WAVERR_UNPREPARED;
    }
    if (flags & WHDR_INQUEUE) {
        return WAVERR_STILLPLAYING;
    }
    {
        std::lock_guard<std::mutex> hold(device->lock);
        clear_flags(header, WHDR_DONE);
        set_flags(header, WHDR_INQUEUE);
        device->queue.push_back(header);
    }
    device->wake.notify_all();
    return MMSYSERR_NOERROR;
}

}  // namespace

MMRESULT WINAPI waveOutOpen(LPHWAVEOUT device, UINT device_id, LPCWAVEFORMATEX format, DWORD_PTR, DWORD_PTR,
                            DWORD flags) {
    if (!device) {
        return MMSYSERR_INVALPARAM;
    }
    if (device_id != WAVE_MAPPER && device_id != 0) {
        return MMSYSERR_BADDEVICEID;
    }
    if ((flags & CALLBACK_TYPEMASK) != CALLBACK_NULL) {
        return MMSYSERR_INVALFLAG;
    }
    snd_pcm_t* pcm = nullptr;
    if (MMRESULT result = open_pcm("KTW_WAVE_OUT_DEVICE", SND_PCM_STREAM_PLAYBACK, format, &pcm)) {
        return result;
    }
    WaveOut* out = new WaveOut;
    out->init(pcm, format);
    out->running = true;
    out->thread = std::thread([out] { out->run(); });
    add_device(out);
    *device = reinterpret_cast<HWAVEOUT>(out);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutClose(HWAVEOUT device) {
    WaveOut* out = find<WaveOut>(device);
    if (!out) {
        return MMSYSERR_INVALHANDLE;
    }
    {
        std::lock_guard<std::mutex> hold(out->lock);
        if (!out->queue.empty()) {
            return WAVERR_STILLPLAYING;
        }
    }
    remove_device(out);
    out->stop_thread();
    snd_pcm_close(out->pcm);
    delete out;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    return prepare(find<WaveOut>(device), header, size);
}

MMRESULT WINAPI waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    return unprepare(find<WaveOut>(device), header, size);
}

MMRESULT WINAPI waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    return enqueue(find<WaveOut>(device), header, size);
}

MMRESULT WINAPI waveOutPause(HWAVEOUT device) {
    WaveOut* out = find<WaveOut>(device);
    if (!out) {
        return MMSYSERR_INVALHANDLE;
    }
    std::lock_guard<std::mutex> hold(out->lock);
    out->running = false;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutRestart(HWAVEOUT device) {
    WaveOut* out = find<WaveOut>(device);
    if (!out) {
        return MMSYSERR_INVALHANDLE;
    }
    {
        std::lock_guard<std::mutex> hold(out->lock);
        out->running = true;
    }
    out->wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutReset(HWAVEOUT device) {
    WaveOut* out = find<WaveOut>(device);
    if (!out) {
        return MMSYSERR_INVALHANDLE;
    }
    {
        std::lock_guard<std::mutex> hold(out->lock);
        for (WAVEHDR* header : out->queue) {
            finish(header);
        }
        out->queue.clear();
        out->position = 0;
        out->generation++;
        out->drop = true;
    }
    out->wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutSetVolume(HWAVEOUT device, DWORD volume) {
    if (device && !find<WaveOut>(device)) {
        return MMSYSERR_INVALHANDLE;
    }
    g_volume = volume;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutGetVolume(HWAVEOUT device, DWORD* volume) {
    if (device && !find<WaveOut>(device)) {
        return MMSYSERR_INVALHANDLE;
    }
    if (!volume) {
        return MMSYSERR_INVALPARAM;
    }
    *volume = g_volume.load();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveInOpen(LPHWAVEIN device, UINT device_id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                           DWORD_PTR instance, DWORD flags) {
    if (!device) {
        return MMSYSERR_INVALPARAM;
    }
    if (device_id != WAVE_MAPPER && device_id != 0) {
        return MMSYSERR_BADDEVICEID;
    }
    DWORD kind = flags & CALLBACK_TYPEMASK;
    if (kind != CALLBACK_NULL && kind != CALLBACK_FUNCTION) {
        return MMSYSERR_INVALFLAG;
    }
    if (kind == CALLBACK_FUNCTION && !callback) {
        return MMSYSERR_INVALPARAM;
    }
    snd_pcm_t* pcm = nullptr;
    if (MMRESULT result = open_pcm("KTW_WAVE_IN_DEVICE", SND_PCM_STREAM_CAPTURE, format, &pcm)) {
        return result;
    }
    WaveIn* in = new WaveIn;
    in->init(pcm, format);
    if (kind == CALLBACK_FUNCTION) {
        in->callback = reinterpret_cast<LPWAVEINPROC>(callback);
        in->instance = instance;
    }
    in->thread = std::thread([in] { in->run(); });
    add_device(in);
    *device = reinterpret_cast<HWAVEIN>(in);
    in->notify(WIM_OPEN, nullptr);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveInClose(HWAVEIN device) {
    WaveIn* in = find<WaveIn>(device);
    if (!in) {
        return MMSYSERR_INVALHANDLE;
    }
    {
        std::lock_guard<std::mutex> hold(in->lock);
        if (!in->queue.empty()) {
            return WAVERR_STILLPLAYING;
        }
    }
    remove_device(in);
    in->stop_thread();
    snd_pcm_close(in->pcm);
    in->notify(WIM_CLOSE, nullptr);
    delete in;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size) {
    return prepare(find<WaveIn>(device), header, size);
}

MMRESULT WINAPI waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size) {
    return unprepare(find<WaveIn>(device), header, size);
}

MMRESULT WINAPI waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT size) {
    if (header && size >= sizeof(WAVEHDR) && !(load_flags(header) & WHDR_INQUEUE)) {
        header->dwBytesRecorded = 0;
    }
    return enqueue(find<WaveIn>(device), header, size);
}

MMRESULT WINAPI waveInStart(HWAVEIN device) {
    WaveIn* in = find<WaveIn>(device);
    if (!in) {
        return MMSYSERR_INVALHANDLE;
    }
    {
        std::lock_guard<std::mutex> hold(in->lock);
        in->running = true;
    }
    in->wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveInStop(HWAVEIN device) {
    WaveIn* in = find<WaveIn>(device);
    if (!in) {
        return MMSYSERR_INVALHANDLE;
    }
    in->give_back(false);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveInReset(HWAVEIN device) {
    WaveIn* in = find<WaveIn>(device);
    if (!in) {
        return MMSYSERR_INVALHANDLE;
    }
    in->give_back(true);
    return MMSYSERR_NOERROR;
}
