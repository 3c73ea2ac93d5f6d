#include "codecs/mjpeg_decoder.h"

#include <gtest/gtest.h>

#include "support/jpeg_test_support.h"

namespace {

constexpr int kWidth = 48;
constexpr int kHeight = 32;

// A video stream's frame buffer and its decoder.
struct Stream {
    explicit Stream(bool back_compat = false, int width = kWidth, int height = kHeight)
        : frame(size_t(kWidth) * kHeight * 4, 0xAA),
          decoder(width, height, width * 4, frame.data(), back_compat) {}
    bool feed(const std::vector<uint8_t>& bytes, size_t from = 0, size_t to = SIZE_MAX) {
        to = to == SIZE_MAX ? bytes.size() : to;
        return decoder.decode_data(bytes.data() + from, to - from);
    }

    std::vector<uint8_t> frame;
    MJpegDecoder decoder;
};

std::vector<uint8_t> make_frame(TestPicture picture, uint32_t seed = 1,
                                const JpegEncodeOptions& options = {}) {
    return jpeg_encode(make_test_rgb(picture, kWidth, kHeight, seed), kWidth, kHeight, options);
}

std::vector<uint8_t> expected_pixels(const std::vector<uint8_t>& jpeg, bool back_compat = false) {
    return rgb_to_pixels32(jpeg_reference_decode(jpeg, true), back_compat);
}

TEST(MJpegDecoder, WholeFrameInOneCall) {
    std::vector<uint8_t> jpeg = make_frame(TestPicture::Photo);
    Stream s;
    EXPECT_TRUE(s.feed(jpeg));
    EXPECT_EQ(s.frame, expected_pixels(jpeg));
}

// Wherever a frame is cut, the first piece only suspends the library and the second completes the frame.
TEST(MJpegDecoder, FrameInTwoPiecesCompletesWithTheSecond) {
    std::vector<uint8_t> jpeg = make_frame(TestPicture::Desktop);
    const size_t cuts[] = {1, 2, 20, 200, jpeg.size() / 2, jpeg.size() - 2, jpeg.size() - 1};
    for (size_t cut : cuts) {
        SCOPED_TRACE(cut);
        Stream s;
        EXPECT_FALSE(s.feed(jpeg, 0, cut));
        EXPECT_TRUE(s.feed(jpeg, cut));
        EXPECT_EQ(s.frame, expected_pixels(jpeg));
    }
}

TEST(MJpegDecoder, FramesFedByteByByte) {
    Stream s;
    for (uint32_t seed = 1; seed <= 2; seed++) {
        std::vector<uint8_t> jpeg = make_frame(TestPicture::Noise, seed);
        for (size_t i = 0; i < jpeg.size(); i++) {
            ASSERT_EQ(s.feed(jpeg, i, i + 1), i + 1 == jpeg.size()) << "byte " << i;
        }
        EXPECT_EQ(s.frame, expected_pixels(jpeg));
    }
}

// Two frames back to back in one piece: the first completes now, the second (kept) with the next call.
TEST(MJpegDecoder, BytesAfterAFrameWaitForTheNextCall) {
    std::vector<uint8_t> first = make_frame(TestPicture::Photo, 1);
    std::vector<uint8_t> second = make_frame(TestPicture::Photo, 2);
    std::vector<uint8_t> both = first;
    both.insert(both.end(), second.begin(), second.end());
    Stream s;
    EXPECT_TRUE(s.feed(both));
    EXPECT_EQ(s.frame, expected_pixels(first));
    EXPECT_TRUE(s.decoder.decode_data(nullptr, 0));
    EXPECT_EQ(s.frame, expected_pixels(second));
}

// A comment segment larger than the piece at hand: the skip carries over and drops the start of later pieces.
TEST(MJpegDecoder, SkipPastThePieceCarriesOverToTheFollowingData) {
    JpegEncodeOptions options;
    std::vector<uint8_t> comment(3000);
    for (size_t i = 0; i < comment.size(); i++) {
        comment[i] = uint8_t(i * 7);
    }
    options.markers.push_back({JPEG_COM, comment});
    std::vector<uint8_t> jpeg = make_frame(TestPicture::Photo, 3, options);
    // Find the comment to cut right after its length field, and again inside the rest of the segment.
    size_t com = 0;
    for (size_t i = 0; i + 1 < jpeg.size(); i++) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == JPEG_COM) {
            com = i;
            break;
        }
    }
    ASSERT_NE(com, 0u);
    size_t cut1 = com + 4 + 100;
    size_t cut2 = com + 4 + 1000;  // still inside the skipped segment
    Stream s;
    EXPECT_FALSE(s.feed(jpeg, 0, cut1));
    EXPECT_FALSE(s.feed(jpeg, cut1, cut2));
    EXPECT_TRUE(s.feed(jpeg, cut2));
    EXPECT_EQ(s.frame, expected_pixels(jpeg));
}

TEST(MJpegDecoder, BackCompatibilityPutsRedInTheFirstByte) {
    std::vector<uint8_t> red(size_t(kWidth) * kHeight * 3, 0);
    for (size_t i = 0; i < red.size(); i += 3) {
        red[i] = 255;
    }
    JpegEncodeOptions options;
    options.quality = 100;
    options.full_chroma = true;
    std::vector<uint8_t> jpeg = jpeg_encode(red, kWidth, kHeight, options);
    for (bool back_compat : {false, true}) {
        SCOPED_TRACE(back_compat);
        Stream s(back_compat);
        ASSERT_TRUE(s.feed(jpeg));
        EXPECT_EQ(s.frame, expected_pixels(jpeg, back_compat));
        EXPECT_GT(s.frame[back_compat ? 0 : 2], 240);
        EXPECT_LT(s.frame[back_compat ? 2 : 0], 16);
        EXPECT_EQ(s.frame[3], 0);
    }
}

// A bad frame is dropped whole, with whatever was buffered for it; the stream goes on with the next frame.
TEST(MJpegDecoder, BadFramesAreDroppedAndTheNextFrameDecodes) {
    std::vector<uint8_t> good = make_frame(TestPicture::Photo, 5);
    std::vector<uint8_t> wider =
        jpeg_encode(make_test_rgb(TestPicture::Photo, kWidth + 8, kHeight), kWidth + 8, kHeight);
    std::vector<uint8_t> shorter =
        jpeg_encode(make_test_rgb(TestPicture::Photo, kWidth, kHeight - 1), kWidth, kHeight - 1);
    std::vector<uint8_t> corrupt = good;
    corrupt[3] ^= 0xFF;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"other width", wider},
        {"other height", shorter},
        {"not a JPEG", std::vector<uint8_t>(64, 0x42)},
        {"corrupt marker", corrupt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Stream s;
        // Half a bad frame buffered first, so a drop must also forget the buffer.
        EXPECT_FALSE(s.feed(c.bytes, 0, c.bytes.size() / 2));
        EXPECT_FALSE(s.feed(c.bytes, c.bytes.size() / 2));
        EXPECT_EQ(s.frame, std::vector<uint8_t>(s.frame.size(), 0xAA)) << "frame buffer untouched";
        EXPECT_TRUE(s.feed(good));
        EXPECT_EQ(s.frame, expected_pixels(good));
    }
}

// Unread input beyond the cap is dropped instead of held: here a frame followed by more than the cap of junk.
TEST(MJpegDecoder, CarryOverIsCapped) {
    std::vector<uint8_t> first = make_frame(TestPicture::Photo, 6);
    std::vector<uint8_t> second = make_frame(TestPicture::Photo, 7);
    std::vector<uint8_t> bytes = first;
    bytes.resize(first.size() + MJpegDecoder::kMaxCarryOver + 1, 0);
    Stream s;
    EXPECT_TRUE(s.feed(bytes)) << "the frame itself is complete";
    EXPECT_TRUE(s.feed(second)) << "the junk after it was not kept";
    EXPECT_EQ(s.frame, expected_pixels(second));
}

TEST(MJpegDecoder, StreamLargerThanAnyPictureNeverDecodes) {
    std::vector<uint8_t> jpeg = make_frame(TestPicture::Photo);
    std::vector<uint8_t> frame(16);
    MJpegDecoder decoder(70000, 1, 70000 * 4, frame.data(), false);
    EXPECT_FALSE(decoder.decode_data(jpeg.data(), jpeg.size()));
}

}  // namespace
