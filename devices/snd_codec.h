// snd_codec: the CELT 0.5.1 codec (stereo, 448-sample frames) behind one record and a few calls with plain
// integer results. The library is linked only where the build found it; without it every codec is reported
// absent: snd_codec_celt051_available is false and creating a CELT codec returns SND_CODEC_UNAVAILABLE.
#pragma once

#include <cstdint>

enum {
    SND_CODEC_OK = 0,
    SND_CODEC_UNAVAILABLE = 1,  // the codec could not be made, or the mode is not CELT
    SND_CODEC_NOT_CELT = 3,     // no CELT codec to decode with
    SND_CODEC_DECODE_FAILED = 5,
};

enum {
    SND_CODEC_MODE_CELT_0_5_1 = 2,  // the audio data mode both channels use for CELT 0.5.1
    SND_CODEC_CELT_FRAME_SAMPLES = 448,
    SND_CODEC_CELT_FRAME_BYTES = SND_CODEC_CELT_FRAME_SAMPLES * 2 * 2,
    SND_CODEC_CELT_MAX_COMPRESSED = 480,
};

enum {
    SND_CODEC_ENCODE = 1,
    SND_CODEC_DECODE = 2,
};

struct SndCodec {
    uint32_t mode;              // SND_CODEC_MODE_CELT_0_5_1 once a CELT codec is ready, else 0
    uint32_t frequency;         // samples per second
    uint32_t compressed_bytes;  // bytes per encoded frame: 83 after creation, 0 after destruction
    void* celt_mode;
    void* encoder;
    void* decoder;
};

// Whether this build has the CELT 0.5.1 library.
bool snd_codec_celt051_available();

// Allocates a zeroed record into *codec (also when the result is not SND_CODEC_OK: the caller frees it with
// snd_codec_free) and makes a CELT codec for mode SND_CODEC_MODE_CELT_0_5_1 with the flags' encoder and
// decoder. Any other mode returns SND_CODEC_UNAVAILABLE.
int snd_codec_create(SndCodec** codec, uint32_t mode, uint32_t frequency, int flags);
int snd_codec_create_celt051(SndCodec* codec, int flags);
// One compressed frame into SND_CODEC_CELT_FRAME_BYTES of stereo 16-bit samples; *out_size is set to that
// count on success. out must hold SND_CODEC_CELT_FRAME_BYTES.
int snd_codec_decode_celt051(SndCodec* codec, const uint8_t* in, uint32_t in_size, uint8_t* out,
                             uint32_t* out_size);
// One frame of SND_CODEC_CELT_FRAME_BYTES into at most min(compressed bytes, out_room) bytes: the count
// written, or a negative value when the encoder failed or there is none.
int snd_codec_encode_celt051(SndCodec* codec, const uint8_t* frame, uint8_t* out, uint32_t out_room);
// Destroys the decoder, the encoder and the CELT mode, each when present; compressed bytes become 0.
void snd_codec_destroy_celt051(SndCodec* codec);
// Frees the record (destroy first); null is ignored.
void snd_codec_free(SndCodec* codec);
