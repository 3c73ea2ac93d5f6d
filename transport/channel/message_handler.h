// MessageHandlerImp: the message handler of one channel class. It parses each received message with the
// parser of the channel's type and generation and calls the member function registered for the message type
// with the parsed structure of that type (message_types.h). SPICE_MSG_LIST is split here into its
// sub-messages, each parsed and dispatched the same way. The parser has checked every length and count of the
// structure before a handler sees it.
//
// Worker thread of the channel only.
#pragma once

#include "runtime/exception.h"
#include "runtime/log.h"
#include "transport/protocol/message_list.h"
#include "transport/channel/message_types.h"
#include "transport/channel/red_channel.h"
#include "transport/protocol/server_messages.h"

#include <cstdint>
#include <functional>
#include <type_traits>
#include <vector>

template <class Channel, uint8_t channel_type>
class MessageHandlerImp : public RedChannel::MessageHandler {
public:
    // The parsed structure of message type id on this channel (void: the channel has no such message).
    template <uint16_t id>
    using Message = typename ServerMessage<channel_type, id>::Type;

    explicit MessageHandlerImp(Channel& channel)
        : _channel(channel), _max_messages(max_message_type()), _handlers(size_t(_max_messages) + 1) {}

    // Registers the handler of message type id, a member function of the channel (or of a base) that takes
    // the type's parsed structure: void handle_x(const Message<id>& message), where a raw message's structure
    // is SpiceRawBody; an empty message's handler takes no argument. A type the channel does not have, or a
    // handler of another structure, does not compile. A type above the channel's highest message type throws
    // Exception "bad handler id".
    template <uint16_t id, class Handler>
    void set_handler(Handler handler) {
        typedef Message<id> M;
        static_assert(!std::is_void<M>::value, "the channel has no message of this type");
        if (id > _max_messages) {
            THROW("bad handler id");
        }
        if constexpr (std::is_same<M, SpiceEmptyBody>::value) {
            static_assert(std::is_convertible<Handler, void (Channel::*)()>::value,
                          "the handler of an empty message takes no argument");
            void (Channel::*typed)() = handler;
            _handlers[id] = [typed](Channel& channel, uint8_t*, size_t) { (channel.*typed)(); };
        } else {
            static_assert(std::is_convertible<Handler, void (Channel::*)(const M&)>::value,
                          "the handler must take the parsed structure of its message type");
            void (Channel::*typed)(const M&) = handler;
            _handlers[id] = [typed](Channel& channel, uint8_t* parsed, size_t size) {
                (channel.*typed)(structure<M>(id, parsed, size));
            };
        }
    }

    // Removes the handler of message type id: the message is then ignored.
    void remove_handler(uint16_t id) {
        if (id <= _max_messages) {
            _handlers[id] = nullptr;
        }
    }

    // Calls the handler of a message that the channel parsed itself (its own framing or list forms); a type
    // without a handler is ignored.
    void dispatch_parsed(uint16_t type, uint8_t* parsed, size_t size) { dispatch(type, parsed, size); }

    void handle_message(RedPeer::CompoundInMessage& message) override {
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
    typedef std::function<void(Channel& channel, uint8_t* parsed, size_t size)> Dispatch;

    // A raw message's result is the body itself.
    template <class M, typename std::enable_if<std::is_same<M, SpiceRawBody>::value, int>::type = 0>
    static SpiceRawBody structure(uint16_t, uint8_t* parsed, size_t size) {
        return SpiceRawBody{parsed, uint32_t(size)};
    }

    // A parsed block starts with the structure message_types.h names for its type; the size is checked
    // anyway, so that a table out of step with a parser ends the channel rather than reading past the block.
    template <class M, typename std::enable_if<!std::is_same<M, SpiceRawBody>::value, int>::type = 0>
    static const M& structure(uint16_t id, uint8_t* parsed, size_t size) {
        if (size < sizeof(M)) {
            THROW("message type %u: parsed block of %zu bytes", id, size);
        }
        return *reinterpret_cast<const M*>(parsed);
    }

    // Frees a parsed block also when its handler throws.
    struct ParsedMessage {
        ParsedMessage(uint8_t* data, message_destructor_t free_message)
            : data(data), free_message(free_message) {}
        ~ParsedMessage() { free_message(data); }
        uint8_t* data;
        message_destructor_t free_message;
    };

    static uint16_t max_message_type() {
        const SpiceChannelParser* entry = spice_get_server_channel_parser(channel_type, 2);
        return entry ? entry->max_message_type : 0;
    }

    // Looked up per message (an array index) so that a connection to a server of the other generation, after
    // a migration, is parsed with that generation's tables.
    spice_parse_channel_func_t channel_parser() {
        const SpiceChannelParser* entry =
            spice_get_server_channel_parser(channel_type, _channel.get_peer_major());
        if (!entry || !entry->parser) {
            THROW("no parser for channel %d", channel_type);
        }
        return entry->parser;
    }

    // The list comes from the server: every offset and sub-message header is checked against the body before
    // any sub-message is handled, so a bad list is refused whole.
    void handle_list(spice_parse_channel_func_t parser, uint8_t* data, uint8_t* end) {
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
            uint8_t* parsed =
                parser(sub.data, sub.end, sub.type, _channel.get_peer_minor(), &size, &free_message);
            if (!parsed) {
                THROW("failed to parse message type %d", sub.type);
            }
            ParsedMessage hold(parsed, free_message);
            dispatch(sub.type, parsed, size);
        }
    }

    void dispatch(uint16_t type, uint8_t* parsed, size_t size) {
        if (type > _max_messages || !_handlers[type]) {
            LOG_DEBUG("channel %d: no handler for message type %u, ignored", channel_type, type);
            return;
        }
        _handlers[type](_channel, parsed, size);
    }

    Channel& _channel;
    uint16_t _max_messages;
    std::vector<Dispatch> _handlers;
};
