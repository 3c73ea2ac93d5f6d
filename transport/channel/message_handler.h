// MessageHandlerImp: the message handler of one channel class. It parses each received message with the parser of
// the channel's type and generation and calls the member function registered for the message type. SPICE_MSG_LIST
// is split here into its sub-messages, each parsed and dispatched the same way.
//
// Worker thread of the channel only.
#pragma once

#include "runtime/exception.h"
#include "runtime/log.h"
#include "transport/protocol/message_list.h"
#include "transport/channel/red_channel.h"
#include "transport/protocol/server_messages.h"

#include <cstdint>
#include <vector>

template <class Channel, uint8_t channel_type>
class MessageHandlerImp : public RedChannel::MessageHandler {
public:
    typedef void (Channel::*Handler)(RedPeer::InMessage* message);

    explicit MessageHandlerImp(Channel& channel)
        : _channel(channel)
        , _max_messages(max_message_type())
        , _handlers(size_t(_max_messages) + 1, nullptr)
    {
    }

    // A type above the channel's highest message type throws Exception "bad handler id".
    void set_handler(unsigned int id, Handler handler)
    {
        if (id > _max_messages) {
            THROW("bad handler id");
        }
        _handlers[id] = handler;
    }

    void handle_message(RedPeer::CompoundInMessage& message) override
    {
        spice_parse_channel_func_t parser = channel_parser();
        uint16_t type = message.type();
        uint8_t* data = message.data();
        uint8_t* end = data + message.size();
        if (type == SPICE_MSG_LIST) {
            handle_list(parser, data, end);
            return;
        }
        size_t size;
        message_destructor_t free_message;
        uint8_t* parsed = parser(data, end, type, _channel.get_peer_minor(), &size, &free_message);
        if (!parsed) {
            THROW("failed to parse message channel %d type %d", channel_type, type);
        }
        ParsedMessage hold(parsed, free_message);
        dispatch(type, parsed, size);
    }

private:
    // Frees a parsed block also when its handler throws.
    struct ParsedMessage {
        ParsedMessage(uint8_t* data, message_destructor_t free_message) : data(data), free_message(free_message) {}
        ~ParsedMessage() { free_message(data); }
        uint8_t* data;
        message_destructor_t free_message;
    };

    static uint16_t max_message_type()
    {
        const SpiceChannelParser* entry = spice_get_server_channel_parser(channel_type, 2);
        return entry ? entry->max_message_type : 0;
    }

    // Looked up per message (an array index) so that a connection to a server of the other generation, after a
    // migration, is parsed with that generation's tables.
    spice_parse_channel_func_t channel_parser()
    {
        const SpiceChannelParser* entry = spice_get_server_channel_parser(channel_type, _channel.get_peer_major());
        if (!entry || !entry->parser) {
            THROW("no parser for channel %d", channel_type);
        }
        return entry->parser;
    }

    // The list comes from the server: every offset and sub-message header is checked against the body before any
    // sub-message is handled, so a bad list is refused whole.
    void handle_list(spice_parse_channel_func_t parser, uint8_t* data, uint8_t* end)
    {
        SpiceMessageList list(data, end);
        if (!list.valid()) {
            THROW("bad message list");
        }
        std::vector<SpiceSubMessage> subs(list.count());
        for (uint16_t i = 0; i < list.count(); i++) {
            if (!list.get(i, &subs[i])) {
                THROW("bad message list entry %u", i);
            }
        }
        for (const SpiceSubMessage& sub : subs) {
            size_t size;
            message_destructor_t free_message;
            uint8_t* parsed = parser(sub.data, sub.end, sub.type, _channel.get_peer_minor(), &size, &free_message);
            if (!parsed) {
                THROW("failed to parse message type %d", sub.type);
            }
            ParsedMessage hold(parsed, free_message);
            dispatch(sub.type, parsed, size);
        }
    }

    void dispatch(uint16_t type, uint8_t* parsed, size_t size)
    {
        Handler handler = type <= _max_messages ? _handlers[type] : nullptr;
        if (!handler) {
            LOG_DEBUG("channel %d: no handler for message type %u, ignored", channel_type, type);
            return;
        }
        RedPeer::InMessage view(type, uint32_t(size), parsed);
        (_channel.*handler)(&view);
    }

    Channel& _channel;
    uint16_t _max_messages;
    std::vector<Handler> _handlers;
};
