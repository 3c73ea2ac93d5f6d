// Outgoing channel messages: the interface of what a channel's queue holds, and Message, the plain kind that
// is built, queued, sent once and deleted.
#pragma once

#include "transport/connection/red_peer.h"

// RedChannel::OutMessage: what the channel's outgoing queue holds. release is called once, after the message
// was sent or dropped.
class RedChannelOutMessage {
public:
    virtual ~RedChannelOutMessage() {}
    virtual RedPeer::OutMessage& peer_message() = 0;
    virtual void release() = 0;
};

// A client message of the given type; release deletes it.
class Message : public RedChannelOutMessage, public RedPeer::OutMessage {
public:
    explicit Message(uint32_t type) : RedPeer::OutMessage(type) {}

    RedPeer::OutMessage& peer_message() override { return *this; }
    void release() override { delete this; }
};
