// RedChannel: the base of every SPICE channel of the client. Each channel owns one worker thread running its
// own ProcessLoop and a small state machine driven by the actions other threads ask for (connect, disconnect,
// quit): on connect the worker opens and links the connection, picks the marshallers, arms the heartbeat,
// puts the socket into its loop and runs the loop until the connection ends; then it closes the connection
// and reports to the main channel client. Inside the loop it frames messages both ways, sends the outgoing
// queue that any thread may feed, dispatches received messages to the channel's handler and answers the
// messages common to every channel (acknowledgement window, ping, notify, disconnecting, wait-for-channels,
// migration).
#pragma once

#include "runtime/process_loop.h"
#include "runtime/threads.h"
#include "transport/channel/channel_client.h"
#include "transport/protocol/client_marshallers.h"
#include "transport/channel/message.h"
#include "transport/channel/red_channel_base.h"
#include "transport/protocol/server_messages.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>

// Client messages of the range common to every channel.
enum {
    SPICE_MSGC_ACK_SYNC = 1,
    SPICE_MSGC_ACK = 2,
    SPICE_MSGC_PONG = 3,
    SPICE_MSGC_MIGRATE_FLUSH_MARK = 4,
    SPICE_MSGC_MIGRATE_DATA = 5,
    SPICE_MSGC_HEARTBEAT = 8,  // the maker's; empty
};

enum {
    SPICE_MIGRATE_NEED_FLUSH = 1,
    SPICE_MIGRATE_NEED_DATA_TRANSFER = 2,
};

class RedChannel : public RedChannelBase {
public:
    enum State {
        NEW = 0,
        DISCONNECTED = 1,
        CONNECTING = 2,
        CONNECTED = 3,
        TERMINATED = 4,
    };

    enum Action {
        NONE = 0,
        CONNECT = 1,
        DISCONNECT = 2,
        QUIT = 3,
    };

    typedef RedChannelOutMessage OutMessage;

    // The outgoing queue's bound, in bytes: each queued message counts its size and OUTGOING_MESSAGE_COST.
    static const size_t OUTGOING_LIMIT = 4u << 20;
    static const size_t OUTGOING_RESUME = OUTGOING_LIMIT / 2;
    static const size_t OUTGOING_MESSAGE_COST = 512;

    class MessageHandler {
    public:
        virtual ~MessageHandler() {}
        virtual void handle_message(RedPeer::CompoundInMessage& message) = 0;
    };

    // The handler is owned from here on. worker_priority: 1 (highest) to 7 (lowest).
    RedChannel(ChannelClient& client, uint8_t type, uint8_t id, MessageHandler* handler,
               int worker_priority = 4);
    // The owner aborts the channel (until abort returns true) before deleting it.
    ~RedChannel() override;

    // Starts the worker and returns once it waits for actions. Throws when the thread cannot be created.
    void start();

    // Any thread.
    virtual void connect();     // states 0 and 1 only
    virtual void disconnect();  // states 2 and 3 only; empties the outgoing queue
    // Ends the worker: false when it has not terminated within 100 ms (the caller repeats); true once it has
    // been joined, or when it never started.
    virtual bool abort();
    virtual void disconnect_migration_src();
    virtual void connect_migration_target();
    virtual int get_state() { return _state; }
    // Queues the message (owned by the queue until sent or dropped) and wakes the worker. Any state: the
    // message waits until the channel is connected or the queue is emptied. Never refused: the queue's bound
    // is kept by the worker, which stops reading from the server while the queue holds OUTGOING_LIMIT bytes
    // or more and reads again once it is down to OUTGOING_RESUME (TCP then slows the server down).
    virtual void post_message(OutMessage* message);
    void clear_outgoing_messages();

    // The code of the last connection's end; read by the client when the channel reports its disconnection.
    int get_error() const { return _error; }
    uint64_t get_disconnect_stamp() const { return _disconnect_stamp; }
    uint32_t get_disconnect_reason() const { return _disconnect_reason; }
    ChannelClient& get_client() { return _client; }
    ProcessLoop& get_process_loop() { return _loop; }
    // The table chosen at the last connect; worker thread.
    const SpiceMessageMarshallers* get_marshallers() const { return _marshallers; }

    // The socket is signalled (and the first pass after connecting): finish and send outgoing messages, then
    // read and dispatch every complete message until the socket would block.
    void on_event() override;
    // Blocking read of one whole message (the socket outside the loop), counted for acknowledgement.
    RedPeer::CompoundInMessage* receive_message() override;

    // Common message handlers; the channel classes register the ones they take.
    void handle_migrate(const SpiceMsgMigrate& migrate);
    void handle_set_ack(const SpiceMsgSetAck& ack);
    void handle_ping(const SpiceMsgPing& ping);
    void handle_wait_for_channels(const SpiceMsgWaitForChannels& wait);
    void handle_disconnect(const SpiceMsgDisconnect& disconnect);
    void handle_notify(const SpiceMsgNotify& notify);
    // The main channel's pong (type 10): network delay and quality.
    void handle_pong(const SpiceMsgPing& pong);

    void OnHeartBeat();

    // The acknowledgement window: once per received message.
    void on_message_received();
    // Advances and publishes the count of handled messages.
    void on_message_complete();

protected:
    virtual void on_connecting() {}
    virtual void on_connect() {}
    virtual void on_disconnect() {}
    virtual void on_migrate() {}
    virtual void on_disconnect_mig_src() { on_disconnect(); }
    virtual void on_connect_mig_target() { on_connect(); }
    // Reads the next message's header from the socket, over as many calls as the socket needs: the message
    // with its body still to be read once the header is complete, null before. The 6-byte mini header here;
    // a channel with its own framing keeps its partial header itself and drops it when it connects.
    virtual RedPeer::CompoundInMessage* receive_header();

private:
    class SendTrigger : public EventSources::Trigger {
    public:
        explicit SendTrigger(RedChannel& channel) : _channel(channel) {}
        void on_event() override;

    private:
        RedChannel& _channel;
    };

    class AbortTrigger : public EventSources::Trigger {
    public:
        void on_event() override;
    };

    class HeartBeatTimer : public Timer {
    public:
        explicit HeartBeatTimer(RedChannel* channel) : _channel(channel) {}
        void response(AbstractProcessLoop& events_loop) override;

    private:
        RedChannel* _channel;
    };

    class MigrationDisconnectSrcEvent;
    class MigrationConnectTargetEvent;

    static void* worker_main(void* arg);
    void run();
    void run_connection();
    void end_connection();
    void set_state(int state);
    void set_marshallers();
    void drain_tunnel();

    void send_messages();
    void send_messages_resume();
    // The send trigger: sends, and reads again when reading waited for the queue to drain.
    void send_and_resume_receive();
    // True while reading waits for the queue to drain (worker thread).
    bool receive_paused();
    // Sends a whole message with the socket outside the loop (migration).
    void send_blocking(RedPeer::OutMessage& message);
    void finish_outgoing_blocking();
    void receive_messages();
    void complete_message(RedPeer::CompoundInMessage* message);
    void release_partial_messages();

    void do_migration_disconnect_src();
    void do_migration_connect_target();

    const SpiceMessageMarshallers* _marshallers;  // worker thread
    ProcessLoop _loop;
    ChannelClient& _client;

    std::atomic<int> _state;  // changed by the worker under _state_lock, with a broadcast of _state_condition
    int _action;              // guarded by _action_lock
    std::atomic<int> _error;  // written by the worker at each connection's end
    bool _thread_joinable;    // guarded by _action_lock
    bool _socket_in_loop;     // worker thread
    std::unique_ptr<Thread> _worker;
    int _worker_priority;
    std::unique_ptr<MessageHandler> _message_handler;

    Mutex _state_lock;
    Condition _state_condition;
    Mutex _action_lock;
    Condition _action_condition;

    ChannelClient::SyncInfo _sync_info;  // set by the worker at each connect
    uint64_t _message_serial;            // worker thread

    // The queue is shared (guarded by _outgoing_lock); the partial positions belong to the worker.
    Mutex _outgoing_lock;
    std::list<OutMessage*> _outgoing_messages;
    size_t _outgoing_bytes;  // what the queued messages count against OUTGOING_LIMIT
    bool _receive_paused;    // worker thread
    OutMessage* _outgoing_message;
    uint32_t _outgoing_pos;
    uint8_t _incoming_header[sizeof(SpiceMiniDataHeader)];
    uint32_t _incoming_header_pos;
    RedPeer::CompoundInMessage* _incoming_message;
    uint32_t _incoming_message_pos;

    uint32_t _message_ack_count;   // worker thread
    uint32_t _message_ack_window;  // worker thread

    SendTrigger _send_trigger;
    AbortTrigger _abort_trigger;

    uint64_t _disconnect_stamp;  // worker thread
    uint32_t _disconnect_reason;
    HeartBeatTimer* _heart_beat_timer;  // one reference held here
    bool _heart_beat_armed;             // worker thread
};
