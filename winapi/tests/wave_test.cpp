#include "winapi/mmeapi.h"
#include "winapi/windows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

// Points the default output or input at an ALSA device for one test.
class DeviceVariable {
public:
    DeviceVariable(const char* variable, const std::string& device) : _variable(variable) {
        setenv(variable, device.c_str(), 1);
    }
    ~DeviceVariable() { unsetenv(_variable); }

private:
    const char* _variable;
};

WAVEFORMATEX pcm_format(WORD channels, DWORD rate) {
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.nBlockAlign = WORD(channels * 2);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    format.wBitsPerSample = 16;
    return format;
}

bool done(const WAVEHDR& header) {
    return __atomic_load_n(&header.dwFlags, __ATOMIC_ACQUIRE) & WHDR_DONE;
}

bool wait_done(const WAVEHDR& header, int timeout_ms = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done(header)) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string temp_path(const char* name) {
    return std::string("/tmp/ktw_wave_") + std::to_string(getpid()) + "_" + name;
}

std::vector<int16_t> read_samples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

TEST(WaveOpenTest, NoDeviceFailsAsWithoutASoundCardAndBadFormatsAreRefused) {
    WAVEFORMATEX format = pcm_format(2, 48000);
    {
        DeviceVariable out("KTW_WAVE_OUT_DEVICE", "hw:97,0");
        DeviceVariable in("KTW_WAVE_IN_DEVICE", "hw:97,0");
        HWAVEOUT wave_out = nullptr;
        EXPECT_EQ(waveOutOpen(&wave_out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
        HWAVEIN wave_in = nullptr;
        EXPECT_EQ(waveInOpen(&wave_in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    }
    DeviceVariable out("KTW_WAVE_OUT_DEVICE", "null");
    struct Case {
        const char* what;
        WAVEFORMATEX format;
    } cases[] = {
        {"8-bit",
         [] {
             auto f = pcm_format(2, 48000);
             f.wBitsPerSample = 8;
             return f;
         }()},
        {"not PCM",
         [] {
             auto f = pcm_format(2, 48000);
             f.wFormatTag = 3;
             return f;
         }()},
        {"no channels", pcm_format(0, 48000)},
        {"block alignment",
         [] {
             auto f = pcm_format(2, 48000);
             f.nBlockAlign = 2;
             return f;
         }()},
        {"rate 0", pcm_format(2, 0)},
    };
    for (const Case& c : cases) {
        HWAVEOUT wave_out = nullptr;
        EXPECT_EQ(waveOutOpen(&wave_out, WAVE_MAPPER, &c.format, 0, 0, CALLBACK_NULL),
                  (MMRESULT)WAVERR_BADFORMAT)
            << c.what;
    }
    HWAVEOUT wave_out = nullptr;
    EXPECT_EQ(waveOutOpen(&wave_out, 5, &format, 0, 0, CALLBACK_NULL), (MMRESULT)MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutClose(reinterpret_cast<HWAVEOUT>(&format)), (MMRESULT)MMSYSERR_INVALHANDLE);
}

// The samples played reach the device unchanged, in order, across buffers; the volume scales them.
TEST(WaveOutTest, PlaysEveryBufferInOrderIntoAFileDeviceAndAppliesTheVolume) {
    std::string path = temp_path("out.raw");
    DeviceVariable out("KTW_WAVE_OUT_DEVICE", "file:FILE=" + path + ",FORMAT=raw");
    WAVEFORMATEX format = pcm_format(2, 8000);
    HWAVEOUT device = nullptr;
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), (MMRESULT)MMSYSERR_NOERROR);

    const int kBuffers = 3;
    const int kSamples = 2 * 200;  // 200 frames, not a multiple of the device's chunk
    std::vector<std::vector<int16_t>> data(kBuffers, std::vector<int16_t>(kSamples));
    std::vector<int16_t> expected;
    WAVEHDR headers[kBuffers] = {};
    ASSERT_EQ(waveOutSetVolume(nullptr, 0xFFFFFFFF), (MMRESULT)MMSYSERR_NOERROR);
    for (int b = 0; b < kBuffers; b++) {
        for (int i = 0; i < kSamples; i++) {
            data[b][i] = int16_t((b * kSamples + i) * 37 - 20000);
        }
        expected.insert(expected.end(), data[b].begin(), data[b].end());
        headers[b].lpData = reinterpret_cast<char*>(data[b].data());
        headers[b].dwBufferLength = kSamples * 2;
        EXPECT_EQ(waveOutWrite(device, &headers[b], sizeof(WAVEHDR)), (MMRESULT)WAVERR_UNPREPARED);
        ASSERT_EQ(waveOutPrepareHeader(device, &headers[b], sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(device, &headers[b], sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    }
    for (int b = 0; b < kBuffers; b++) {
        ASSERT_TRUE(wait_done(headers[b])) << b;
        EXPECT_FALSE(headers[b].dwFlags & WHDR_INQUEUE);
        EXPECT_EQ(waveOutUnprepareHeader(device, &headers[b], sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    }

    // Half volume on the left, none on the right.
    ASSERT_EQ(waveOutSetVolume(nullptr, 0x00008000), (MMRESULT)MMSYSERR_NOERROR);
    DWORD volume = 0;
    EXPECT_EQ(waveOutGetVolume(nullptr, &volume), (MMRESULT)MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0x00008000u);
    std::vector<int16_t> loud(kSamples, 20000);
    WAVEHDR header = {};
    header.lpData = reinterpret_cast<char*>(loud.data());
    header.dwBufferLength = kSamples * 2;
    ASSERT_EQ(waveOutPrepareHeader(device, &header, sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(device, &header, sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    ASSERT_TRUE(wait_done(header));
    EXPECT_EQ(waveOutUnprepareHeader(device, &header, sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    waveOutSetVolume(nullptr, 0xFFFFFFFF);
    ASSERT_EQ(waveOutClose(device), (MMRESULT)MMSYSERR_NOERROR);

    std::vector<int16_t> written = read_samples(path);
    std::remove(path.c_str());
    ASSERT_EQ(written.size(), expected.size() + kSamples);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), written.begin()));
    EXPECT_NEAR(written[expected.size()], 10000, 1);
    EXPECT_EQ(written[expected.size() + 1], 0);
}

// Pause holds queued buffers, restart plays them, reset hands every queued buffer back at once; a queued
// buffer can be neither unprepared nor closed over.
TEST(WaveOutTest, PauseRestartResetAndQueuedBuffers) {
    DeviceVariable out("KTW_WAVE_OUT_DEVICE", "null");
    WAVEFORMATEX format = pcm_format(2, 48000);
    HWAVEOUT device = nullptr;
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), (MMRESULT)MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutPause(device), (MMRESULT)MMSYSERR_NOERROR);
    std::vector<int16_t> samples(2 * 480);
    WAVEHDR headers[3] = {};
    for (WAVEHDR& header : headers) {
        header.lpData = reinterpret_cast<char*>(samples.data());
        header.dwBufferLength = DWORD(samples.size() * 2);
        ASSERT_EQ(waveOutPrepareHeader(device, &header, sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(device, &header, sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    }
    EXPECT_EQ(waveOutWrite(device, &headers[0], sizeof(WAVEHDR)), (MMRESULT)WAVERR_STILLPLAYING);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(done(headers[0])) << "a paused device played";
    EXPECT_EQ(waveOutUnprepareHeader(device, &headers[0], sizeof(WAVEHDR)), (MMRESULT)WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(device), (MMRESULT)WAVERR_STILLPLAYING);

    ASSERT_EQ(waveOutRestart(device), (MMRESULT)MMSYSERR_NOERROR);
    ASSERT_TRUE(wait_done(headers[0]));

    ASSERT_EQ(waveOutPause(device), (MMRESULT)MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutReset(device), (MMRESULT)MMSYSERR_NOERROR);
    for (WAVEHDR& header : headers) {
        EXPECT_TRUE(done(header));
        EXPECT_FALSE(header.dwFlags & WHDR_INQUEUE);
        EXPECT_EQ(waveOutUnprepareHeader(device, &header, sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    }
    EXPECT_EQ(waveOutClose(device), (MMRESULT)MMSYSERR_NOERROR);
}

// A device without a clock of its own (null) still plays in real time: half a second of sound is not done
// long before half a second has passed.
TEST(WaveOutTest, PlaysAtTheDevicesRate) {
    DeviceVariable out("KTW_WAVE_OUT_DEVICE", "null");
    WAVEFORMATEX format = pcm_format(2, 48000);
    HWAVEOUT device = nullptr;
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), (MMRESULT)MMSYSERR_NOERROR);
    std::vector<int16_t> samples(2 * 24000);
    WAVEHDR header = {};
    header.lpData = reinterpret_cast<char*>(samples.data());
    header.dwBufferLength = DWORD(samples.size() * 2);
    ASSERT_EQ(waveOutPrepareHeader(device, &header, sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    auto start = Clock::now();
    ASSERT_EQ(waveOutWrite(device, &header, sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    ASSERT_TRUE(wait_done(header));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(350));
    waveOutUnprepareHeader(device, &header, sizeof(WAVEHDR));
    EXPECT_EQ(waveOutClose(device), (MMRESULT)MMSYSERR_NOERROR);
}

struct Callbacks {
    std::mutex lock;
    std::vector<std::pair<UINT, WAVEHDR*>> seen;
    std::atomic<int> data{0};

    static void CALLBACK proc(HWAVEIN, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
        Callbacks* self = reinterpret_cast<Callbacks*>(instance);
        std::lock_guard<std::mutex> hold(self->lock);
        self->seen.push_back({message, reinterpret_cast<WAVEHDR*>(param1)});
        if (message == WIM_DATA) {
            self->data++;
        }
    }
};

// Capture from the null device (silence): buffers come back full, in order, with WIM_DATA; stop returns the
// partly filled one; reset returns the rest; open and close are announced.
TEST(WaveInTest, FillsBuffersInOrderAndStopAndResetReturnThem) {
    DeviceVariable in("KTW_WAVE_IN_DEVICE", "null");
    WAVEFORMATEX format = pcm_format(2, 8000);
    Callbacks callbacks;
    HWAVEIN device = nullptr;
    ASSERT_EQ(waveInOpen(&device, WAVE_MAPPER, &format, DWORD_PTR(&Callbacks::proc), DWORD_PTR(&callbacks),
                         CALLBACK_FUNCTION),
              (MMRESULT)MMSYSERR_NOERROR);
    const int kBuffers = 4;
    std::vector<std::vector<char>> data(kBuffers, std::vector<char>(4 * 160, 'x'));  // 20 ms each
    WAVEHDR headers[kBuffers] = {};
    for (int b = 0; b < kBuffers; b++) {
        headers[b].lpData = data[b].data();
        headers[b].dwBufferLength = DWORD(data[b].size());
        ASSERT_EQ(waveInPrepareHeader(device, &headers[b], sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInAddBuffer(device, &headers[0], sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(device, &headers[1], sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(device), (MMRESULT)MMSYSERR_NOERROR);
    ASSERT_TRUE(wait_done(headers[1]));
    EXPECT_EQ(headers[0].dwBytesRecorded, headers[0].dwBufferLength);
    EXPECT_EQ(data[0][0], 0) << "the null device captures silence";
    EXPECT_EQ(data[1].back(), 0);

    // Stopped: queued buffers stay queued; reset returns them.
    ASSERT_EQ(waveInStop(device), (MMRESULT)MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(device, &headers[2], sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(device, &headers[3], sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done(headers[2])) << "a stopped device captured";
    EXPECT_EQ(waveInClose(device), (MMRESULT)WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInReset(device), (MMRESULT)MMSYSERR_NOERROR);
    EXPECT_TRUE(done(headers[2]) && done(headers[3]));
    EXPECT_EQ(headers[2].dwBytesRecorded, 0u);
    for (WAVEHDR& header : headers) {
        EXPECT_EQ(waveInUnprepareHeader(device, &header, sizeof(WAVEHDR)), (MMRESULT)MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInClose(device), (MMRESULT)MMSYSERR_NOERROR);

    std::lock_guard<std::mutex> hold(callbacks.lock);
    ASSERT_EQ(callbacks.seen.size(), 6u);
    EXPECT_EQ(callbacks.seen.front().first, (UINT)WIM_OPEN);
    EXPECT_EQ(callbacks.seen[1], std::make_pair((UINT)WIM_DATA, &headers[0]));
    EXPECT_EQ(callbacks.seen[2], std::make_pair((UINT)WIM_DATA, &headers[1]));
    EXPECT_EQ(callbacks.seen[3], std::make_pair((UINT)WIM_DATA, &headers[2]));
    EXPECT_EQ(callbacks.seen[4], std::make_pair((UINT)WIM_DATA, &headers[3]));
    EXPECT_EQ(callbacks.seen.back().first, (UINT)WIM_CLOSE);
}

}  // namespace
