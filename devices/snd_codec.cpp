#include "devices/snd_codec.h"

#include "runtime/mem.h"

#include <cstdio>
#include <cstdlib>

#ifdef KTW_HAVE_CELT051
#include <celt051/celt.h>
#endif

bool snd_codec_celt051_available() {
#ifdef KTW_HAVE_CELT051
    return true;
#else
    return false;
#endif
}

int snd_codec_create(SndCodec** codec, uint32_t mode, uint32_t frequency, int flags) {
    *codec = static_cast<SndCodec*>(spice_malloc0(sizeof(SndCodec)));
    (*codec)->frequency = frequency;
    if (mode == SND_CODEC_MODE_CELT_0_5_1) {
        return snd_codec_create_celt051(*codec, flags);
    }
    return SND_CODEC_UNAVAILABLE;
}

int snd_codec_create_celt051(SndCodec* codec, int flags) {
#ifdef KTW_HAVE_CELT051
    int error = 0;
    CELTMode* mode = celt051_mode_create(codec->frequency, 2, SND_CODEC_CELT_FRAME_SAMPLES, &error);
    if (!mode) {
        fprintf(stderr, "%s: create celt mode failed %d\n", __func__, error);
        return SND_CODEC_UNAVAILABLE;
    }
    codec->celt_mode = mode;
    if (flags & SND_CODEC_ENCODE) {
        codec->encoder = celt051_encoder_create(mode);
        if (!codec->encoder) {
            fprintf(stderr, "%s: create celt encoder failed\n", __func__);
            snd_codec_destroy_celt051(codec);
            return SND_CODEC_UNAVAILABLE;
        }
    }
    if (flags & SND_CODEC_DECODE) {
        codec->decoder = celt051_decoder_create(mode);
        if (!codec->decoder) {
            fprintf(stderr, "%s: create celt decoder failed\n", __func__);
            snd_codec_destroy_celt051(codec);
            return SND_CODEC_UNAVAILABLE;
        }
    }
    codec->mode = SND_CODEC_MODE_CELT_0_5_1;
    codec->compressed_bytes = 83;
    return SND_CODEC_OK;
#else
    (void)codec;
    (void)flags;
    return SND_CODEC_UNAVAILABLE;
#endif
}

int snd_codec_decode_celt051(SndCodec* codec, const uint8_t* in, uint32_t in_size, uint8_t* out,
                             uint32_t* out_size) {
    if (!codec || codec->mode != SND_CODEC_MODE_CELT_0_5_1 || !codec->decoder) {
        return SND_CODEC_NOT_CELT;
    }
#ifdef KTW_HAVE_CELT051
    int result = celt051_decode(static_cast<CELTDecoder*>(codec->decoder), const_cast<uint8_t*>(in),
                                int(in_size), reinterpret_cast<celt_int16_t*>(out));
    if (result < 0) {
        fprintf(stderr, "%s: celt051_decode failed %d\n\n", __func__, result);
        return SND_CODEC_DECODE_FAILED;
    }
    *out_size = SND_CODEC_CELT_FRAME_BYTES;
    return SND_CODEC_OK;
#else
    (void)in;
    (void)in_size;
    (void)out;
    (void)out_size;
    return SND_CODEC_NOT_CELT;
#endif
}

int snd_codec_encode_celt051(SndCodec* codec, const uint8_t* frame, uint8_t* out, uint32_t out_room) {
    if (!codec || codec->mode != SND_CODEC_MODE_CELT_0_5_1 || !codec->encoder) {
        return -1;
    }
#ifdef KTW_HAVE_CELT051
    uint32_t budget = codec->compressed_bytes;
    if (budget > SND_CODEC_CELT_MAX_COMPRESSED) {
        budget = SND_CODEC_CELT_MAX_COMPRESSED;
    }
    if (budget > out_room) {
        budget = out_room;
    }
    int result = celt051_encode(static_cast<CELTEncoder*>(codec->encoder),
                                reinterpret_cast<celt_int16_t*>(const_cast<uint8_t*>(frame)), nullptr, out,
                                int(budget));
    if (result < 0) {
        fprintf(stderr, "%s: celt051_encode failed %d\n\n", __func__, result);
    }
    return result;
#else
    (void)frame;
    (void)out;
    (void)out_room;
    return -1;
#endif
}

void snd_codec_destroy_celt051(SndCodec* codec) {
    if (!codec) {
        return;
    }
#ifdef KTW_HAVE_CELT051
    if (codec->decoder) {
        celt051_decoder_destroy(static_cast<CELTDecoder*>(codec->decoder));
    }
    if (codec->encoder) {
        celt051_encoder_destroy(static_cast<CELTEncoder*>(codec->encoder));
    }
    if (codec->celt_mode) {
        celt051_mode_destroy(static_cast<CELTMode*>(codec->celt_mode));
    }
#endif
    codec->decoder = nullptr;
    codec->encoder = nullptr;
    codec->celt_mode = nullptr;
    codec->compressed_bytes = 0;
}

void snd_codec_free(SndCodec* codec) {
    free(codec);
}
