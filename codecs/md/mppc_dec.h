// The display channel's decompression context: expands display messages whose type has bit 15 set.
//
// The context's history must match the server's message for message. A message that fails to expand was still
// added to the server's history, so every later message could decode to wrong bytes: after the first failure
// the context refuses everything, and the channel must end its connection.
#pragma once

#include <cstdint>

#include "codecs/md/min_deflate.h"

enum {
    PACKET_COMPR_TYPE_NONE = -1,  // no decoder yet
    PACKET_COMPR_TYPE_MD = 10,
};

// One per display channel, used only on its thread.
struct RdpDecompress {
    int type;
    uint32_t level;  // as the server announced it at link time (bit 31 cleared)
    MdDecoder* md_dec;
    bool failed;  // a message failed: the history is out of step with the server's
};

// The expanded message: length bytes at start (the context's buffer, valid until the next call), pos ==
// start.
struct DecompressStream {
    uint8_t* start;
    uint8_t* pos;
    uint32_t length;
};

// A context of type none for the level; decompress_init or the first decompress_rdp makes its decoder.
RdpDecompress* decompress_new(uint32_t level);
// Makes the decoder of a context that has none: 1, or 0 when the level is not supported or memory is short.
int decompress_init(RdpDecompress* dec);
// Expands one message of length bytes. 1 on success. 0 when the message could not be expanded; the context is
// then out of step with the server for good (every later call fails too) and the caller must end the
// connection.
int decompress_rdp(const uint8_t* cbuf, RdpDecompress* dec, uint32_t length, DecompressStream* out);
// Frees the context with its decoder; null is allowed.
void decompress_free(RdpDecompress* dec);
