// The guest agent's stream as the main channel client receives it: the input is cut into server messages at
// the positions its first bytes give, then reassembled and dispatched. Whatever arrives, a message is
// handled, dropped or refused with an exception; never a crash, an over-read or an unbounded allocation. The
// application loop runs on its own thread, as it does in the program, since the display configuration waits
// for it.
#include "app/red_client.h"
#include "runtime/exception.h"
#include "runtime/log.h"

#include <cstdint>
#include <cstring>
#include <thread>

namespace {

class QuietListener : public RedClient::Listener {
public:
    void on_connected() override {}
    void on_disconnected(int) override {}
    void on_mouse_mode_changed(uint32_t) override {}
    void on_connect_failed() override {}
    bool query_monitors(std::vector<RedClient::AgentMonitor>* monitors) override {
        monitors->push_back({32, 1920, 1080, 0, 0, 0, 0});
        monitors->push_back({32, 1280, 1024, -1280, 0, 1280, 1024});
        return true;
    }
    std::vector<RedClient::DisplayMode> display_modes() override { return {{1024, 768}, {1920, 1080}}; }
};

struct Setup {
    Setup() : loop(nullptr), client(loop, listener) {
        log_set_threshold(4);
        loop_thread = std::thread([this] { loop.run(); });
    }
    ProcessLoop loop;
    QuietListener listener;
    RedClient client;
    std::thread loop_thread;  // runs until the process ends
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup* setup = new Setup();
    if (size < 1) {
        return 0;
    }
    // The first byte: the size of each server message (1 to 256 bytes).
    size_t piece = size_t(data[0]) + 1;
    data++;
    size--;
    try {
        for (size_t at = 0; at < size; at += piece) {
            size_t n = std::min(piece, size - at);
            setup->client.handle_agent_stream(data + at, uint32_t(n));
        }
    } catch (Exception&) {
    }
    // Each input starts a new stream, as a new connection would.
    setup->client.reset_agent_stream();
    setup->client.clear_outgoing_messages();
    return 0;
}
