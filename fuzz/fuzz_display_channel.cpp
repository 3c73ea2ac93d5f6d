// The display channel's message handling on arbitrary message sequences: each input is a run of records
// {u16 type, u16 size, body} handed to the channel as the worker hands received messages (lists, surfaces,
// draws, caches, streams), on a channel whose primary surface is a small one made afresh per input. A
// message the channel refuses ends the run, as it would end the connection. Surfaces larger than 256 pixels
// a side are left out, so that an input stays quick.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>

#include "display/display_channel.h"
#include "runtime/exception.h"
#include "support/fake_application.h"
#include "null_channel_client.h"

namespace {

const uint32_t kMaxFuzzSide = 256;

struct Harness {
    Harness() {
        app.canvas_types = {CANVAS_TYPE_SW};
        // Cached images never arrive here: every wait for one fails at once.
        images.pixmap_cache.abort();
        images.glz_window.set_abort();
        loop = std::thread([this] {
            for (;;) {
                app.run_events();
                Sleep(1);
            }
        });
        loop.detach();
        channel = new DisplayChannel(client, 0, app, images);
    }

    FakeApplication app;
    NullChannelClient client;
    DisplaySharedImages images;
    std::thread loop;
    DisplayChannel* channel;
};

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Surface sizes beyond the fuzz bound are skipped (they are refused or made slowly, not of interest here).
bool too_large(uint16_t type, const uint8_t* body, size_t size) {
    if (type == SPICE_MSG_DISPLAY_SURFACE_CREATE && size >= 12) {
        return le32(body + 4) > kMaxFuzzSide || le32(body + 8) > kMaxFuzzSide;
    }
    if (type == SPICE_MSG_DISPLAY_MODE && size >= 8) {
        return le32(body) > kMaxFuzzSide || le32(body + 4) > kMaxFuzzSide;
    }
    return false;
}

void handle(DisplayChannel& channel, uint16_t type, const uint8_t* body, size_t size) {
    RedPeer::CompoundInMessage* message = new RedPeer::CompoundInMessage(uint32_t(size), type);
    if (size) {
        memcpy(message->data(), body, size);
    }
    try {
        channel.handle_message(*message);
    } catch (...) {
        message->unref();
        throw;
    }
    message->unref();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* harness = new Harness();
    DisplayChannel& channel = *harness->channel;
    try {
        uint8_t primary[20] = {};
        primary[4] = 64;   // width
        primary[8] = 48;   // height
        primary[12] = 32;  // format
        primary[16] = 1;   // primary
        handle(channel, SPICE_MSG_DISPLAY_SURFACE_CREATE, primary, sizeof(primary));
        size_t pos = 0;
        while (size - pos >= 4) {
            uint16_t type = uint16_t(data[pos] | data[pos + 1] << 8);
            size_t length = size_t(data[pos + 2] | data[pos + 3] << 8);
            pos += 4;
            length = std::min(length, size - pos);
            if (!too_large(type, data + pos, length)) {
                handle(channel, type, data + pos, length);
            }
            pos += length;
        }
    } catch (Exception&) {
        // The channel would end its connection here.
    }
    try {
        channel.destroy_all_surfaces();
    } catch (Exception&) {
    }
    channel.palette_cache().clear();
    harness->images.pixmap_cache.clear();
    return 0;
}
