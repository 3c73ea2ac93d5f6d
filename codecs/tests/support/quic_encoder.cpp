#include "support/quic_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <random>

namespace {

const uint8_t kWaitTable[256] = {
    2,  23, 19, 21, 7,  18, 40, 14, 12, 32, 47, 44, 36, 6,  18, 11, 4,  19, 42, 29, 16, 63, 57, 51, 16, 3,
    5,  14, 15, 30, 20, 9,  36, 45, 3,  57, 61, 0,  8,  5,  41, 14, 43, 27, 43, 59, 31, 35, 39, 60, 42, 38,
    13, 54, 62, 1,  26, 3,  11, 61, 52, 34, 7,  48, 4,  59, 22, 12, 22, 8,  50, 4,  10, 6,  44, 8,  11, 46,
    31, 51, 53, 17, 1,  43, 46, 60, 36, 54, 10, 27, 39, 44, 22, 41, 23, 2,  44, 0,  40, 53, 40, 48, 16, 43,
    32, 28, 33, 12, 20, 2,  56, 62, 55, 58, 18, 20, 13, 55, 38, 29, 57, 19, 49, 33, 47, 63, 59, 0,  35, 61,
    19, 25, 46, 38, 60, 4,  35, 1,  26, 40, 28, 10, 5,  14, 25, 18, 48, 49, 20, 59, 62, 34, 46, 7,  33, 52,
    34, 58, 9,  29, 8,  55, 62, 60, 37, 36, 37, 50, 6,  3,  10, 28, 48, 24, 26, 61, 57, 30, 11, 54, 2,  6,
    50, 47, 7,  17, 35, 53, 32, 12, 23, 17, 5,  21, 49, 55, 51, 45, 52, 27, 39, 25, 39, 63, 22, 24, 42, 52,
    56, 38, 41, 41, 56, 32, 13, 24, 26, 51, 27, 56, 58, 37, 24, 42, 15, 28, 17, 30, 31, 15, 16, 23, 25, 54,
    33, 34, 1,  29, 31, 50, 53, 21, 49, 15, 47, 9,  0,  58, 37, 45, 30, 13, 9,  45, 63, 21,
};
const unsigned kTrigger[11] = {110, 550, 900, 800, 550, 400, 350, 250, 140, 160, 140};
const uint8_t kRunBits[32] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,  2,  3,  3,  3,  3,
                              4, 4, 5, 5, 6, 6, 7, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// The Golomb-Rice codes of one bit depth, limited to 26-bit codewords.
struct Codes {
    unsigned bpc;
    unsigned prefix_limit[8], gr_count[8], suffix_len[8];

    explicit Codes(unsigned bits) : bpc(bits) {
        for (unsigned l = 0; l < bpc; l++) {
            unsigned limit = (1u << (bpc - l)) - 1;
            prefix_limit[l] = limit < 26 - bpc ? limit : 26 - bpc;
            gr_count[l] = prefix_limit[l] << l;
            const unsigned rest = (1u << bpc) - gr_count[l];
            suffix_len[l] = 0;
            while (rest > 1 && (1u << suffix_len[l]) < rest) {
                suffix_len[l]++;
            }
        }
    }
    unsigned length(unsigned symbol, unsigned l) const {
        return symbol < gr_count[l] ? (symbol >> l) + l + 1 : prefix_limit[l] + suffix_len[l];
    }
};

struct State {
    unsigned waitcnt = 0, seed = 0xff, wm_trigger = kTrigger[0], wmidx = 0, wmileft = 2048;
    unsigned melcstate = 0, melclen = kRunBits[0], melcorder = 1;
};

struct Bucket {
    unsigned counters[8] = {};
    unsigned bestcode;
};

struct Model {
    std::vector<uint8_t> correlate;  // position i at index i + 1
    std::vector<Bucket> buckets;
    std::vector<unsigned> bucket_of;  // by context
    State state;
};

class Encoder {
public:
    Encoder(const QuicTestImage& image, const QuicEncodeFaults& faults, QuicEncodeStats* stats)
        : img_(image),
          faults_(faults),
          stats_(stats ? stats : &own_stats_),
          codes_(image.type == QUIC_IMAGE_TYPE_RGB16 ? 5 : 8) {
        for (Model& m : models_) {
            m.correlate.assign(img_.width + 1, 0);
            unsigned contexts = 1u << codes_.bpc, start = 0, size = 1;
            while (start < contexts) {
                unsigned end = start + size - 1;
                if (end + 2 * size > contexts - 1) {
                    end = contexts - 1;
                }
                m.buckets.push_back(Bucket{{}, codes_.bpc - 1});
                m.bucket_of.resize(end + 1, unsigned(m.buckets.size() - 1));
                start = end + 1;
                size *= 2;
            }
        }
    }

    std::vector<uint8_t> encode() {
        for (uint32_t word : {0x43495551u, 0u, uint32_t(img_.type), img_.width, img_.height}) {
            put(word, 32);
        }
        const bool gray = img_.type == QUIC_IMAGE_TYPE_GRAY;
        const std::vector<unsigned> colour = gray ? std::vector<unsigned>{0} : std::vector<unsigned>{0, 1, 2};
        State& colour_state = gray ? models_[0].state : rgb_state_;
        for (unsigned y = 0; y < img_.height; y++) {
            encode_row(colour, colour_state, y);
            if (img_.type == QUIC_IMAGE_TYPE_RGBA) {
                encode_row({3}, models_[3].state, y);
            }
        }
        // The decoder's look-ahead always holds 32 bits past what it used.
        put(0, 32);
        while (bits_ != 0) {
            put(0, 1);
        }
        return std::move(out_);
    }

private:
    void put(uint32_t value, unsigned n) {
        for (unsigned k = n; k-- > 0;) {
            word_ = word_ << 1 | ((value >> k) & 1);
            if (++bits_ == 32) {
                for (int b = 0; b < 4; b++) {
                    out_.push_back(uint8_t(word_ >> (8 * b)));
                }
                word_ = 0;
                bits_ = 0;
            }
        }
    }

    unsigned value(unsigned x, unsigned y, unsigned ch) const { return img_.at(x, y)[ch]; }
    bool same(const std::vector<unsigned>& chs, unsigned y, unsigned a, unsigned b) const {
        for (unsigned ch : chs) {
            if (value(a, y, ch) != value(b, y, ch)) {
                return false;
            }
        }
        return true;
    }
    unsigned tabrand(State& s) { return kWaitTable[++s.seed & 0xff]; }

    void encode_row(const std::vector<unsigned>& chs, State& st, unsigned y) {
        for (unsigned ch : chs) {
            models_[ch].correlate[0] = y == 0 ? 0 : models_[ch].correlate[1];
        }
        const unsigned width = img_.width;
        unsigned pos = 0;
        while (st.wmidx < 6 && st.wmileft <= width - pos) {
            if (st.wmileft) {
                encode_segment(chs, st, y, pos, pos + st.wmileft, (1u << st.wmidx) - 1);
                pos += st.wmileft;
            }
            st.wmidx++;
            st.wm_trigger = kTrigger[st.wmidx];
            st.wmileft = 2048;
        }
        if (pos < width) {
            encode_segment(chs, st, y, pos, width, (1u << st.wmidx) - 1);
            if (st.wmidx < 6) {
                st.wmileft -= width - pos;
            }
        }
        stats_->max_wmidx = std::max(stats_->max_wmidx, st.wmidx);
    }

    void encode_segment(const std::vector<unsigned>& chs, State& st, unsigned y, unsigned i, unsigned end,
                        unsigned mask) {
        unsigned stop;
        if (i == 0) {
            encode_pixel(chs, y, 0);
            if (st.waitcnt) {
                st.waitcnt--;
            } else {
                st.waitcnt = tabrand(st) & mask;
                update_models(chs, st, 0);
            }
            stop = ++i + st.waitcnt;
        } else {
            stop = i + st.waitcnt;
        }
        unsigned run_index = 0;
        auto run_begins = [&](unsigned at) {
            return y > 0 && at > 2 && at != run_index && same(chs, y - 1, at - 1, at) &&
                   same(chs, y, at - 1, at - 2);
        };
        for (;;) {
            bool run = false;
            while (!run && stop < end) {
                for (; i <= stop && !(run = run_begins(i)); i++) {
                    encode_pixel(chs, y, i);
                }
                if (!run) {
                    update_models(chs, st, stop);
                    stop = i + (tabrand(st) & mask);
                }
            }
            for (; !run && i < end && !(run = run_begins(i)); i++) {
                encode_pixel(chs, y, i);
            }
            if (!run) {
                st.waitcnt = stop - end;
                return;
            }
            st.waitcnt = stop - i;
            run_index = i;
            unsigned n = 0;
            while (i + n < end) {
                bool repeats = true;
                for (unsigned ch : chs) {
                    repeats = repeats && value(i + n, y, ch) == value(i - 1, y, ch);
                }
                if (!repeats) {
                    break;
                }
                n++;
            }
            encode_run(st, stats_->runs == 0 ? n + faults_.run_overshoot : n);
            stats_->runs++;
            stats_->empty_runs += n == 0;
            stats_->longest_run = std::max(stats_->longest_run, n);
            i += n;
            if (i == end) {
                stats_->runs_to_segment_end++;
                return;
            }
            stop = i + st.waitcnt;
        }
    }

    void encode_run(State& st, int64_t n) {
        while (n >= int64_t(st.melcorder)) {
            put(1, 1);
            n -= st.melcorder;
            if (st.melcstate < 31) {
                st.melclen = kRunBits[++st.melcstate];
                st.melcorder = 1u << st.melclen;
            }
        }
        put(0, 1);
        put(uint32_t(n), st.melclen);
        if (st.melcstate) {
            st.melclen = kRunBits[--st.melcstate];
            st.melcorder = 1u << st.melclen;
        }
    }

    void encode_pixel(const std::vector<unsigned>& chs, unsigned y, unsigned i) {
        const unsigned mask = (1u << codes_.bpc) - 1;
        for (unsigned ch : chs) {
            unsigned prediction;
            if (y == 0) {
                prediction = i == 0 ? 0 : value(i - 1, 0, ch);
            } else {
                prediction = i == 0 ? value(0, y - 1, ch) : (value(i - 1, y, ch) + value(i, y - 1, ch)) >> 1;
            }
            const unsigned residual = (value(i, y, ch) - prediction) & mask;
            const unsigned symbol = residual <= mask / 2 ? 2 * residual : 2 * (mask - residual) + 1;
            Model& m = models_[ch];
            const unsigned l = m.buckets[m.bucket_of[m.correlate[i]]].bestcode;
            if (y == 0 && int64_t(i) == faults_.bad_escape_at && ch == chs[0]) {
                put(0, codes_.prefix_limit[l]);
                put(mask + 1 - codes_.gr_count[l], codes_.suffix_len[l]);
            } else if (symbol < codes_.gr_count[l]) {
                put(0, symbol >> l);
                put(1, 1);
                put(symbol, l);
            } else {
                put(0, codes_.prefix_limit[l]);
                put(symbol - codes_.gr_count[l], codes_.suffix_len[l]);
                stats_->escapes++;
            }
            m.correlate[i + 1] = uint8_t(symbol);
        }
    }

    void update_models(const std::vector<unsigned>& chs, const State& st, unsigned pos) {
        for (unsigned ch : chs) {
            Model& m = models_[ch];
            Bucket& b = m.buckets[m.bucket_of[m.correlate[pos]]];
            const unsigned symbol = m.correlate[pos + 1];
            unsigned best = codes_.bpc - 1;
            for (int l = int(codes_.bpc) - 1; l >= 0; l--) {
                b.counters[l] += codes_.length(symbol, unsigned(l));
                if (b.counters[l] < b.counters[best]) {
                    best = unsigned(l);
                }
            }
            b.bestcode = best;
            if (b.counters[best] > st.wm_trigger) {
                for (unsigned l = 0; l < codes_.bpc; l++) {
                    b.counters[l] >>= 1;
                }
            }
        }
    }

    const QuicTestImage& img_;
    QuicEncodeFaults faults_;
    QuicEncodeStats own_stats_;
    QuicEncodeStats* stats_;
    Codes codes_;
    Model models_[4];
    State rgb_state_;
    std::vector<uint8_t> out_;
    uint32_t word_ = 0;
    unsigned bits_ = 0;
};

}  // namespace

std::vector<uint8_t> quic_test_encode(const QuicTestImage& image, const QuicEncodeFaults& faults,
                                      QuicEncodeStats* stats) {
    return Encoder(image, faults, stats).encode();
}

// Flat areas (runs), gradients and noise side by side; 5-bit values for RGB16.
QuicTestImage mixed_image(QuicImageType type, unsigned width, unsigned height, unsigned seed) {
    QuicTestImage img(type, width, height);
    std::mt19937 rng(seed);
    const unsigned mask = type == QUIC_IMAGE_TYPE_RGB16 ? 31 : 255;
    for (unsigned y = 0; y < height; y++) {
        for (unsigned x = 0; x < width; x++) {
            auto& p = img.at(x, y);
            switch ((x / 37 + y / 3) % 4) {
                case 0:
                case 1:
                    p = {uint8_t(200 & mask), uint8_t(30 & mask), uint8_t(90 & mask), 255};
                    break;
                case 2:
                    p = {uint8_t((x + y) & mask), uint8_t((x * 2) & mask), uint8_t((255 - y) & mask),
                         uint8_t(x & 0xff)};
                    break;
                default:
                    for (auto& v : p) {
                        v = uint8_t(rng() & mask);
                    }
                    break;
            }
        }
    }
    return img;
}
