// Loader of recorded server traffic (the fixtures that transport/tests/tools/spice_recorder writes).
//
// A recording file is a 16-byte header, "KTWREC1\0" and 8 reserved bytes, followed by records back to back,
// little-endian and packed: u8 channel type, u16 message type, u32 body size, then the body. The files come
// from a server and from disk, so every size is checked against the bytes that remain before anything is
// read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RecordedMessage {
    uint8_t channel_type;
    uint16_t type;
    std::vector<uint8_t> body;
};

// Decodes a whole recording. False, with the reason in *error, for a bad header or a record cut short.
bool parse_recording(const std::vector<uint8_t>& bytes, std::vector<RecordedMessage>* out,
                     std::string* error);

// Reads and decodes one recording file.
bool load_recording(const std::string& path, std::vector<RecordedMessage>* out, std::string* error);

// The files of a directory whose names end in suffix, sorted by name.
std::vector<std::string> list_files(const std::string& dir, const std::string& suffix);
