// The images of the strip recordings (codecs/tests/fixtures/strips, written by tools/record_strips.sh): one
// full-screen repaint of the benchmark guest as QEMU's SPICE server sent it, under one image-compression
// setting per file. Each DRAW_COPY image of the repaint (a full-height strip) is kept with the band of the
// guest's screen it shows, by the left edge of its box: photo-like, text-like, gradient, noise or flat; the
// images of the boot screen before it are kept too, as boot images (GLZ images refer to earlier ones). The
// bytes are the parsed message's, owned here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/protocol/server_messages.h"
#include "transport/tests/support/recording.h"

enum class StripContent { Photo, Text, Gradient, Noise, Flat, Boot };

inline const char* strip_content_name(StripContent c) {
    switch (c) {
        case StripContent::Photo:
            return "photo";
        case StripContent::Text:
            return "text";
        case StripContent::Gradient:
            return "gradient";
        case StripContent::Noise:
            return "noise";
        case StripContent::Flat:
            return "flat";
        default:
            return "boot";
    }
}

struct StripImage {
    StripContent content;
    const SpiceImage* image;
    // The image's one chunk of compressed data.
    const uint8_t* data;
    uint32_t size;
    uint64_t pixels() const { return uint64_t(image->descriptor.width) * image->descriptor.height; }
};

class StripRecording {
public:
    // Loads recording name ("quic", "lz", "glz", "zlib-glz", "jpeg"); false with the reason in *error.
    bool load(const std::string& dir, const std::string& name, std::string* error) {
        std::vector<RecordedMessage> messages;
        if (!load_recording(dir + "/" + name + ".display.rec", &messages, error)) {
            return false;
        }
        for (const RecordedMessage& m : messages) {
            if (m.channel_type != SPICE_CHANNEL_DISPLAY || m.type != SPICE_MSG_DISPLAY_DRAW_COPY) {
                continue;
            }
            auto parsed = std::make_unique<Parsed>(m);
            if (!parsed->data) {
                *error = "a DRAW_COPY message does not parse";
                return false;
            }
            auto copy = reinterpret_cast<const SpiceMsgDisplayDrawCopy*>(parsed->data);
            const SpiceImage* image = copy->data.src_bitmap;
            if (!image) {
                continue;
            }
            const SpiceChunks* chunks = nullptr;
            switch (image->descriptor.type) {
                case SPICE_IMAGE_TYPE_QUIC:
                    chunks = image->u.quic.data;
                    break;
                case SPICE_IMAGE_TYPE_LZ_RGB:
                case SPICE_IMAGE_TYPE_GLZ_RGB:
                    chunks = image->u.lz_rgb.data;
                    break;
                case SPICE_IMAGE_TYPE_JPEG:
                    chunks = image->u.jpeg.data;
                    break;
                case SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB:
                    chunks = image->u.zlib_glz.data;
                    break;
                default:
                    break;
            }
            if (!chunks || chunks->num_chunks != 1) {
                continue;
            }
            const int32_t left = copy->base.box.left;
            const StripContent content = copy->base.box.bottom - copy->base.box.top != 768
                                             ? StripContent::Boot
                                         : left < 256 ? StripContent::Photo
                                         : left < 512 ? StripContent::Text
                                         : left < 768 ? StripContent::Gradient
                                         : left < 864 ? StripContent::Noise
                                                      : StripContent::Flat;
            images.push_back(StripImage{content, image, chunks->chunk[0].data, chunks->chunk[0].len});
            parsed_.push_back(std::move(parsed));
        }
        if (images.empty()) {
            *error = "no images in " + name;
            return false;
        }
        return true;
    }

    // Of one image type (SPICE_IMAGE_TYPE_*) in the repaint, and of one content unless any.
    std::vector<StripImage> of(uint8_t type, const StripContent* content = nullptr) const {
        std::vector<StripImage> out;
        for (const StripImage& s : images) {
            if (s.image->descriptor.type == type && s.content != StripContent::Boot &&
                (!content || s.content == *content)) {
                out.push_back(s);
            }
        }
        return out;
    }

    std::vector<StripImage> images;  // all, in the order they came

private:
    struct Parsed {
        explicit Parsed(const RecordedMessage& m) : body(m.body) {
            const SpiceChannelParser* parser = spice_get_server_channel_parser(m.channel_type, 2);
            if (parser && parser->parser && !body.empty()) {
                data = parser->parser(body.data(), body.data() + body.size(), m.type, 2, &size, &release);
            }
        }
        ~Parsed() {
            if (data) {
                release(data);
            }
        }
        std::vector<uint8_t> body;
        uint8_t* data = nullptr;
        size_t size = 0;
        message_destructor_t release = nullptr;
    };
    std::vector<std::unique_ptr<Parsed>> parsed_;
};
