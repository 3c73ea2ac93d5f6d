#include "support/fake_channels.h"

namespace app_test {

namespace {

class IgnoringHandler : public RedChannel::MessageHandler {
public:
    void handle_message(RedPeer::CompoundInMessage& message) override {}
};

}  // namespace

FakeChannel::FakeChannel(ChannelClient& client, uint8_t type, uint8_t id, RecordingFactory& factory)
    : RedChannel(client, type, id, new IgnoringHandler()), _factory(factory) {}

void FakeChannel::connect() {
    _factory.journal.mark_connected(get_type(), get_id());
    if (_factory.real_connect) {
        RedChannel::connect();
    }
}

void FakeChannel::on_connecting() {
    if (_factory.on_connecting) {
        _factory.on_connecting();
    }
}

RedChannel* RecordingFactory::create(ChannelClient& client, uint8_t id) {
    journal.add(type(), id);
    return new FakeChannel(client, type(), id, *this);
}

void Journal::add(uint8_t type, uint8_t id) {
    Lock lock(_lock);
    _created.push_back(Created{type, id, false});
}

void Journal::mark_connected(uint8_t type, uint8_t id) {
    Lock lock(_lock);
    for (auto it = _created.rbegin(); it != _created.rend(); ++it) {
        if (it->type == type && it->id == id) {
            it->connected = true;
            return;
        }
    }
}

std::vector<Journal::Created> Journal::created() {
    Lock lock(_lock);
    return _created;
}

std::string Journal::summary() {
    std::string text;
    for (const Created& c : created()) {
        text += (text.empty() ? "" : " ") + std::to_string(c.type) + ":" + std::to_string(c.id) +
                (c.connected ? "+" : "");
    }
    return text;
}

}  // namespace app_test
