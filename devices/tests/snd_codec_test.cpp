#include "devices/snd_codec.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(SndCodecTest, OnlyCeltMakesACodecAndDecodingNeedsOne) {
    SndCodec* codec = nullptr;
    EXPECT_EQ(snd_codec_create(&codec, 1, 48000, SND_CODEC_DECODE), SND_CODEC_UNAVAILABLE);
    ASSERT_NE(codec, nullptr) << "the record is left for the caller";
    EXPECT_EQ(codec->mode, 0u);
    EXPECT_EQ(codec->frequency, 48000u);

    std::vector<uint8_t> in(83, 1), out(SND_CODEC_CELT_FRAME_BYTES);
    uint32_t size = 0;
    EXPECT_EQ(snd_codec_decode_celt051(codec, in.data(), uint32_t(in.size()), out.data(), &size),
              SND_CODEC_NOT_CELT);
    EXPECT_EQ(snd_codec_decode_celt051(nullptr, in.data(), uint32_t(in.size()), out.data(), &size),
              SND_CODEC_NOT_CELT);
    EXPECT_LT(snd_codec_encode_celt051(codec, out.data(), in.data(), uint32_t(in.size())), 0);
    EXPECT_EQ(size, 0u);
    snd_codec_free(codec);
}

TEST(SndCodecTest, CeltCodecsFollowTheFlagsOrAreHonestlyAbsent) {
    struct Case {
        int flags;
        bool encoder, decoder;
    } cases[] = {{SND_CODEC_ENCODE, true, false},
                 {SND_CODEC_DECODE, false, true},
                 {SND_CODEC_ENCODE | SND_CODEC_DECODE, true, true}};
    for (const Case& c : cases) {
        SndCodec* codec = nullptr;
        int result = snd_codec_create(&codec, SND_CODEC_MODE_CELT_0_5_1, 48000, c.flags);
        ASSERT_NE(codec, nullptr);
        if (!snd_codec_celt051_available()) {
            EXPECT_EQ(result, SND_CODEC_UNAVAILABLE);
            EXPECT_EQ(codec->mode, 0u);
            EXPECT_EQ(codec->encoder, nullptr);
            EXPECT_EQ(codec->decoder, nullptr);
        } else {
            ASSERT_EQ(result, SND_CODEC_OK);
            EXPECT_EQ(codec->mode, uint32_t(SND_CODEC_MODE_CELT_0_5_1));
            EXPECT_EQ(codec->compressed_bytes, 83u);
            EXPECT_EQ(codec->encoder != nullptr, c.encoder);
            EXPECT_EQ(codec->decoder != nullptr, c.decoder);
            if (c.encoder && c.decoder) {
                std::vector<uint8_t> frame(SND_CODEC_CELT_FRAME_BYTES, 0), packed(480), out(frame.size());
                int bytes =
                    snd_codec_encode_celt051(codec, frame.data(), packed.data(), uint32_t(packed.size()));
                EXPECT_EQ(bytes, 83);
                uint32_t size = 0;
                EXPECT_EQ(snd_codec_decode_celt051(codec, packed.data(), uint32_t(bytes), out.data(), &size),
                          SND_CODEC_OK);
                EXPECT_EQ(size, uint32_t(SND_CODEC_CELT_FRAME_BYTES));
            }
        }
        snd_codec_destroy_celt051(codec);
        EXPECT_EQ(codec->compressed_bytes, 0u);
        EXPECT_EQ(codec->celt_mode, nullptr);
        EXPECT_EQ(codec->encoder, nullptr);
        EXPECT_EQ(codec->decoder, nullptr);
        snd_codec_free(codec);
    }
}

}  // namespace
