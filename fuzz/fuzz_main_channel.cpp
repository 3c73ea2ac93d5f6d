// Main-channel messages from a server, through the main channel client's own handlers: the input's first two
// bytes are the message type (little-endian), the rest its body. Whatever arrives, a message is handled,
// ignored or refused with an exception; never a crash, an over-read or an unbounded allocation. The client is
// aborted before the first input, so a wait for channels ends at once instead of blocking. The other messages
// common to every channel answer on a linked connection only and are fuzzed with one (fuzz_red_channel).
#include "app/red_client.h"
#include "runtime/exception.h"
#include "runtime/log.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>

namespace {

class QuietListener : public RedClient::Listener {
public:
    void on_connected() override {}
    void on_disconnected(int) override {}
    void on_mouse_mode_changed(uint32_t) override {}
    void on_connect_failed() override {}
};

struct Setup {
    Setup() : loop(nullptr), client(loop, listener), handler(RedClient::create_message_handler(client)) {
        log_set_threshold(4);
        while (!client.abort()) {
            loop.run_queued_events();
        }
        // The agent's display configuration waits for the application loop: it runs on its own thread, as
        // in the program.
        loop_thread = std::thread([this] { loop.run(); });
    }
    ProcessLoop loop;
    QuietListener listener;
    RedClient client;
    std::unique_ptr<RedChannel::MessageHandler> handler;
    std::thread loop_thread;  // runs until the process ends
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup* setup = new Setup();
    if (size < 2) {
        return 0;
    }
    uint16_t type = uint16_t(data[0] | (data[1] << 8));
    if (type < SPICE_MSG_MAIN_MIGRATE_BEGIN && type != SPICE_MSG_WAIT_FOR_CHANNELS) {
        return 0;
    }
    RedPeer::CompoundInMessage* message = new RedPeer::CompoundInMessage(uint32_t(size - 2), type);
    if (size > 2) {
        memcpy(message->data(), data + 2, size - 2);
    }
    try {
        setup->handler->handle_message(*message);
    } catch (Exception&) {
    }
    message->unref();
    setup->client.reset_agent_stream();
    setup->client.clear_outgoing_messages();
    return 0;
}
