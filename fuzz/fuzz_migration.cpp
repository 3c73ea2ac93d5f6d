// Migration messages from a server through the main channel client's handlers: the input's first byte picks
// migrate begin, cancel, switch host or end, the rest is its body. The client has no connection, so a begin
// pre-connects no peer and nothing leaves the machine. Whatever arrives, a message starts, ends or refuses a
// migration; never a crash, an over-read, a hang or a list that grows with repeats.
#include "app/red_client.h"
#include "runtime/exception.h"
#include "runtime/log.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

class QuietListener : public RedClient::Listener {
public:
    void on_connected() override {}
    void on_disconnected(int) override {}
    void on_mouse_mode_changed(uint32_t) override {}
    void on_connect_failed() override {}
    void on_switch_host(const std::string& host, int, int, const std::string& subject) override {
        volatile size_t sizes = host.size() + subject.size();
        (void)sizes;
    }
};

struct Setup {
    Setup() : loop(nullptr), client(loop, listener), handler(RedClient::create_message_handler(client)) {
        log_set_threshold(4);
    }
    ProcessLoop loop;
    QuietListener listener;
    RedClient client;
    std::unique_ptr<RedChannel::MessageHandler> handler;
};

const uint16_t kTypes[] = {SPICE_MSG_MAIN_MIGRATE_BEGIN, SPICE_MSG_MAIN_MIGRATE_CANCEL,
                           SPICE_MSG_MAIN_MIGRATE_SWITCH_HOST, SPICE_MSG_MAIN_MIGRATE_END};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup* setup = new Setup();
    if (size < 1) {
        return 0;
    }
    uint16_t type = kTypes[data[0] & 3];
    RedPeer::CompoundInMessage* message = new RedPeer::CompoundInMessage(uint32_t(size - 1), type);
    if (size > 1) {
        memcpy(message->data(), data + 1, size - 1);
    }
    try {
        setup->handler->handle_message(*message);
    } catch (Exception&) {
    }
    message->unref();
    setup->loop.run_queued_events();
    setup->client.clear_outgoing_messages();
    return 0;
}
