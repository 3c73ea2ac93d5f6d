// min-deflate (md): the decoder of the display server's own message compression. Each decoder keeps a history
// window across messages, as the server's encoder does, so that a message may refer to bytes of earlier ones.
//
// A message is a 1-byte flags field (bit 0 compressed, bit 1 long header, bits 2-7 level), the decompressed
// size (1 byte, or a 32-bit little-endian word with the long header), then the stored bytes or the bit
// stream.
#pragma once

#include <cstddef>
#include <cstdint>

enum { MD_LEVELS = 11 };

// Results of md_decompress and md_decompress_init.
enum {
    MD_OK = 0,
    MD_ERR_OUTPUT_TOO_SMALL = -2,
    MD_ERR_NO_MEMORY = -3,
    MD_ERR_INVALID = -4,  // bad arguments, a bad header or corrupt data
};

// The largest decompressed size a header may announce; a display message is far smaller.
constexpr uint32_t MD_MAX_DECOMPRESSED_SIZE = uint32_t(128) << 20;

// One per display channel, used only on its thread.
struct MdDecoder {
    uint8_t* window;  // window_size bytes, zeroed at creation
    uint32_t window_size;
    uint32_t position;    // where the next message goes; the bytes before it are the history
    uint32_t block_size;  // the window slides by whole blocks
    uint32_t level;
    uint8_t* output;  // the message buffer of decompress_rdp, grown on demand
    size_t output_length;
};

struct MdHeader {
    bool compressed;
    uint32_t header_length;  // 2 or 5
    uint32_t size;           // decompressed size
    uint32_t level;
};

// Reads the header of a message of length bytes; false when the message is not longer than its header.
bool md_read_header(const uint8_t* message, size_t length, MdHeader* header);

// Sets up state for level 0 to 10: window, position 0. MD_OK, MD_ERR_INVALID or MD_ERR_NO_MEMORY.
int md_decompress_init(uint32_t level, MdDecoder* state);
// A decoder for level 1 to 10, or null (logged) for any other level or when memory is short.
MdDecoder* md_dec_new(uint32_t level);
// Frees the decoder with its window and output buffer.
void md_dec_free(MdDecoder* state);

// Expands one message into output (*output_length bytes of room), placing it in the history window, or past
// the window when it cannot fit. On return *output_length holds the bytes produced. MD_OK,
// MD_ERR_OUTPUT_TOO_SMALL or MD_ERR_INVALID; after a failure the window no longer matches the server's.
int md_decompress(MdDecoder* state, const uint8_t* message, size_t length, uint8_t* output,
                  size_t* output_length);

// Decodes the bit stream of length bytes into destination (size bytes of room), whose history bytes before
// destination[0] matches may reach back into. The count of bytes produced when the end token was met; -1 when
// the stream is corrupt, overflows the destination, reaches before the history or ends before its end token.
int64_t md_decompress_core(const uint8_t* stream, size_t length, uint8_t* destination, size_t size,
                           size_t history);

// The module's log: a process-wide call-back (none at start) and level (-1 at start: nothing passes). Lines
// of a level not above the log level reach the call-back as "[MD]: " followed by the message.
using MdLogCallback = void (*)(int level, const char* text);
void md_set_log_callback(MdLogCallback callback);
void md_set_log_level(int level);
void md_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Lines of this module start with the source position and function.
#define MD_LOG(level, format, ...) \
    md_log((level), "%s(%d)-%s" format, __FILE__, __LINE__, __func__, ##__VA_ARGS__)
