#include "codecs/md/min_deflate.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transport/protocol/wire_reader.h"

namespace {

struct LevelInfo {
    uint32_t window_size;
    uint32_t blocks;
};

const LevelInfo kLevels[MD_LEVELS] = {
    {131072, 1},  {131072, 2},  {1048576, 2}, {1048576, 2},  {2097152, 1},  {2097152, 4},
    {4194304, 1}, {4194304, 4}, {8388608, 8}, {12582912, 8}, {16777216, 8},
};

// Code tables: each base is the sum of 2^extra over the codes before it. Built at compile time, so decoders
// on several display channels' threads share them without any set-up.
constexpr int kLengthCodes = 8;
constexpr int kDistanceCodes = 32;
constexpr uint8_t kLengthExtra[kLengthCodes] = {0, 0, 0, 1, 2, 4, 11, 30};
constexpr uint8_t kDistanceExtra[kDistanceCodes] = {4,  4,  5,  5,  5,  6,  6,  7,  7,  8,  8,
                                                    9,  9,  10, 10, 11, 11, 12, 12, 13, 13, 14,
                                                    14, 15, 15, 16, 17, 18, 19, 21, 23, 30};

template <int N>
struct Bases {
    uint32_t value[N];
};

template <int N>
constexpr Bases<N> make_bases(const uint8_t (&extra)[N]) {
    Bases<N> bases{};
    uint32_t sum = 0;
    for (int i = 0; i < N; i++) {
        bases.value[i] = sum;
        sum += uint32_t(1) << extra[i];
    }
    return bases;
}

constexpr Bases<kLengthCodes> kLengthBase = make_bases(kLengthExtra);
constexpr Bases<kDistanceCodes> kDistanceBase = make_bases(kDistanceExtra);
static_assert(kLengthBase.value[7] == 2073 && kDistanceBase.value[31] == 11599872, "code tables");

constexpr uint32_t kMinMatch = 4;
constexpr uint32_t kEndOfStream = 0x3fffffff;

std::atomic<MdLogCallback> log_callback{nullptr};
std::atomic<int> log_level{-1};

// Little-endian 32-bit words, least significant bit first. Past the end the reader yields zero bits but
// counts them, so the decoder can tell that a token ran off the message.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t length)
        : _in(data), _end(data + length), _bits_total(uint64_t(length) * 8) {}

    // Keeps more than 32 bits at hand, enough for any one field.
    void refill() {
        if (_held <= 32) {
            _acc |= uint64_t(next_word()) << _held;
            _held += 32;
        }
    }
    uint32_t take(unsigned n) {
        uint32_t v = uint32_t(_acc & ((uint64_t(1) << n) - 1));
        _acc >>= n;
        _held -= n;
        _consumed += n;
        return v;
    }
    bool overrun() const { return _consumed > _bits_total; }

private:
    uint32_t next_word() {
        size_t left = size_t(_end - _in);
        if (left >= 4) {
            uint32_t w =
                uint32_t(_in[0]) | uint32_t(_in[1]) << 8 | uint32_t(_in[2]) << 16 | uint32_t(_in[3]) << 24;
            _in += 4;
            return w;
        }
        uint32_t w = 0;
        for (size_t i = 0; i < left; i++) {
            w |= uint32_t(_in[i]) << (8 * i);
        }
        _in = _end;
        return w;
    }

    const uint8_t* _in;
    const uint8_t* _end;
    uint64_t _acc = 0;
    unsigned _held = 0;
    uint64_t _consumed = 0;
    uint64_t _bits_total;
};

// Copies length bytes from distance bytes back; where they overlap the copy repeats the pattern, as a
// byte-by-byte copy would. Each memcpy reads only bytes already final, doubling the span it may take.
inline void copy_match(uint8_t* out, size_t distance, size_t length) {
    if (length <= distance) {
        memcpy(out, out - distance, length);
        return;
    }
    if (distance == 1) {
        memset(out, out[-1], length);
        return;
    }
    size_t span = distance;
    while (length != 0) {
        size_t n = length < span ? length : span;
        memcpy(out, out - span, n);
        out += n;
        length -= n;
        span += n;
    }
}

}  // namespace

void md_set_log_callback(MdLogCallback callback) {
    log_callback.store(callback);
}

void md_set_log_level(int level) {
    log_level.store(level);
}

void md_log(int level, const char* format, ...) {
    MdLogCallback callback = log_callback.load();
    if (!callback || level > log_level.load()) {
        return;
    }
    char text[512];
    int prefix = snprintf(text, sizeof(text), "[MD]: ");
    va_list args;
    va_start(args, format);
    vsnprintf(text + prefix, sizeof(text) - size_t(prefix), format, args);
    va_end(args);
    callback(level, text);
}

bool md_read_header(const uint8_t* message, size_t length, MdHeader* header) {
    WireReader in(message, message ? message + length : nullptr);
    uint8_t flags = in.u8();
    header->compressed = (flags & 1) != 0;
    header->header_length = (flags & 2) ? 5 : 2;
    header->level = flags >> 2;
    header->size = (flags & 2) ? in.u32() : in.u8();
    return in.ok() && in.remaining() > 0;
}

int md_decompress_init(uint32_t level, MdDecoder* state) {
    if (!state) {
        MD_LOG(3, "  decompression state is not availible!\n");
        return MD_ERR_INVALID;
    }
    if (level >= MD_LEVELS) {
        MD_LOG(3, "  decompression level is not available!\n");
        return MD_ERR_INVALID;
    }
    const LevelInfo& info = kLevels[level];
    state->window = static_cast<uint8_t*>(calloc(info.window_size, 1));
    if (!state->window) {
        MD_LOG(3, "  malloc memory is failed!\n");
        return MD_ERR_NO_MEMORY;
    }
    state->level = level;
    state->window_size = info.window_size;
    state->block_size = info.window_size / info.blocks;
    state->position = 0;
    return MD_OK;
}

MdDecoder* md_dec_new(uint32_t level) {
    // The level comes from the server's link reply: one out of range refuses compression, it does not end us.
    if (level == 0 || level >= MD_LEVELS) {
        MD_LOG(3, "  compression level %u is not supported.", level);
        return nullptr;
    }
    auto* state = static_cast<MdDecoder*>(calloc(1, sizeof(MdDecoder)));
    if (!state) {
        MD_LOG(3, "  xzalloc(): system out of memory.");
        return nullptr;
    }
    if (md_decompress_init(level, state) != MD_OK) {
        MD_LOG(3, "  min-deflate decompress init failed.");
        free(state);
        return nullptr;
    }
    return state;
}

void md_dec_free(MdDecoder* state) {
    if (state) {
        free(state->window);
        free(state->output);
        free(state);
    }
}

int64_t md_decompress_core(const uint8_t* stream, size_t length, uint8_t* destination, size_t size,
                           size_t history) {
    BitReader in(stream, length);
    uint8_t* out = destination;
    uint8_t* const end = destination + size;
    for (;;) {
        in.refill();
        uint32_t token = in.take(9);
        if (!(token & 0x100)) {
            if (in.overrun()) {
                break;
            }
            if (out == end) {
                MD_LOG(3, "  decompressed data is wrong!pos:%p end:%p dst:%p size:%zd.\n",
                       static_cast<void*>(out), static_cast<void*>(end), static_cast<void*>(destination),
                       size);
                return -1;
            }
            *out++ = uint8_t(token);
            continue;
        }
        unsigned length_code = (token >> 5) & 7;
        unsigned distance_code = token & 31;
        in.refill();
        uint32_t match_length =
            kLengthBase.value[length_code] + in.take(kLengthExtra[length_code]) + kMinMatch;
        if (match_length == kEndOfStream) {
            if (in.overrun()) {
                break;
            }
            return int64_t(out - destination);
        }
        in.refill();
        uint64_t distance =
            uint64_t(kDistanceBase.value[distance_code]) + in.take(kDistanceExtra[distance_code]) + 1;
        if (in.overrun()) {
            break;
        }
        if (match_length > size_t(end - out)) {
            MD_LOG(3, "  decompressed data is wrong!\n");
            return -1;
        }
        // Matches may reach into earlier messages in the window, but never before it.
        if (distance > uint64_t(out - destination) + history) {
            MD_LOG(3, "  match distance %llu reaches before the history.",
                   static_cast<unsigned long long>(distance));
            return -1;
        }
        copy_match(out, size_t(distance), match_length);
        out += match_length;
    }
    MD_LOG(3, "  the end can't be found, compression data is corrupt!\n");
    return -1;
}

namespace {

// Stored bytes are copied; a bit stream is decoded. The count produced, or -1.
int64_t decode_body(const MdHeader& header, const uint8_t* body, size_t body_length, uint8_t* destination,
                    size_t history) {
    if (!header.compressed) {
        memcpy(destination, body, header.size);
        return header.size;
    }
    return md_decompress_core(body, body_length, destination, header.size, history);
}

}  // namespace

int md_decompress(MdDecoder* state, const uint8_t* message, size_t length, uint8_t* output,
                  size_t* output_length) {
    if (!state || !message || !output || !output_length || length == 0) {
        MD_LOG(3, "  decompress state, inbuf or outbuf is not available!\n");
        return MD_ERR_INVALID;
    }
    MdHeader header;
    if (!md_read_header(message, length, &header)) {
        MD_LOG(3, "  compression data is not available!\n");
        return MD_ERR_INVALID;
    }
    size_t size = header.size;
    if (size > MD_MAX_DECOMPRESSED_SIZE) {
        MD_LOG(3, "  decompression size %zd is more than %zd!\n", size, size_t(MD_MAX_DECOMPRESSED_SIZE));
        return MD_ERR_INVALID;
    }
    const uint8_t* body = message + header.header_length;
    size_t body_length = length - header.header_length;
    if (!header.compressed && body_length < size) {
        MD_LOG(3, "  compression data: %zd is less than need %zd!\n", length, size + header.header_length);
        return MD_ERR_INVALID;
    }
    if (*output_length < size) {
        MD_LOG(3, "  decompression buffer: %zd is less than decompression size %zd!\n", *output_length, size);
        return MD_ERR_OUTPUT_TOO_SMALL;
    }
    if (header.level != state->level) {
        MD_LOG(3, "  compression level is not matched : %u != %u!\n", header.level, state->level);
        return MD_ERR_INVALID;
    }

    uint64_t position = state->position;
    if (position + size > state->window_size) {
        if (size > state->window_size || position + size - state->block_size > state->window_size) {
            // Too big for the window: the server sends it without history and starts its window afresh.
            int64_t produced = decode_body(header, body, body_length, output, 0);
            state->position = 0;
            if (produced != int64_t(size)) {
                MD_LOG(3, "  decompression is failed!\n");
                *output_length = produced < 0 ? 0 : size_t(produced);
                return MD_ERR_INVALID;
            }
            *output_length = size;
            return MD_OK;
        }
        // Slide the window by one block, keeping the history that still fits.
        if (state->position > state->block_size) {
            memmove(state->window, state->window + state->block_size, state->position - state->block_size);
            state->position -= state->block_size;
        } else {
            state->position = 0;
        }
    }
    uint8_t* at = state->window + state->position;
    int64_t produced = decode_body(header, body, body_length, at, state->position);
    memcpy(output, at, size);
    state->position += uint32_t(size);
    *output_length = produced < 0 ? 0 : size_t(produced);
    if (produced != int64_t(size)) {
        MD_LOG(3, "  decompression is failed!\n");
        return MD_ERR_INVALID;
    }
    return MD_OK;
}
