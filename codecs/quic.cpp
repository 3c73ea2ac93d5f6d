// QUIC image decoder.
//
// The stream is one bit string read most significant bit first from 32-bit little-endian words. Every channel
// symbol is a Golomb-Rice codeword whose code number comes from an adaptive model (one bucket of counters per
// group of contexts, the context being the channel's previous symbol in the row); the symbol is a folded
// residual against a prediction from the left and upper pixels. Model updates happen only at pixels chosen by
// a pseudo-random wait table whose spacing grows as the image proceeds, and runs of a repeated pixel are
// coded by length where the row above repeats too.
//
// One row decoder is instantiated per pixel layout (a template over the layout below), each in a first-row
// and a later-row form; quic_decode picks the pair once per image from a table.
//
// A corrupt stream cannot make the decoder write outside its row or index past its tables: such a symbol or
// run is clamped, noted, and the image fails at the end of that row. When the input runs out the reader feeds
// zero words, which end every row in bounded time, and the image fails at the end of the row as well.
#include "codecs/quic.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/log.h"

#define QUIC_INLINE inline __attribute__((always_inline))
#define QUIC_NOINLINE __attribute__((noinline))
// The loops over a pixel's channels are unrolled, so that each channel's context, left value and tables stay
// in registers instead of arrays in memory.
#define QUIC_CHANNELS_UNROLLED _Pragma("GCC unroll 4")

namespace {

constexpr uint32_t kMagic = 0x43495551;  // "QUIC"
constexpr uint32_t kVersion = 0;
constexpr unsigned kCodewordLimit = 26;
constexpr unsigned kMaxBpc = 8;
constexpr unsigned kNCounters = 8;
constexpr unsigned kWmiMax = 6;
constexpr unsigned kWmiLeft = 2048;  // pixels between two rises of the wait-mask index
constexpr unsigned kMaxRunState = 31;
constexpr unsigned kShortBits = 10;

// The wait table's low six bits (the largest wait mask is 63).
constexpr uint8_t kWaitTable[256] = {
    2,  23, 19, 21, 7,  18, 40, 14, 12, 32, 47, 44, 36, 6,  18, 11,  //
    4,  19, 42, 29, 16, 63, 57, 51, 16, 3,  5,  14, 15, 30, 20, 9,   //
    36, 45, 3,  57, 61, 0,  8,  5,  41, 14, 43, 27, 43, 59, 31, 35,  //
    39, 60, 42, 38, 13, 54, 62, 1,  26, 3,  11, 61, 52, 34, 7,  48,  //
    4,  59, 22, 12, 22, 8,  50, 4,  10, 6,  44, 8,  11, 46, 31, 51,  //
    53, 17, 1,  43, 46, 60, 36, 54, 10, 27, 39, 44, 22, 41, 23, 2,   //
    44, 0,  40, 53, 40, 48, 16, 43, 32, 28, 33, 12, 20, 2,  56, 62,  //
    55, 58, 18, 20, 13, 55, 38, 29, 57, 19, 49, 33, 47, 63, 59, 0,   //
    35, 61, 19, 25, 46, 38, 60, 4,  35, 1,  26, 40, 28, 10, 5,  14,  //
    25, 18, 48, 49, 20, 59, 62, 34, 46, 7,  33, 52, 34, 58, 9,  29,  //
    8,  55, 62, 60, 37, 36, 37, 50, 6,  3,  10, 28, 48, 24, 26, 61,  //
    57, 30, 11, 54, 2,  6,  50, 47, 7,  17, 35, 53, 32, 12, 23, 17,  //
    5,  21, 49, 55, 51, 45, 52, 27, 39, 25, 39, 63, 22, 24, 42, 52,  //
    56, 38, 41, 41, 56, 32, 13, 24, 26, 51, 27, 56, 58, 37, 24, 42,  //
    15, 28, 17, 30, 31, 15, 16, 23, 25, 54, 33, 34, 1,  29, 31, 50,  //
    53, 21, 49, 15, 47, 9,  0,  58, 37, 45, 30, 13, 9,  45, 63, 21,  //
};

// Counter-halving threshold by min(wait-mask index, 10).
constexpr unsigned kTrigger[11] = {110, 550, 900, 800, 550, 400, 350, 250, 140, 160, 140};

// Run length bits by run state.
constexpr uint8_t kRunBits[32] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,  2,  3,  3,  3,  3,
                                  4, 4, 5, 5, 6, 6, 7, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// The code family of one bit depth: its Golomb-Rice codes with their escapes, the fold of symbols to
// residuals and every symbol's codeword length under each code.
struct QuicFamily {
    uint32_t prefix_mask[kMaxBpc];  // look-ahead at or below: an escape codeword
    unsigned gr_count[kMaxBpc];     // symbols with a plain Golomb-Rice codeword
    unsigned escape_len[kMaxBpc];
    uint32_t suffix_mask[kMaxBpc];  // of the escape's suffix
    uint8_t fold[256];
    uint8_t code_len[256][kMaxBpc];
    alignas(16) uint32_t code_len32[256][kMaxBpc];  // the same, widened for the vectorised model update
    // Codewords of up to kShortBits bits by the look-ahead's top bits: symbol | length << 8; 0 for the others
    // (and for escapes past the channel's values).
    uint16_t short_codes[kMaxBpc][1 << kShortBits];
};

// Written once by quic_init, read-only afterwards.
QuicFamily family_8bpc;
QuicFamily family_5bpc;
uint8_t leading_zeros[256];
std::once_flag init_once;
std::atomic<bool> initialized{false};

unsigned ceil_log2(unsigned v) {
    unsigned bits = 0;
    while ((1u << bits) < v) {
        bits++;
    }
    return bits;
}

void build_family(QuicFamily* f, unsigned bpc) {
    const unsigned symbols = 1u << bpc;
    for (unsigned l = 0; l < bpc; l++) {
        unsigned prefix_limit = (1u << (bpc - l)) - 1;
        if (prefix_limit > kCodewordLimit - bpc) {
            prefix_limit = kCodewordLimit - bpc;
        }
        const unsigned gr_count = prefix_limit << l;
        const unsigned suffix_len = symbols - gr_count == 1 ? 0 : ceil_log2(symbols - gr_count);
        f->gr_count[l] = gr_count;
        f->escape_len[l] = prefix_limit + suffix_len;
        f->prefix_mask[l] = uint32_t((uint64_t(1) << (32 - prefix_limit)) - 1);
        f->suffix_mask[l] = (1u << suffix_len) - 1;
        for (unsigned n = 0; n < 256; n++) {
            f->code_len[n][l] = uint8_t(n < gr_count ? (n >> l) + l + 1 : f->escape_len[l]);
            f->code_len32[n][l] = f->code_len[n][l];
        }
        for (unsigned top = 0; top < (1u << kShortBits); top++) {
            const uint32_t w = top << (32 - kShortBits);
            unsigned len, sym;
            if (w > f->prefix_mask[l]) {
                const unsigned zeros = unsigned(__builtin_clz(w));
                len = zeros + 1 + l;
                sym = (zeros << l) | ((w >> (32 - len)) & ((1u << l) - 1));
            } else {
                len = f->escape_len[l];
                sym = gr_count + ((w >> (32 - len)) & f->suffix_mask[l]);
            }
            f->short_codes[l][top] = uint16_t(len <= kShortBits && sym < symbols ? sym | len << 8 : 0);
        }
    }
    for (unsigned s = 0; s < symbols; s++) {
        f->fold[s] = uint8_t(s & 1 ? symbols - 1 - (s >> 1) : s >> 1);
    }
}

template <unsigned kBpc>
QUIC_INLINE const QuicFamily& family() {
    static_assert(kBpc == 8 || kBpc == 5, "QUIC codes 8 or 5 bits per channel");
    return kBpc == 8 ? family_8bpc : family_5bpc;
}

QUIC_INLINE uint32_t load_le32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

QUIC_INLINE uint16_t load_le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

QUIC_INLINE void store_le16(uint8_t* p, unsigned v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

}  // namespace

// ---- Decoder state ----

struct QuicBucket {
    uint32_t* counters;  // kNCounters, the first bpc in use
    unsigned bestcode;
    uint8_t* codes;  // the bucket's contexts in the family's codes table
    unsigned contexts;
};

struct QuicFamilyStat {
    QuicBucket** buckets_ptrs;  // one per context
    QuicBucket* buckets;
    uint32_t* counters;
    // The bestcode of every context's bucket, kept in step with the buckets: a symbol's code is one load
    // from its context, not a load of the bucket pointer and then of the bucket.
    uint8_t* codes;
};

// Adaptation state: of each channel, and one that the three colour channels share.
struct QuicState {
    unsigned waitcnt;       // symbols before the next model update
    unsigned tabrand_seed;  // last wait-table index used
    unsigned wm_trigger;
    unsigned wmidx;
    unsigned wmileft;  // pixels before wmidx rises
    unsigned melcstate;
    unsigned melclen;
    unsigned melcorder;
};

struct QuicChannel {
    uint8_t* correlate_row;  // position 0; the allocation starts one byte earlier, at position -1
    unsigned correlate_row_width;
    QuicFamilyStat family_stat_8bpc;
    QuicFamilyStat family_stat_5bpc;
    QuicFamilyStat* family_stat;
    QuicState state;
};

// The stream's next bits, most significant first: the look-ahead word (the next 32 bits) is the top half of
// bits, and count (32 to 63) says how many of them are read. The next input word is taken as soon as fewer
// than 32 would remain, as the look-ahead needs it, and never earlier.
struct QuicReader {
    uint64_t bits;
    unsigned count;
    const uint8_t* now;  // the next input word
    const uint8_t* end;

    uint32_t word() const { return uint32_t(bits >> 32); }
};

enum class QuicFailure { None, NoMoreWords, BadChunk, Corrupt };

struct QuicContext {
    QuicUsrContext* usr;
    QuicImageType type;
    unsigned width;
    unsigned height;
    unsigned num_channels;
    unsigned n_buckets_8bpc;
    unsigned n_buckets_5bpc;

    QuicReader io;
    bool io_exhausted;  // more_space had nothing more; zero words are fed from then on
    QuicFailure failure;
    bool started;  // a successful quic_decode_begin not yet decoded

    unsigned rows_completed;
    QuicChannel channels[4];
    QuicState rgb_state;
};

namespace {

// ---- Bit reader ----

const uint8_t kZeroWord[4] = {};  // fed once the input has run out

struct QuicInput {
    const uint8_t* now;
    const uint8_t* end;
};

// The next input from more_space; a zero word once there is none.
QUIC_NOINLINE QuicInput more_io_words(QuicContext* d) {
    if (!d->io_exhausted) {
        const uint8_t* data = nullptr;
        const int64_t size = d->usr->more_space(d->usr, &data, int(d->rows_completed));
        if (size > 0 && data && size % 4 == 0) {
            return QuicInput{data, data + size};
        }
        d->io_exhausted = true;
        if (d->failure == QuicFailure::None) {
            d->failure = size > 0 && data ? QuicFailure::BadChunk : QuicFailure::NoMoreWords;
        }
    }
    return QuicInput{kZeroWord, kZeroWord + 4};
}

// Drops n bits (1 to 31) from the look-ahead and shifts the next n in. The next word is loaded and merged
// without a branch on whether it is needed (which a mix of codeword lengths makes a coin toss); the one
// branch left, for the end of the input, is rarely taken.
QUIC_INLINE void eatbits(QuicContext* d, QuicReader& r, unsigned n) {
    r.bits <<= n;
    r.count -= n;
    const bool need = r.count < 32;
    if (__builtin_expect(need & (r.now >= r.end), 0)) {
        const QuicInput in = more_io_words(d);
        r.now = in.now;
        r.end = in.end;
    }
    const uint64_t next = load_le32(r.now < r.end ? r.now : kZeroWord);
    r.bits |= (next << 32 >> r.count) & (0 - uint64_t(need));
    r.now += 4 * unsigned(need);
    r.count += 32 * unsigned(need);
}

uint32_t read_header_word(QuicContext* d, QuicReader& r) {
    const uint32_t w = r.word();
    eatbits(d, r, 16);
    eatbits(d, r, 16);
    return w;
}

// ---- Model ----

void reset_state(QuicState* s) {
    s->waitcnt = 0;
    s->tabrand_seed = 0xff;
    s->wm_trigger = kTrigger[0];
    s->wmidx = 0;
    s->wmileft = kWmiLeft;
    s->melcstate = 0;
    s->melclen = kRunBits[0];
    s->melcorder = 1u << s->melclen;
}

QUIC_INLINE unsigned tabrand(QuicState& s) {
    return kWaitTable[++s.tabrand_seed & 0xff];
}

#if defined(__SSE2__)
// The lane-wise minimum of counters, which stay far below 2^31 (halved whenever their least passes the
// trigger), so signed compares order them.
QUIC_INLINE __m128i min_epi32(__m128i a, __m128i b) {
    const __m128i a_greater = _mm_cmpgt_epi32(a, b);
    return _mm_or_si128(_mm_and_si128(a_greater, b), _mm_andnot_si128(a_greater, a));
}
#endif

// Adds sym's codeword length under every code to the bucket's counters; the bucket's code becomes the one of
// the least sum, the highest such code on a tie.
template <unsigned kBpc>
QUIC_INLINE void update_model(const QuicState& s, QuicBucket* bucket, unsigned sym) {
    uint32_t* counters = bucket->counters;
    unsigned bestcode;
#if defined(__SSE2__)
    if (kBpc == 8) {
        const uint32_t* lens = family<kBpc>().code_len32[sym];
        __m128i lo = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(counters)),
                                   _mm_load_si128(reinterpret_cast<const __m128i*>(lens)));
        __m128i hi = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(counters + 4)),
                                   _mm_load_si128(reinterpret_cast<const __m128i*>(lens + 4)));
        __m128i least = min_epi32(lo, hi);
        least = min_epi32(least, _mm_shuffle_epi32(least, _MM_SHUFFLE(1, 0, 3, 2)));
        least = min_epi32(least, _mm_shuffle_epi32(least, _MM_SHUFFLE(2, 3, 0, 1)));
        const unsigned at_least = unsigned(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(lo, least)))) |
                                  unsigned(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(hi, least))))
                                      << 4;
        bestcode = 31 - unsigned(__builtin_clz(at_least));
        if (uint32_t(_mm_cvtsi128_si32(least)) > s.wm_trigger) {
            lo = _mm_srli_epi32(lo, 1);
            hi = _mm_srli_epi32(hi, 1);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(counters), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(counters + 4), hi);
    } else
#endif
    {
        const uint8_t* lens = family<kBpc>().code_len[sym];
        bestcode = kBpc - 1;
        uint32_t bestlen = counters[kBpc - 1] += lens[kBpc - 1];
        for (int l = int(kBpc) - 2; l >= 0; l--) {
            const uint32_t len = counters[l] += lens[l];
            if (len < bestlen) {
                bestlen = len;
                bestcode = unsigned(l);
            }
        }
        if (bestlen > s.wm_trigger) {
            for (unsigned l = 0; l < kBpc; l++) {
                counters[l] >>= 1;
            }
        }
    }
    if (bestcode != bucket->bestcode) {
        bucket->bestcode = bestcode;
        memset(bucket->codes, int(bestcode), bucket->contexts);
    }
}

// Buckets of 1, 2, 4, ... contexts; the last one runs to the last context when the next would pass it.
template <class Visit>
unsigned for_each_bucket(unsigned bpc, Visit visit) {
    const unsigned contexts = 1u << bpc;
    unsigned start = 0, size = 1, count = 0;
    while (start < contexts) {
        unsigned end = start + size - 1;
        if (end + 2 * size > contexts - 1) {
            end = contexts - 1;
        }
        visit(count++, start, end);
        start = end + 1;
        size *= 2;
    }
    return count;
}

unsigned bucket_count(unsigned bpc) {
    return for_each_bucket(bpc, [](unsigned, unsigned, unsigned) {});
}

bool create_family_stat(QuicContext* d, QuicFamilyStat* f, unsigned bpc, unsigned n_buckets) {
    QuicUsrContext* usr = d->usr;
    f->buckets_ptrs = static_cast<QuicBucket**>(usr->malloc(usr, sizeof(QuicBucket*) << bpc));
    f->counters = static_cast<uint32_t*>(usr->malloc(usr, sizeof(uint32_t) * kNCounters * n_buckets));
    f->buckets = static_cast<QuicBucket*>(usr->malloc(usr, sizeof(QuicBucket) * n_buckets));
    f->codes = static_cast<uint8_t*>(usr->malloc(usr, size_t(1) << bpc));
    if (!f->buckets_ptrs || !f->counters || !f->buckets || !f->codes) {
        return false;
    }
    for_each_bucket(bpc, [&](unsigned index, unsigned first, unsigned last) {
        f->buckets[index].counters = f->counters + kNCounters * index;
        f->buckets[index].bestcode = bpc - 1;
        f->buckets[index].codes = f->codes + first;
        f->buckets[index].contexts = last - first + 1;
        for (unsigned c = first; c <= last; c++) {
            f->buckets_ptrs[c] = &f->buckets[index];
        }
    });
    return true;
}

void free_family_stat(QuicUsrContext* usr, QuicFamilyStat* f) {
    // Created by a zero-filled record: a missing array is a null pointer.
    if (f->buckets_ptrs) {
        usr->free(usr, f->buckets_ptrs);
    }
    if (f->counters) {
        usr->free(usr, f->counters);
    }
    if (f->buckets) {
        usr->free(usr, f->buckets);
    }
    if (f->codes) {
        usr->free(usr, f->codes);
    }
}

void reset_family_stat(QuicFamilyStat* f, unsigned n_buckets, unsigned bpc) {
    memset(f->counters, 0, sizeof(uint32_t) * kNCounters * n_buckets);
    for (unsigned b = 0; b < n_buckets; b++) {
        f->buckets[b].bestcode = bpc - 1;
    }
    memset(f->codes, int(bpc - 1), size_t(1) << bpc);
}

// ---- Pixel layouts ----
// Channel c is r, g, b for the colour layouts (in stream order) and the one channel of gray and alpha.

struct Rgb32Layout {
    static constexpr unsigned kChannels = 3, kBpc = 8, kSize = 4, kFirstChannel = 0;
    static QUIC_INLINE unsigned get(const uint8_t* p, unsigned c) { return p[2 - c]; }
    static QUIC_INLINE void put(uint8_t* p, const unsigned* v) {
        p[0] = uint8_t(v[2]);
        p[1] = uint8_t(v[1]);
        p[2] = uint8_t(v[0]);
        p[3] = 0;
    }
    static QUIC_INLINE bool same(const uint8_t* a, const uint8_t* b) {
        return ((load_le32(a) ^ load_le32(b)) & 0xffffff) == 0;
    }
    static QUIC_INLINE void copy(uint8_t* d, const uint8_t* s) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
        d[3] = 0;
    }
};

struct Rgb24Layout {
    static constexpr unsigned kChannels = 3, kBpc = 8, kSize = 3, kFirstChannel = 0;
    static QUIC_INLINE unsigned get(const uint8_t* p, unsigned c) { return p[2 - c]; }
    static QUIC_INLINE void put(uint8_t* p, const unsigned* v) {
        p[0] = uint8_t(v[2]);
        p[1] = uint8_t(v[1]);
        p[2] = uint8_t(v[0]);
    }
    static QUIC_INLINE bool same(const uint8_t* a, const uint8_t* b) {
        return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
    }
    static QUIC_INLINE void copy(uint8_t* d, const uint8_t* s) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
    }
};

struct Rgb16Layout {
    static constexpr unsigned kChannels = 3, kBpc = 5, kSize = 2, kFirstChannel = 0;
    static QUIC_INLINE unsigned get(const uint8_t* p, unsigned c) {
        return (load_le16(p) >> (10 - 5 * c)) & 0x1f;
    }
    static QUIC_INLINE void put(uint8_t* p, const unsigned* v) {
        store_le16(p, v[0] << 10 | v[1] << 5 | v[2]);
    }
    static QUIC_INLINE bool same(const uint8_t* a, const uint8_t* b) {
        return ((load_le16(a) ^ load_le16(b)) & 0x7fff) == 0;
    }
    static QUIC_INLINE void copy(uint8_t* d, const uint8_t* s) { store_le16(d, load_le16(s) & 0x7fff); }
};

// 5-bit channels widened into bytes; the byte's top five bits are the channel value everywhere it is read
// back.
struct Rgb16To32Layout {
    static constexpr unsigned kChannels = 3, kBpc = 5, kSize = 4, kFirstChannel = 0;
    static QUIC_INLINE unsigned get(const uint8_t* p, unsigned c) { return p[2 - c] >> 3; }
    static QUIC_INLINE uint8_t widen(unsigned v) { return uint8_t(v << 3 | v >> 2); }
    static QUIC_INLINE void put(uint8_t* p, const unsigned* v) {
        p[0] = widen(v[2]);
        p[1] = widen(v[1]);
        p[2] = widen(v[0]);
        p[3] = 0;
    }
    static QUIC_INLINE bool same(const uint8_t* a, const uint8_t* b) {
        return ((load_le32(a) ^ load_le32(b)) & 0xf8f8f8) == 0;
    }
    static QUIC_INLINE void copy(uint8_t* d, const uint8_t* s) { Rgb32Layout::copy(d, s); }
};

struct GrayLayout {
    static constexpr unsigned kChannels = 1, kBpc = 8, kSize = 1, kFirstChannel = 0;
    static QUIC_INLINE unsigned get(const uint8_t* p, unsigned) { return p[0]; }
    static QUIC_INLINE void put(uint8_t* p, const unsigned* v) { p[0] = uint8_t(v[0]); }
    static QUIC_INLINE bool same(const uint8_t* a, const uint8_t* b) { return a[0] == b[0]; }
    static QUIC_INLINE void copy(uint8_t* d, const uint8_t* s) { d[0] = s[0]; }
};

// The alpha byte of RGBA pixels, decoded after the row's colours.
struct AlphaLayout {
    static constexpr unsigned kChannels = 1, kBpc = 8, kSize = 4, kFirstChannel = 3;
    static QUIC_INLINE unsigned get(const uint8_t* p, unsigned) { return p[3]; }
    static QUIC_INLINE void put(uint8_t* p, const unsigned* v) { p[3] = uint8_t(v[0]); }
    static QUIC_INLINE bool same(const uint8_t* a, const uint8_t* b) { return a[3] == b[3]; }
    static QUIC_INLINE void copy(uint8_t* d, const uint8_t* s) { d[3] = s[3]; }
};

// ---- Row decoders ----

template <class L>
class RowDecoder {
public:
    static void row0(QuicContext* d, const uint8_t*, uint8_t* cur, unsigned width) {
        RowDecoder<L>(d).decode_row<true>(nullptr, cur, width);
    }
    static void row(QuicContext* d, const uint8_t* prev, uint8_t* cur, unsigned width) {
        RowDecoder<L>(d).decode_row<false>(prev, cur, width);
    }

private:
    static constexpr unsigned kChannels = L::kChannels;
    static constexpr unsigned kBpc = L::kBpc;
    static constexpr unsigned kSize = L::kSize;
    static constexpr unsigned kMask = (1u << kBpc) - 1;

    // The hot state lives in this object, a local of the row call, so that the compiler keeps it in registers
    // while the output bytes are written.
    explicit RowDecoder(QuicContext* d)
        : d_(d),
          r_(d->io),
          head_(d->io.bits),
          st_(kChannels > 1 ? d->rgb_state : d->channels[L::kFirstChannel].state) {
        for (unsigned c = 0; c < kChannels; c++) {
            QuicChannel& ch = d->channels[L::kFirstChannel + c];
            corr_[c] = ch.correlate_row;
            buckets_[c] = ch.family_stat->buckets_ptrs;
            codes_[c] = ch.family_stat->codes;
        }
    }

    template <bool kRow0>
    void decode_row(const uint8_t* prev, uint8_t* cur, unsigned width) {
        QuicState& st = st_;
        unsigned pos = 0;
        while (st.wmidx < kWmiMax && st.wmileft <= width - pos) {
            if (st.wmileft) {
                decode_segment<kRow0>(prev, cur, pos, pos + st.wmileft, (1u << st.wmidx) - 1);
                pos += st.wmileft;
            }
            st.wmidx++;
            st.wm_trigger = kTrigger[st.wmidx];
            st.wmileft = kWmiLeft;
        }
        if (pos < width) {
            decode_segment<kRow0>(prev, cur, pos, width, (1u << st.wmidx) - 1);
            if (st.wmidx < kWmiMax) {
                st.wmileft -= width - pos;
            }
        }
        d_->io = r_;
        // A corrupt code is this row's first fault even when the input ran out later in it: the zero words
        // fed from then on never read as one.
        if (bad_) {
            d_->failure = QuicFailure::Corrupt;
        }
    }

    // Drops n bits, of any length, from the reader.
    QUIC_INLINE void eat(unsigned n) {
        eatbits(d_, r_, n);
        head_ = r_.bits;
    }

    QUIC_INLINE unsigned decode_symbol(unsigned l) {
        const QuicFamily& f = family<kBpc>();
        unsigned len, sym;
        // Every codeword of up to kShortBits bits, under any code, comes from one table: the code changes
        // from symbol to symbol, and a branch on which way to read it mispredicts more than the load costs.
        // Only longer codewords are worked out.
        const unsigned short_code = f.short_codes[l][head_ >> (64 - kShortBits)];
        if (__builtin_expect(short_code != 0, 1)) {
            sym = short_code & 0xff;
            len = short_code >> 8;
            // The next symbol's table index is read from the look-ahead shifted but not yet refilled: at
            // least 32 - kShortBits of its bits are left, so the refill lands below the index and the next
            // lookup need not wait for it.
            const uint64_t shifted = r_.bits << len;
            eatbits(d_, r_, len);
            head_ = shifted;
            return sym;
        }
        const uint32_t w = r_.word();
        if (w > f.prefix_mask[l]) {
            const unsigned zeros = unsigned(__builtin_clz(w));
            len = zeros + 1 + l;
            sym = (zeros << l) | ((w >> (32 - len)) & ((1u << l) - 1));
        } else {
            len = f.escape_len[l];
            sym = f.gr_count[l] + ((w >> (32 - len)) & f.suffix_mask[l]);
            // An escape past the channel's values: no encoder writes it, and as a context it would index past
            // the bucket table.
            bad_ |= sym > kMask;
            sym &= kMask;
        }
        eat(len);
        return sym;
    }

    // Pixel i (i > 0 unless kFirstPixel) of the current row. The context and the left pixel's values come
    // from registers (load_left() after a gap in the decoded pixels).
    template <bool kRow0, bool kFirstPixel>
    QUIC_INLINE void decode_pixel(const uint8_t* prev, uint8_t* cur, unsigned i) {
        const QuicFamily& f = family<kBpc>();
        uint8_t* p = cur + i * kSize;
        QUIC_CHANNELS_UNROLLED
        for (unsigned c = 0; c < kChannels; c++) {
            const unsigned sym = decode_symbol(codes_[c][ctx_[c]]);
            corr_[c][i] = uint8_t(sym);
            ctx_[c] = sym;
            unsigned prediction;
            if (kRow0) {
                prediction = kFirstPixel ? 0 : left_[c];
            } else {
                prediction = kFirstPixel ? L::get(prev, c) : (left_[c] + L::get(prev + i * kSize, c)) >> 1;
            }
            left_[c] = (f.fold[sym] + prediction) & kMask;
        }
        L::put(p, left_);
    }

    // Before decoding pixel i after pixels that were not decoded here: the start of a segment or a run.
    QUIC_INLINE void load_left(const uint8_t* cur, unsigned i) {
        QUIC_CHANNELS_UNROLLED
        for (unsigned c = 0; c < kChannels; c++) {
            ctx_[c] = corr_[c][int(i) - 1];
            left_[c] = i ? L::get(cur + (i - 1) * kSize, c) : 0;
        }
    }

    QUIC_INLINE void update_models(unsigned pos) {
        QUIC_CHANNELS_UNROLLED
        for (unsigned c = 0; c < kChannels; c++) {
            update_model<kBpc>(st_, buckets_[c][corr_[c][int(pos) - 1]], corr_[c][pos]);
        }
    }

    QUIC_INLINE bool run_begins(const uint8_t* prev, const uint8_t* cur, unsigned i, unsigned run_index) {
        return i > 2 && i != run_index && L::same(prev + (i - 1) * kSize, prev + i * kSize) &&
               L::same(cur + (i - 1) * kSize, cur + (i - 2) * kSize);
    }

    // Reads a run length; more than limit is a corrupt stream and gives limit.
    QUIC_INLINE unsigned decode_run(unsigned limit) {
        QuicState& st = st_;
        unsigned len = 0;
        for (;;) {
            const unsigned hits = leading_zeros[~(r_.word() >> 24) & 0xff];
            for (unsigned k = 0; k < hits; k++) {
                len += st.melcorder;
                if (st.melcstate < kMaxRunState) {
                    st.melclen = kRunBits[++st.melcstate];
                    st.melcorder = 1u << st.melclen;
                }
            }
            if (len > limit) {
                bad_ = true;
                return limit;
            }
            if (hits < 8) {
                eat(hits + 1);
                break;
            }
            eat(8);
        }
        if (st.melclen) {
            len += r_.word() >> (32 - st.melclen);
            eat(st.melclen);
        }
        if (st.melcstate) {
            st.melclen = kRunBits[--st.melcstate];
            st.melcorder = 1u << st.melclen;
        }
        if (len > limit) {
            bad_ = true;
            return limit;
        }
        return len;
    }

    template <bool kRow0>
    QUIC_INLINE void decode_segment(const uint8_t* prev, uint8_t* cur, unsigned i, unsigned end,
                                    unsigned wait_mask) {
        QuicState& st = st_;
        load_left(cur, i);
        unsigned stop;
        if (i == 0) {
            decode_pixel<kRow0, true>(prev, cur, 0);
            if (st.waitcnt) {
                st.waitcnt--;
            } else {
                st.waitcnt = tabrand(st) & wait_mask;
                update_models(0);
            }
            stop = ++i + st.waitcnt;
        } else {
            stop = i + st.waitcnt;
        }
        unsigned run_index = 0;
        for (;;) {
            while (stop < end) {
                for (; i <= stop; i++) {
                    if (!kRow0 && run_begins(prev, cur, i, run_index)) {
                        goto run;
                    }
                    decode_pixel<kRow0, false>(prev, cur, i);
                }
                update_models(stop);
                stop = i + (tabrand(st) & wait_mask);
            }
            for (; i < end; i++) {
                if (!kRow0 && run_begins(prev, cur, i, run_index)) {
                    goto run;
                }
                decode_pixel<kRow0, false>(prev, cur, i);
            }
            st.waitcnt = stop - end;
            return;

        run:
            // Run pixels leave the correlate row alone: their positions keep an earlier row's symbols.
            st.waitcnt = stop - i;
            run_index = i;
            const unsigned n = decode_run(end - i);
            for (unsigned k = 0; k < n; k++) {
                L::copy(cur + (i + k) * kSize, cur + (i - 1) * kSize);
            }
            i += n;
            if (i == end) {
                return;
            }
            load_left(cur, i);
            stop = i + st.waitcnt;
        }
    }

    QuicContext* d_;
    QuicReader r_;
    // The reader's look-ahead as far as the short-codeword table index: equal to r_.bits in its top
    // kShortBits bits, perhaps without the last refill below them.
    uint64_t head_;
    QuicState& st_;
    uint8_t* corr_[kChannels];
    QuicBucket** buckets_[kChannels];
    const uint8_t* codes_[kChannels];
    unsigned ctx_[kChannels];   // the symbol before the next pixel's
    unsigned left_[kChannels];  // the values of the pixel before the next
    bool bad_ = false;
};

typedef void (*RowFunc)(QuicContext* d, const uint8_t* prev, uint8_t* cur, unsigned width);

struct RowPass {
    RowFunc row0;
    RowFunc row;
    unsigned first_channel;
    unsigned channels;
};

template <class L>
constexpr RowPass pass_of() {
    return RowPass{&RowDecoder<L>::row0, &RowDecoder<L>::row, L::kFirstChannel, L::kChannels};
}

// How an image type is decoded into an output format: one pass per row, two for RGBA (colours, then alpha).
struct DecodePlan {
    QuicImageType type;
    QuicImageType format;
    unsigned bytes_per_pixel;
    RowPass passes[2];
    unsigned pass_count;
};

const DecodePlan kPlans[] = {
    {QUIC_IMAGE_TYPE_GRAY, QUIC_IMAGE_TYPE_GRAY, 1, {pass_of<GrayLayout>()}, 1},
    {QUIC_IMAGE_TYPE_RGB16, QUIC_IMAGE_TYPE_RGB16, 2, {pass_of<Rgb16Layout>()}, 1},
    {QUIC_IMAGE_TYPE_RGB16, QUIC_IMAGE_TYPE_RGB32, 4, {pass_of<Rgb16To32Layout>()}, 1},
    {QUIC_IMAGE_TYPE_RGB24, QUIC_IMAGE_TYPE_RGB32, 4, {pass_of<Rgb32Layout>()}, 1},
    {QUIC_IMAGE_TYPE_RGB24, QUIC_IMAGE_TYPE_RGB24, 3, {pass_of<Rgb24Layout>()}, 1},
    {QUIC_IMAGE_TYPE_RGB32, QUIC_IMAGE_TYPE_RGB32, 4, {pass_of<Rgb32Layout>()}, 1},
    {QUIC_IMAGE_TYPE_RGB32, QUIC_IMAGE_TYPE_RGB24, 3, {pass_of<Rgb24Layout>()}, 1},
    {QUIC_IMAGE_TYPE_RGBA, QUIC_IMAGE_TYPE_RGBA, 4, {pass_of<Rgb32Layout>(), pass_of<AlphaLayout>()}, 2},
};

// Channel count and bits per channel of an image type; false for an invalid type.
bool image_params(uint32_t type, unsigned* channels, unsigned* bpc) {
    switch (type) {
        case QUIC_IMAGE_TYPE_GRAY:
            *channels = 1;
            *bpc = 8;
            return true;
        case QUIC_IMAGE_TYPE_RGB16:
            *channels = 3;
            *bpc = 5;
            return true;
        case QUIC_IMAGE_TYPE_RGB24:
        case QUIC_IMAGE_TYPE_RGB32:
            *channels = 3;
            *bpc = 8;
            return true;
        case QUIC_IMAGE_TYPE_RGBA:
            *channels = 4;
            *bpc = 8;
            return true;
        default:
            return false;
    }
}

// Reports a failed stream through the error call-back; -1 for when that returns.
int fail_image(QuicContext* d) {
    QuicUsrContext* usr = d->usr;
    switch (d->failure) {
        case QuicFailure::NoMoreWords:
            usr->error(usr, "%s: no more words\n", "more_io_words");
            break;
        case QuicFailure::BadChunk:
            usr->error(usr, "%s: input is not whole words\n", "more_io_words");
            break;
        default:
            usr->error(usr, "corrupt stream\n");
            break;
    }
    return -1;
}

}  // namespace

// ---- Interface ----

void quic_init() {
    std::call_once(init_once, [] {
        build_family(&family_8bpc, 8);
        build_family(&family_5bpc, 5);
        leading_zeros[0] = 8;
        for (unsigned v = 1; v < 256; v++) {
            leading_zeros[v] = uint8_t(__builtin_clz(v) - 24);
        }
        initialized.store(true, std::memory_order_release);
    });
}

QuicContext* quic_create(QuicUsrContext* usr) {
    if (!usr || !initialized.load(std::memory_order_acquire) || !usr->error || !usr->warn || !usr->info ||
        !usr->malloc || !usr->free || !usr->more_space) {
        return nullptr;
    }
    auto d = static_cast<QuicContext*>(usr->malloc(usr, sizeof(QuicContext)));
    if (!d) {
        return nullptr;
    }
    memset(d, 0, sizeof(*d));
    d->usr = usr;
    d->n_buckets_8bpc = bucket_count(8);
    d->n_buckets_5bpc = bucket_count(5);
    for (QuicChannel& ch : d->channels) {
        if (!create_family_stat(d, &ch.family_stat_8bpc, 8, d->n_buckets_8bpc) ||
            !create_family_stat(d, &ch.family_stat_5bpc, 5, d->n_buckets_5bpc)) {
            quic_destroy(d);
            return nullptr;
        }
    }
    return d;
}

void quic_destroy(QuicContext* d) {
    if (!d) {
        return;
    }
    QuicUsrContext* usr = d->usr;
    for (QuicChannel& ch : d->channels) {
        if (ch.correlate_row) {
            usr->free(usr, ch.correlate_row - 1);
        }
        free_family_stat(usr, &ch.family_stat_8bpc);
        free_family_stat(usr, &ch.family_stat_5bpc);
    }
    usr->free(usr, d);
}

int quic_decode_begin(QuicContext* d, const uint8_t* data, uint64_t size, int expected_width,
                      int expected_height, QuicImageType* out_type, int* out_width, int* out_height) {
    QuicUsrContext* usr = d->usr;
    d->started = false;
    if (!data || size < 5 * 4 || size % 4 != 0) {
        usr->warn(usr, "bad stream size %llu\n", (unsigned long long)size);
        return -1;
    }
    reset_state(&d->rgb_state);
    d->io_exhausted = false;
    d->failure = QuicFailure::None;
    d->rows_completed = 0;
    QuicReader r{uint64_t(load_le32(data)) << 32, 32, data + 4, data + size};

    if (read_header_word(d, r) != kMagic) {
        usr->warn(usr, "bad magic\n");
        return -1;
    }
    if (read_header_word(d, r) != kVersion) {
        usr->warn(usr, "bad version\n");
        return -1;
    }
    const uint32_t type = read_header_word(d, r);  // a QuicImageType once checked
    const uint32_t width = read_header_word(d, r);
    const uint32_t height = read_header_word(d, r);
    d->io = r;

    unsigned channels, bpc;
    if (!image_params(type, &channels, &bpc)) {
        usr->error(usr, "bad image type\n");
        return -1;
    }
    // Rows are allocated from the width: it must be the size the caller made room for, and a row of four-byte
    // pixels must stay within the stride's range.
    if (width == 0 || height == 0 || expected_width <= 0 || expected_height <= 0 ||
        width != uint32_t(expected_width) || height != uint32_t(expected_height) ||
        width > uint32_t(INT32_MAX / 4)) {
        usr->warn(usr, "unexpected image size %ux%u\n", width, height);
        return -1;
    }

    for (unsigned c = 0; c < channels; c++) {
        QuicChannel& ch = d->channels[c];
        if (ch.correlate_row_width < width) {
            if (ch.correlate_row) {
                usr->free(usr, ch.correlate_row - 1);
                ch.correlate_row = nullptr;
                ch.correlate_row_width = 0;
            }
            auto row = static_cast<uint8_t*>(usr->malloc(usr, size_t(width) + 1));
            if (!row) {
                return -1;
            }
            ch.correlate_row = row + 1;
            ch.correlate_row_width = width;
        }
        if (bpc == 8) {
            reset_family_stat(&ch.family_stat_8bpc, d->n_buckets_8bpc, 8);
            ch.family_stat = &ch.family_stat_8bpc;
        } else {
            reset_family_stat(&ch.family_stat_5bpc, d->n_buckets_5bpc, 5);
            ch.family_stat = &ch.family_stat_5bpc;
        }
        reset_state(&ch.state);
    }

    d->type = QuicImageType(type);
    d->width = width;
    d->height = height;
    d->num_channels = channels;
    d->started = true;
    *out_type = QuicImageType(type);
    *out_width = int(width);
    *out_height = int(height);
    return 0;
}

int quic_decode(QuicContext* d, QuicImageType format, uint8_t* buf, int stride) {
    QuicUsrContext* usr = d->usr;
    if (!d->started) {
        usr->warn(usr, "no image begun\n");
        return -1;
    }
    d->started = false;

    const DecodePlan* plan = nullptr;
    for (const DecodePlan& p : kPlans) {
        if (p.type == d->type && p.format == format) {
            plan = &p;
            break;
        }
    }
    if (!plan) {
        usr->warn(usr, "unsupported output format\n");
        return -1;
    }
    // The caller's duty: a buffer with room for every row.
    spice_assert(buf);
    spice_assert(std::abs(int64_t(stride)) >= int64_t(d->width) * plan->bytes_per_pixel);

    for (unsigned y = 0; y < d->height; y++) {
        uint8_t* cur = buf + int64_t(y) * stride;
        const uint8_t* prev = y == 0 ? nullptr : cur - stride;
        for (unsigned k = 0; k < plan->pass_count; k++) {
            const RowPass& pass = plan->passes[k];
            for (unsigned c = pass.first_channel; c < pass.first_channel + pass.channels; c++) {
                uint8_t* corr = d->channels[c].correlate_row;
                corr[-1] = y == 0 ? 0 : corr[0];
            }
            (y == 0 ? pass.row0 : pass.row)(d, prev, cur, d->width);
        }
        d->rows_completed++;
        if (d->failure != QuicFailure::None) {
            return fail_image(d);
        }
    }
    return 0;
}
