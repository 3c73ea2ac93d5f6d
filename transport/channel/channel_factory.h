// ChannelFactory: makes the channel of one SPICE channel type. One process-wide factory object per supported
// type lives with its channel class and is registered with the main channel client, which creates every
// channel the server lists through the factory of its type.
#pragma once

#include <cstdint>

class ChannelClient;
class RedChannel;

class ChannelFactory {
public:
    explicit ChannelFactory(uint8_t type) : _type(type) {}
    virtual ~ChannelFactory() {}

    ChannelFactory(const ChannelFactory&) = delete;
    ChannelFactory& operator=(const ChannelFactory&) = delete;

    uint8_t type() const { return _type; }
    // A new channel of this type with the given id, not yet started; the caller owns it.
    virtual RedChannel* create(ChannelClient& client, uint8_t id) = 0;

private:
    uint8_t _type;
};
