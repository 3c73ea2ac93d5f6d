// Channel factories that record what the main channel client makes of a channel list, and the channels they
// make: real RedChannels (with worker threads) whose connect is only recorded unless the test asks for a real
// one.
#pragma once

#include "runtime/threads.h"
#include "transport/channel/channel_factory.h"
#include "transport/channel/red_channel.h"

#include <functional>
#include <string>
#include <vector>

namespace app_test {

class RecordingFactory;

// What the factories made, in order, shared by the factories of one test.
class Journal {
public:
    struct Created {
        uint8_t type;
        uint8_t id;
        bool connected;
    };

    void add(uint8_t type, uint8_t id);
    void mark_connected(uint8_t type, uint8_t id);
    std::vector<Created> created();
    // "type:id" of each creation in order, with "+" for a channel given the connect action.
    std::string summary();

private:
    Mutex _lock;
    std::vector<Created> _created;
};

class FakeChannel : public RedChannel {
public:
    FakeChannel(ChannelClient& client, uint8_t type, uint8_t id, RecordingFactory& factory);

    void connect() override;

protected:
    void on_connecting() override;

private:
    RecordingFactory& _factory;
};

class RecordingFactory : public ChannelFactory {
public:
    RecordingFactory(uint8_t type, Journal& journal) : ChannelFactory(type), journal(journal) {}

    RedChannel* create(ChannelClient& client, uint8_t id) override;

    Journal& journal;
    // When set, connect gives the channel the real connect action.
    bool real_connect = false;
    // Runs on the channel's worker when a real connect starts.
    std::function<void()> on_connecting;
};

}  // namespace app_test
