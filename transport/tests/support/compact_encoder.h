// Test encoder of the compact draw encoding: turns full-form draw messages, as the ordinary parser gives
// them, into compact bodies, as a server would send them against the values it sent last. Written from the
// encoding's description, apart from the parsers, so that the two can be checked against each other.
#pragma once

#include <cstdint>
#include <vector>

#include "transport/protocol/compact_parsers.h"

struct CompactMessage {
    uint8_t header_flags;  // the first byte of the compact sub-header
    std::vector<uint8_t> body;
};

class CompactEncoder {
public:
    enum class Mode {
        Smallest,  // leave out what repeats, send small deltas and the narrowest widths
        Explicit,  // send every value, absolute and in its widest form
    };

    explicit CompactEncoder(Mode mode = Mode::Smallest) : mode_(mode) {}

    // Encodes a parsed DRAW_FILL, DRAW_COPY, DRAW_STROKE or draw_cache_copy. False, with nothing remembered,
    // when the message has no compact form (another surface, a value too wide for its field).
    bool encode(uint16_t type, const uint8_t* parsed, CompactMessage* out);

    // The values the encoder assumes the parser holds now.
    const OptDrawContext& context() const { return prev_; }

private:
    Mode mode_;
    OptDrawContext prev_{};
};
