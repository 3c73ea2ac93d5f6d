#pragma once

// One end of a usbredir stream for tests: a parser in the host or device role whose input and output are byte
// buffers, recording every packet it receives.
#include <cstdint>
#include <deque>
#include <vector>

#include "devices/usbredirhost/usbredirparser.h"

struct ReceivedPacket {
    uint32_t type;
    uint64_t id;
    std::vector<uint8_t> header;
    std::vector<uint8_t> data;
};

class ParserEnd {
public:
    ParserEnd(bool host, uint32_t caps, uint32_t extra_flags = 0);
    ~ParserEnd();
    ParserEnd(const ParserEnd&) = delete;
    ParserEnd& operator=(const ParserEnd&) = delete;

    void feed(const std::vector<uint8_t>& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }
    // Runs do_read until it returns 0 or an error; returns the first non-zero result, or 0.
    int read_all();
    // Writes the queue out and returns what was written.
    std::vector<uint8_t> take_output();

    usbredirparser* parser;
    std::deque<uint8_t> input;
    size_t read_chunk = SIZE_MAX;  // at most this many bytes per read call-back
    std::vector<uint8_t> output;
    std::vector<ReceivedPacket> received;
    std::vector<usb_redir_filter_rule> rules;
    int hellos = 0;
};

// Hands each end's pending output to the other until both are quiet.
void exchange(ParserEnd& a, ParserEnd& b);

// A packet built by hand: header (12 or 16 bytes), type header, data.
std::vector<uint8_t> make_packet(uint32_t type, uint64_t id, const std::vector<uint8_t>& type_header,
                                 const std::vector<uint8_t>& data, bool ids64,
                                 uint32_t length_override = UINT32_MAX);
