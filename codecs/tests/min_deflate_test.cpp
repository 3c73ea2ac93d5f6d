#include "codecs/md/min_deflate.h"
#include "codecs/md/mppc_dec.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/md_encoder.h"

namespace {

using md_test::BitWriter;
using md_test::message;

struct DecoderFree {
    void operator()(MdDecoder* d) const { md_dec_free(d); }
};
using Decoder = std::unique_ptr<MdDecoder, DecoderFree>;

struct ContextFree {
    void operator()(RdpDecompress* c) const { decompress_free(c); }
};
using Context = std::unique_ptr<RdpDecompress, ContextFree>;

// Runs md_decompress with room for `room` bytes; the output is cut to what was produced.
int run(MdDecoder* decoder, const std::vector<uint8_t>& msg, std::vector<uint8_t>* out,
        size_t room = 1 << 20) {
    out->assign(room, 0);
    size_t produced = room;
    int result = md_decompress(decoder, msg.data(), msg.size(), out->data(), &produced);
    out->resize(produced);
    return result;
}

std::vector<uint8_t> bytes_of(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t state = seed * 2654435761u + 7;
    for (auto& b : v) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = uint8_t(state);
    }
    return v;
}

// Text-like data that compresses: words from a small vocabulary.
std::vector<uint8_t> wordy_bytes(size_t n, uint32_t seed) {
    static const char* const words[] = {"window ", "canvas ", "surface ", "draw ",
                                        "copy ",   "fill ",   "\n",       "glyph "};
    std::vector<uint8_t> random = random_bytes(n, seed);
    std::vector<uint8_t> v;
    for (size_t i = 0; v.size() < n; i++) {
        const char* w = words[random[i % n] % 8];
        v.insert(v.end(), w, w + strlen(w));
        if (random[(i * 7) % n] < 16) {
            v.push_back(random[(i * 13) % n]);
        }
    }
    v.resize(n);
    return v;
}

TEST(MinDeflate, HandMadeStreams) {
    struct Case {
        const char* name;
        unsigned decoder_level;
        std::vector<uint8_t> msg;
        int result;
        std::string output;
    };
    auto stream = [](unsigned level, uint32_t size, auto build) {
        BitWriter w;
        build(w);
        return message(level, true, size, w.finish());
    };
    auto hello = [](BitWriter& w) {
        for (char c : std::string("hello")) {
            w.literal(uint8_t(c));
        }
    };
    const Case cases[] = {
        {"five literals", 1,
         stream(1, 5,
                [&](BitWriter& w) {
                    hello(w);
                    w.end();
                }),
         MD_OK, "hello"},
        {"level of another context", 2,
         stream(1, 5,
                [&](BitWriter& w) {
                    hello(w);
                    w.end();
                }),
         MD_ERR_INVALID, ""},
        {"match token 0x100 repeats the previous byte", 1,
         stream(1, 5,
                [](BitWriter& w) {
                    w.literal('x');
                    w.put(0x100, 9);
                    w.put(0, 4);
                    w.end();
                }),
         MD_OK, "xxxxx"},
        {"overlapping match repeats a pattern", 1,
         stream(1, 11,
                [](BitWriter& w) {
                    w.literal('a');
                    w.literal('b');
                    w.literal('c');
                    w.match(8, 3);
                    w.end();
                }),
         MD_OK, "abcabcabcab"},
        {"stored", 1, {0x04, 0x03, 'a', 'b', 'c'}, MD_OK, "abc"},
        {"stored shorter than its size", 1, {0x04, 0x04, 'a', 'b', 'c'}, MD_ERR_INVALID, ""},
        {"header only", 1, {0x05, 0x05}, MD_ERR_INVALID, ""},
        {"end before the size", 1,
         stream(1, 6,
                [&](BitWriter& w) {
                    hello(w);
                    w.end();
                }),
         MD_ERR_INVALID, ""},
        {"literal past the size", 1,
         stream(1, 4,
                [&](BitWriter& w) {
                    hello(w);
                    w.end();
                }),
         MD_ERR_INVALID, ""},
        {"match past the size", 1,
         stream(1, 6,
                [&](BitWriter& w) {
                    hello(w);
                    w.match(4, 1);
                    w.end();
                }),
         MD_ERR_INVALID, ""},
        {"match before the first byte", 1,
         stream(1, 4,
                [](BitWriter& w) {
                    w.match(4, 1);
                    w.end();
                }),
         MD_ERR_INVALID, ""},
        {"match before the output", 1,
         stream(1, 9,
                [&](BitWriter& w) {
                    hello(w);
                    w.match(4, 6);
                    w.end();
                }),
         MD_ERR_INVALID, ""},
        {"no end token", 1, stream(1, 5, hello), MD_ERR_INVALID, ""},
        {"end token cut short", 1,
         [&] {
             std::vector<uint8_t> m = stream(1, 5, [&](BitWriter& w) {
                 hello(w);
                 w.end();
             });
             m.resize(m.size() - 4);  // the end token's last word
             return m;
         }(),
         MD_ERR_INVALID, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder decoder(md_dec_new(c.decoder_level));
        ASSERT_TRUE(decoder);
        std::vector<uint8_t> out;
        EXPECT_EQ(run(decoder.get(), c.msg, &out), c.result);
        if (c.result == MD_OK) {
            EXPECT_EQ(std::string(out.begin(), out.end()), c.output);
        }
    }
}

TEST(MinDeflate, HeaderGivesCompressionSizeAndLevel) {
    MdHeader h;
    const std::vector<uint8_t> long_header = {0x07, 0x00, 0x01, 0x00, 0x00, 0xAB};
    ASSERT_TRUE(md_read_header(long_header.data(), long_header.size(), &h));
    EXPECT_TRUE(h.compressed);
    EXPECT_EQ(h.header_length, 5u);
    EXPECT_EQ(h.size, 256u);
    EXPECT_EQ(h.level, 1u);

    const std::vector<uint8_t> stored = {0x28, 0x03, 'a'};  // level 10, short header
    ASSERT_TRUE(md_read_header(stored.data(), stored.size(), &h));
    EXPECT_FALSE(h.compressed);
    EXPECT_EQ(h.level, 10u);
    EXPECT_EQ(h.size, 3u);

    // A header cut short, or with nothing after it, is no message.
    for (size_t n : {0, 1, 2, 5}) {
        EXPECT_FALSE(md_read_header(long_header.data(), n, &h)) << n;
    }
}

TEST(MinDeflate, OutputRoomAndAnnouncedSizeAreChecked) {
    Decoder decoder(md_dec_new(1));
    std::vector<uint8_t> out;
    EXPECT_EQ(run(decoder.get(), {0x04, 0x03, 'a', 'b', 'c'}, &out, 2), MD_ERR_OUTPUT_TOO_SMALL);

    uint32_t huge = MD_MAX_DECOMPRESSED_SIZE + 1;
    std::vector<uint8_t> msg = message(1, true, huge, {0, 0, 0, 0});
    EXPECT_EQ(run(decoder.get(), msg, &out), MD_ERR_INVALID);
    Context context(decompress_new(1));
    DecompressStream stream;
    EXPECT_EQ(decompress_rdp(msg.data(), context.get(), uint32_t(msg.size()), &stream), 0);
}

// A level-1 window (131072 bytes in blocks of 65536): a message that does not fit slides the window by one
// block and may still refer to the history kept; one larger than the window bypasses it and restarts the
// history.
TEST(MinDeflate, WindowSlidesByOneBlockAndLargeMessagesBypassIt) {
    Decoder decoder(md_dec_new(1));
    md_test::Encoder encoder(1);
    std::vector<uint8_t> out;

    std::vector<uint8_t> first = wordy_bytes(100000, 1);
    ASSERT_EQ(run(decoder.get(), encoder.encode(first, true), &out), MD_OK);
    EXPECT_EQ(decoder->position, 100000u);

    // Repeats the part of the history that survives the slide, so the matches reach across it.
    std::vector<uint8_t> second(first.begin() + 70000, first.end());
    std::vector<uint8_t> tail = wordy_bytes(10000, 2);
    second.insert(second.end(), tail.begin(), tail.end());
    std::vector<uint8_t> msg = encoder.encode(second);
    EXPECT_LT(msg.size(), second.size() / 4) << "the encoder found the history";
    ASSERT_EQ(run(decoder.get(), msg, &out), MD_OK);
    EXPECT_EQ(out, second);
    EXPECT_EQ(decoder->position, 34464u + 40000u);

    std::vector<uint8_t> big = wordy_bytes(200000, 3);
    ASSERT_EQ(run(decoder.get(), encoder.encode(big), &out), MD_OK);
    EXPECT_EQ(out, big);
    EXPECT_EQ(decoder->position, 0u);

    std::vector<uint8_t> after = wordy_bytes(5000, 4);
    ASSERT_EQ(run(decoder.get(), encoder.encode(after), &out), MD_OK);
    EXPECT_EQ(out, after);
}

// Matches may reach into the history before the message, as far as the window holds it, and no further; a
// message that bypasses the window has no history at all.
TEST(MinDeflate, MatchesReachTheHistoryButNotBeforeIt) {
    auto reach = [](uint32_t distance) {
        BitWriter w;
        w.match(4, distance);
        w.end();
        return message(1, true, 4, w.finish());
    };
    Decoder decoder(md_dec_new(1));
    std::vector<uint8_t> out;
    ASSERT_EQ(run(decoder.get(), message(1, false, 10, bytes_of("0123456789")), &out), MD_OK);
    EXPECT_EQ(run(decoder.get(), reach(10), &out), MD_OK);
    EXPECT_EQ(std::string(out.begin(), out.end()), "0123");
    EXPECT_EQ(decoder->position, 14u);
    EXPECT_EQ(run(decoder.get(), reach(15), &out), MD_ERR_INVALID);

    Decoder bypassing(md_dec_new(1));
    ASSERT_EQ(run(bypassing.get(), message(1, false, 10, bytes_of("0123456789")), &out), MD_OK);
    BitWriter w;
    w.literal('z');
    w.match(200000, 2);  // reaches one byte before the output, where the window's history does not count
    w.end();
    EXPECT_EQ(run(bypassing.get(), message(1, true, 200001, w.finish()), &out, 200001), MD_ERR_INVALID);
}

// Every length code and every distance code, at the smallest and largest value the history allows, against a
// byte-by-byte model of the copy. Level 10's window holds the 12 MB of history that distance code 31 needs.
TEST(MinDeflate, EveryLengthAndDistanceCode) {
    Decoder decoder(md_dec_new(10));
    std::vector<uint8_t> history = random_bytes(12000000, 5);
    std::vector<uint8_t> out;
    ASSERT_EQ(run(decoder.get(), message(10, false, uint32_t(history.size()), history), &out, history.size()),
              MD_OK);

    std::vector<uint8_t> model = history;  // history then the message's output
    BitWriter w;
    auto match = [&](uint32_t length, uint32_t distance) {
        w.match(length, distance);
        for (uint32_t i = 0; i < length; i++) {
            model.push_back(model[model.size() - distance]);
        }
    };
    for (uint8_t b : bytes_of("seed")) {
        w.literal(b);
        model.push_back(b);
    }
    for (unsigned dc = 0; dc < 32; dc++) {
        uint32_t base = md_test::base_of(md_test::kDistanceExtra, dc);
        uint32_t last = base + (uint32_t(1) << md_test::kDistanceExtra[dc]);
        match(4, base + 1);
        match(5, std::min<uint64_t>(last, model.size()));
    }
    for (unsigned lc = 0; lc < 8; lc++) {
        uint32_t base = md_test::base_of(md_test::kLengthExtra, lc) + 4;
        uint32_t last = lc == 7 ? base + 5000 : base + (uint32_t(1) << md_test::kLengthExtra[lc]) - 1;
        match(base, 1);
        match(last, 7);
        match(last, 300000);
    }
    w.end();
    size_t size = model.size() - history.size();
    ASSERT_EQ(run(decoder.get(), message(10, true, uint32_t(size), w.finish()), &out, size), MD_OK);
    EXPECT_TRUE(out == std::vector<uint8_t>(model.begin() + ptrdiff_t(history.size()), model.end()));
}

// Messages through the channel's context at several levels: the history carries over from message to message,
// across slides and bypasses, and stored messages take their place in it like the others.
TEST(MinDeflate, RoundTripsThroughTheContext) {
    for (unsigned level : {1u, 3u, 5u, 8u}) {
        SCOPED_TRACE(level);
        Context context(decompress_new(level));
        ASSERT_EQ(decompress_init(context.get()), 1);
        md_test::Encoder encoder(level);
        const size_t sizes[] = {1, 300, 70000, 150000, 20000, 1500000, 9000, 600000, 80, 3000000, 4000};
        for (size_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); i++) {
            std::vector<uint8_t> data = wordy_bytes(sizes[i], uint32_t(i + 10 * level));
            std::vector<uint8_t> msg = encoder.encode(data, i % 4 == 2);
            DecompressStream stream = {};
            ASSERT_EQ(decompress_rdp(msg.data(), context.get(), uint32_t(msg.size()), &stream), 1) << i;
            ASSERT_EQ(stream.length, data.size());
            EXPECT_EQ(stream.pos, stream.start);
            EXPECT_TRUE(std::equal(data.begin(), data.end(), stream.start)) << i;
            EXPECT_EQ(context->md_dec->position, encoder.position()) << i;
        }
    }
}

// One failed message leaves the history out of step with the server's: the context refuses everything after
// it.
TEST(MinDeflate, AFailedMessageFailsEveryLaterOne) {
    Context context(decompress_new(1));
    DecompressStream stream;
    md_test::Encoder encoder(1);
    std::vector<uint8_t> good = encoder.encode(wordy_bytes(1000, 1));
    ASSERT_EQ(decompress_rdp(good.data(), context.get(), uint32_t(good.size()), &stream), 1);

    const std::vector<uint8_t> wrong_level = {0x08, 0x01, 'x'};
    EXPECT_EQ(decompress_rdp(wrong_level.data(), context.get(), uint32_t(wrong_level.size()), &stream), 0);
    std::vector<uint8_t> next = encoder.encode(wordy_bytes(1000, 2));
    EXPECT_EQ(decompress_rdp(next.data(), context.get(), uint32_t(next.size()), &stream), 0);
}

// The level comes from the server: one out of range refuses compression without ending the process.
TEST(MinDeflate, LevelsOutsideOneToTenAreRefused) {
    for (uint32_t level : {0u, 11u, 63u, 0x7fffffffu}) {
        SCOPED_TRACE(level);
        Context context(decompress_new(level));
        EXPECT_EQ(decompress_init(context.get()), 0);
        const std::vector<uint8_t> msg = {uint8_t(level << 2), 0x01, 'x'};
        DecompressStream stream;
        EXPECT_EQ(decompress_rdp(msg.data(), context.get(), uint32_t(msg.size()), &stream), 0);
    }
    Context context(decompress_new(10));
    EXPECT_EQ(decompress_init(context.get()), 1);
    EXPECT_EQ(context->type, PACKET_COMPR_TYPE_MD);
}

std::vector<std::pair<int, std::string>> logged;

TEST(MinDeflate, LogHookFiltersByLevelAndPrefixesItsLines) {
    md_set_log_callback([](int level, const char* text) { logged.emplace_back(level, text); });
    Context context(decompress_new(1));
    const std::vector<uint8_t> wrong_level = {0x08, 0x01, 'x'};
    DecompressStream stream;
    decompress_rdp(wrong_level.data(), context.get(), uint32_t(wrong_level.size()), &stream);
    EXPECT_TRUE(logged.empty()) << "the log level starts at -1";

    md_set_log_level(4);
    Context again(decompress_new(1));
    decompress_rdp(wrong_level.data(), again.get(), uint32_t(wrong_level.size()), &stream);
    md_set_log_callback(nullptr);
    md_set_log_level(-1);

    ASSERT_FALSE(logged.empty());
    bool level_line = false;
    for (const auto& line : logged) {
        EXPECT_EQ(line.second.rfind("[MD]: ", 0), 0u) << line.second;
        level_line |= line.first == 3 &&
                      line.second.find("compression level is not matched : 2 != 1!") != std::string::npos;
    }
    EXPECT_TRUE(level_line);
    EXPECT_EQ(logged.front().first, 0) << "the buffer growth notice comes first, at level 0";
}

}  // namespace
