// The QUIC decoder as it was before its speed work (same interface as codecs/quic.h, in its own namespace),
// the baseline that the tests and the strip benchmark compare the decoder with.
#pragma once

#include "codecs/quic.h"

namespace quic_reference {

struct QuicContext;

void quic_init();
QuicContext* quic_create(QuicUsrContext* usr);
void quic_destroy(QuicContext* quic);
int quic_decode_begin(QuicContext* quic, const uint8_t* data, uint64_t size, int expected_width,
                      int expected_height, QuicImageType* type, int* width, int* height);
int quic_decode(QuicContext* quic, QuicImageType format, uint8_t* buf, int stride);

}  // namespace quic_reference
