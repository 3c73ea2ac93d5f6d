// RecordChannel: while the server records, the default microphone is captured and sent in frames, raw 16-bit
// stereo PCM or CELT 0.5.1 where the session allows lossy recording and the server takes it. The channel is
// its recorder's record client: the recorder's trigger runs in the channel's loop, so capture, encoding and
// posting all happen on the channel's worker thread. Four data messages are made once and reused; a frame
// that finds all four waiting to be sent is dropped.
//
// States (the handlers of start and stop): idle (start) -> recording (stop) -> stopped (start) -> ... A
// message whose handler is not installed (a second start, a stop while idle) is ignored.
#pragma once

#include "devices/snd_codec.h"
#include "platform/platform.h"
#include "runtime/threads.h"
#include "transport/channel/channel_factory.h"
#include "transport/channel/message.h"
#include "transport/channel/message_handler.h"
#include "transport/channel/red_channel.h"

#include <cstdint>
#include <list>
#include <memory>

enum {
    SPICE_RECORD_CAP_CELT_0_5_1 = 0,
    SPICE_RECORD_CAP_VOLUME = 1,
    SPICE_RECORD_CAP_OPUS = 2,
    SPICE_RECORD_CAP_COMPRESS = 3,  // the maker's: lossy recording
};

enum {
    SPICE_MSGC_RECORD_DATA = 101,
    SPICE_MSGC_RECORD_MODE = 102,
    SPICE_MSGC_RECORD_START_MARK = 103,
};

class RecordChannel;

// A data message of the channel's pool: released back to it once sent or dropped from the queue.
class RecordSamplesMessage : public RedChannel::OutMessage, public RedPeer::OutMessage {
public:
    explicit RecordSamplesMessage(RecordChannel& channel);
    RedPeer::OutMessage& peer_message() override { return *this; }
    void release() override;

private:
    RecordChannel& _channel;
};

class RecordChannel : public RedChannel, public Platform::RecordClient {
public:
    typedef MessageHandlerImp<RecordChannel, SPICE_CHANNEL_RECORD> Handler;
    static constexpr int POOL_SIZE = 4;

    RecordChannel(ChannelClient& client, uint8_t id);
    ~RecordChannel() override;

    bool abort() override;

    void handle_start(const SpiceMsgRecordStart& start);
    void handle_stop();

    // Platform::RecordClient, on the channel's thread.
    void add_event_source(EventSources::Trigger& trigger) override;
    void remove_event_source(EventSources::Trigger& trigger) override;
    void push_frame(const uint8_t* frame, uint32_t size) override;

    void release_message(RecordSamplesMessage* message);

protected:
    void on_link_reponse() override;
    // Ends capturing and returns the handlers to the idle state for the next connection.
    void on_disconnect() override;
    // The capture device; Platform::create_recorder unless a test gives its own.
    virtual WaveRecordAbstract* create_recorder(uint32_t samples_per_sec, uint32_t channels,
                                                uint32_t frame_samples);

private:
    RecordChannel(ChannelClient& client, uint8_t id, Handler* handler);

    void select_mode();
    void set_celt_quality();
    void send_mode();
    void send_start_mark();
    RecordSamplesMessage* get_message();
    void clear();

    Handler& _handler;
    std::unique_ptr<WaveRecordAbstract> _recorder;
    Mutex _pool_lock;
    std::list<RecordSamplesMessage*> _pool;
    uint32_t _mode;
    SndCodec* _codec;
    uint32_t _frame_bytes;
    uint8_t _compressed[SND_CODEC_CELT_MAX_COMPRESSED];
    uint32_t _lossy;
};

class RecordFactory : public ChannelFactory {
public:
    RecordFactory() : ChannelFactory(SPICE_CHANNEL_RECORD) {}
    RedChannel* create(ChannelClient& client, uint8_t id) override { return new RecordChannel(client, id); }
};
