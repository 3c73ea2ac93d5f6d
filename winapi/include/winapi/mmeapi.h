// Waveform audio, as the multimedia library offers it: one output and one input device, the system's default
// ALSA devices. KTW_WAVE_OUT_DEVICE and KTW_WAVE_IN_DEVICE name other ALSA devices ("null", "file:FILE=...").
//
// Each open device has a thread of its own that feeds the queued buffers to ALSA (or fills them from it) and
// marks them done, no faster than the device's rate: a device that keeps no time of its own (ALSA's null) is
// paced by the clock. Where the device cannot be opened (no sound card), the open fails with
// MMSYSERR_NODRIVER, as Windows answers on a machine without sound.
#pragma once

#include "winapi/wintypes.h"

typedef UINT MMRESULT;

DECLARE_HANDLE(HWAVEOUT);
DECLARE_HANDLE(HWAVEIN);
typedef HWAVEOUT* LPHWAVEOUT;
typedef HWAVEIN* LPHWAVEIN;

#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define WAVERR_BADFORMAT 32
#define WAVERR_STILLPLAYING 33
#define WAVERR_UNPREPARED 34

#define WAVE_MAPPER ((UINT)-1)
#define WAVE_FORMAT_PCM 1

#define CALLBACK_NULL 0x00000000
#define CALLBACK_FUNCTION 0x00030000
#define CALLBACK_TYPEMASK 0x00070000

#define WHDR_DONE 0x00000001
#define WHDR_PREPARED 0x00000002
#define WHDR_BEGINLOOP 0x00000004
#define WHDR_ENDLOOP 0x00000008
#define WHDR_INQUEUE 0x00000010

#define MM_WIM_OPEN 0x3BE
#define MM_WIM_CLOSE 0x3BF
#define MM_WIM_DATA 0x3C0
#define WIM_OPEN MM_WIM_OPEN
#define WIM_CLOSE MM_WIM_CLOSE
#define WIM_DATA MM_WIM_DATA

#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
} WAVEFORMATEX, *LPWAVEFORMATEX;
#pragma pack(pop)
typedef const WAVEFORMATEX* LPCWAVEFORMATEX;

typedef struct wavehdr_tag {
    char* lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;  // input: bytes filled
    DWORD_PTR dwUser;
    DWORD dwFlags;  // WHDR_*; the device's thread sets WHDR_DONE
    DWORD dwLoops;
    struct wavehdr_tag* lpNext;
    DWORD_PTR reserved;
} WAVEHDR, *LPWAVEHDR;

// Called on the input device's thread (WIM_DATA: param1 is the finished WAVEHDR), or on the calling thread
// for WIM_OPEN, WIM_CLOSE and the buffers a stop or reset returns. It must not call the wave functions.
typedef void(CALLBACK* LPWAVEINPROC)(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                     DWORD_PTR param2);

// Output. Only 16-bit PCM with a block alignment of channels x 2 is taken (else WAVERR_BADFORMAT); flags
// must be CALLBACK_NULL.
MMRESULT WINAPI waveOutOpen(LPHWAVEOUT device, UINT device_id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                            DWORD_PTR instance, DWORD flags);
MMRESULT WINAPI waveOutClose(HWAVEOUT device);
MMRESULT WINAPI waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size);
MMRESULT WINAPI waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size);
MMRESULT WINAPI waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT size);
MMRESULT WINAPI waveOutPause(HWAVEOUT device);
MMRESULT WINAPI waveOutRestart(HWAVEOUT device);
MMRESULT WINAPI waveOutReset(HWAVEOUT device);
// The volume of every output of this process (left in the low word, right in the high word, 0xFFFF full);
// device is an open output or a device id (0) cast to a handle. Applied to the samples as they are played.
MMRESULT WINAPI waveOutSetVolume(HWAVEOUT device, DWORD volume);
MMRESULT WINAPI waveOutGetVolume(HWAVEOUT device, DWORD* volume);

// Input. Flags: CALLBACK_NULL or CALLBACK_FUNCTION with a LPWAVEINPROC as callback.
MMRESULT WINAPI waveInOpen(LPHWAVEIN device, UINT device_id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                           DWORD_PTR instance, DWORD flags);
MMRESULT WINAPI waveInClose(HWAVEIN device);
MMRESULT WINAPI waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size);
MMRESULT WINAPI waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size);
MMRESULT WINAPI waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT size);
MMRESULT WINAPI waveInStart(HWAVEIN device);
MMRESULT WINAPI waveInStop(HWAVEIN device);
MMRESULT WINAPI waveInReset(HWAVEIN device);
