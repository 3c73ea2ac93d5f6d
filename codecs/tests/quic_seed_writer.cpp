// Writes the seeds of the QUIC fuzz target (fuzz/corpus/quic) into the folder given: mixed images of each
// type from the test encoder, and the QUIC images of the recorded QEMU session. Each seed is a byte choosing
// the decode, then the stream. Built with the tests, run by hand:
//     build/codecs/quic_seed_writer fuzz/corpus/quic
#include "codecs/quic.h"
#include "support/quic_encoder.h"
#include "transport/protocol/server_messages.h"
#include "transport/tests/support/recording.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

bool write_seed(const std::string& path, uint8_t head, const std::vector<uint8_t>& stream) {
    std::ofstream out(path, std::ios::binary);
    out.put(char(head));
    out.write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
    return bool(out);
}

// The fuzz target's first byte: bits 0-2 its format index, bit 3 a negative stride, bits 4-7 the chunk size
// in words. Each type into one of its formats, some in chunks, some upwards.
bool write_mixed(const std::string& dir) {
    const struct {
        QuicImageType type;
        uint8_t head;
    } seeds[] = {{QUIC_IMAGE_TYPE_GRAY, 0},
                 {QUIC_IMAGE_TYPE_RGB16, 5 | 8 << 4},
                 {QUIC_IMAGE_TYPE_RGB24, 2 | 8},
                 {QUIC_IMAGE_TYPE_RGB32, 3 | 1 << 4},
                 {QUIC_IMAGE_TYPE_RGBA, 4}};
    for (const auto& seed : seeds) {
        const std::vector<uint8_t> stream = quic_test_encode(mixed_image(seed.type, 40, 12, seed.type));
        if (!write_seed(dir + "/mixed_" + std::to_string(seed.type), seed.head, stream)) {
            return false;
        }
    }
    return true;
}

// The BIOS screen's images, decoded into RGB32 (format index 3).
bool write_recorded(const std::string& dir) {
    std::vector<RecordedMessage> messages;
    std::string error;
    if (!load_recording(std::string(KTW_QEMU_FIXTURE_DIR) + "/quic.display.rec", &messages, &error)) {
        std::fprintf(stderr, "quic_seed_writer: %s\n", error.c_str());
        return false;
    }
    const SpiceChannelParser* parser = spice_get_server_channel_parser(SPICE_CHANNEL_DISPLAY, 2);
    int images = 0;
    for (RecordedMessage& m : messages) {
        if (m.type != SPICE_MSG_DISPLAY_DRAW_COPY) {
            continue;
        }
        size_t size;
        message_destructor_t release;
        uint8_t* parsed =
            parser->parser(m.body.data(), m.body.data() + m.body.size(), m.type, 2, &size, &release);
        if (!parsed) {
            std::fprintf(stderr, "quic_seed_writer: a recorded draw-copy does not parse\n");
            return false;
        }
        const SpiceImage* image = reinterpret_cast<SpiceMsgDisplayDrawCopy*>(parsed)->data.src_bitmap;
        bool written = true;
        if (image->descriptor.type == SPICE_IMAGE_TYPE_QUIC && image->u.quic.data->num_chunks == 1) {
            const SpiceChunk& chunk = image->u.quic.data->chunk[0];
            written = write_seed(dir + "/qemu_bios_" + std::to_string(++images), 3,
                                 std::vector<uint8_t>(chunk.data, chunk.data + chunk.len));
        }
        release(parsed);
        if (!written) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quic_seed_writer <folder>\n");
        return 2;
    }
    const std::string dir = argv[1];
    if (!write_mixed(dir) || !write_recorded(dir)) {
        std::fprintf(stderr, "quic_seed_writer: cannot write the seeds into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
