#include "support/recording.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

const char kMagic[8] = {'K', 'T', 'W', 'R', 'E', 'C', '1', '\0'};
const uint64_t kFileHeaderSize = 16;
const uint64_t kRecordHeaderSize = 7;

}  // namespace

bool parse_recording(const std::vector<uint8_t>& bytes, std::vector<RecordedMessage>* out,
                     std::string* error) {
    out->clear();
    if (bytes.size() < kFileHeaderSize || memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        *error = "not a recording (bad header)";
        return false;
    }
    const uint64_t size = bytes.size();
    uint64_t at = kFileHeaderSize;
    while (at < size) {
        if (size - at < kRecordHeaderSize) {
            *error = "record header cut short at byte " + std::to_string(at);
            return false;
        }
        const uint8_t* p = bytes.data() + at;
        RecordedMessage m;
        m.channel_type = p[0];
        m.type = uint16_t(p[1] | p[2] << 8);
        uint64_t body_size =
            uint64_t(p[3]) | uint64_t(p[4]) << 8 | uint64_t(p[5]) << 16 | uint64_t(p[6]) << 24;
        at += kRecordHeaderSize;
        if (body_size > size - at) {
            *error = "record body of " + std::to_string(body_size) + " bytes at byte " + std::to_string(at) +
                     " runs past the end";
            return false;
        }
        m.body.assign(bytes.begin() + long(at), bytes.begin() + long(at + body_size));
        at += body_size;
        out->push_back(std::move(m));
    }
    return true;
}

bool load_recording(const std::string& path, std::vector<RecordedMessage>* out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = "cannot read " + path;
        return false;
    }
    return parse_recording(bytes, out, error);
}

std::vector<std::string> list_files(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}
