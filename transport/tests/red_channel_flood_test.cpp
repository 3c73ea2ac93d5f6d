// A server that floods a channel with small pings, reading the pongs as they come or only once it can send no
// more. The channel must answer every ping in order and stay connected, and its memory must stay bounded: its
// outgoing queue is bounded and it stops reading while the queue is full, so TCP slows the server down. The
// peak resident size is the process's own high-water mark, which is why these tests have a program of their
// own.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/session_block.h"
#include "support/channel_test_support.h"
#include "support/fake_spice_server.h"
#include "winapi/windows.h"

using namespace channel_test;
using namespace fake_spice;

namespace {

const uint32_t kPingsPerBatch = 4096;
#if defined(__SANITIZE_ADDRESS__)
#define FLOOD_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FLOOD_UNDER_ASAN 1
#endif
#endif
#ifdef FLOOD_UNDER_ASAN
// AddressSanitizer keeps freed blocks in a quarantine (256 MB by default) that the peak resident size would
// count; a small one keeps the measure about the channel. A quarter of the pings still floods an unbounded
// channel past a gigabyte, at a quarter of the time.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=4";
}
const uint32_t kPings = 64 * kPingsPerBatch;
#else
// 18 MB of pings: their pongs are more than the socket buffers hold while the server does not read them.
const uint32_t kPings = 256 * kPingsPerBatch;
#endif
const size_t kPingSize = 6 + 12;  // header, id, time stamp; a pong has the same size
const long kPeakGrowthLimitKb = 64 * 1024;
// The flood stops early past this growth, so that a channel without bounds cannot take the machine down.
const long kSafetyStopKb = 1024 * 1024;
// The server side decides that the client stopped reading when nothing went out for this long.
const uint32_t kStalledMs = 2000;

long peak_rss_kb() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::vector<uint8_t> ping_batch(uint32_t first, uint32_t count) {
    std::vector<uint8_t> out;
    out.reserve(count * kPingSize);
    for (uint32_t id = first; id < first + count; id++) {
        put16(out, SPICE_MSG_PING);
        put32(out, 12);
        put32(out, id);
        put64(out, 0x1000000000ull + id);
    }
    return out;
}

class ChannelFloodTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);
        client.port = server.port();
    }
    void TearDown() override {
        if (channel) {
            EXPECT_TRUE(channel->abort_within());
        }
        SessionBlock::clear();
    }

    Server server;
    TestClient client;
    std::unique_ptr<TestChannel> channel;
};

TEST_P(ChannelFloodTest, EveryPingAnsweredInOrderWithBoundedMemory) {
    const bool reads_while_sending = GetParam();
    long baseline_kb = peak_rss_kb();
    channel.reset(new TestChannel(client));
    client.main_channel = channel.get();
    channel->start();
    channel->connect();
    std::unique_ptr<Connection> conn = server.accept();
    ASSERT_TRUE(conn);
    ASSERT_TRUE(conn->accept_link());
    ASSERT_TRUE(channel->wait_state(RedChannel::CONNECTED));

    std::atomic<uint32_t> sent(0);
    std::atomic<bool> stop(false);
    std::atomic<long> stopped_at_kb(0);
    std::thread sender([&] {
        for (uint32_t first = 0; first < kPings && !stop; first += kPingsPerBatch) {
            long peak = peak_rss_kb();
            if (peak - baseline_kb > kSafetyStopKb) {
                stopped_at_kb = peak;
                break;
            }
            if (!conn->send_all(ping_batch(first, kPingsPerBatch))) {
                break;
            }
            sent = first + kPingsPerBatch;
        }
        stop = true;
    });

    if (!reads_while_sending) {
        // Bounded: the flood either ends or stops moving once the channel no longer reads.
        uint32_t last = 0;
        DWORD last_change = GetTickCount();
        while (!stop && GetTickCount() - last_change < kStalledMs) {
            Sleep(50);
            if (sent != last) {
                last = sent;
                last_change = GetTickCount();
            }
        }
    }

    uint32_t sent_before_reading = sent;

    // The pongs, read in bulk and checked one by one; the sender ends once the channel answers again.
    std::vector<uint8_t> chunk(kPingSize * kPingsPerBatch);
    uint32_t answered = 0;
    bool in_order = true;
    while (answered < kPings) {
        if (stop && answered >= sent) {
            break;
        }
        uint32_t count = std::min<uint32_t>(kPingsPerBatch, (stop ? sent.load() : kPings) - answered);
        if (!conn->recv_exact(chunk.data(), count * kPingSize)) {
            break;
        }
        for (uint32_t i = 0; i < count && in_order; i++) {
            const uint8_t* pong = chunk.data() + i * kPingSize;
            in_order = get16(pong) == SPICE_MSGC_PONG && get32(pong + 2) == 12 &&
                       get32(pong + 6) == answered + i && get64(pong + 10) == 0x1000000000ull + answered + i;
        }
        if (!in_order) {
            break;
        }
        answered += count;
    }
    int disconnects = client.disconnects();
    stop = true;
    conn->close();  // unblocks a sender still waiting for room
    sender.join();

    long peak_growth_kb = peak_rss_kb() - baseline_kb;
    std::printf("flood (%s): %u of %u pings answered (%u sent before reading), peak RSS growth %ld MB\n",
                reads_while_sending ? "server reads while sending" : "server reads after the flood", answered,
                kPings, sent_before_reading, peak_growth_kb / 1024);
    EXPECT_EQ(0, stopped_at_kb.load())
        << "the flood was stopped at a peak of " << stopped_at_kb / 1024 << " MB";
    EXPECT_TRUE(in_order) << "pong " << answered << " is not the answer to ping " << answered;
    EXPECT_EQ(kPings, answered);
    EXPECT_LT(peak_growth_kb, kPeakGrowthLimitKb);
    EXPECT_EQ(0, disconnects) << "a flood the server itself slows down does not end the session";
}

INSTANTIATE_TEST_SUITE_P(Flood, ChannelFloodTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("ServerReadsWhileSending")
                                               : std::string("ServerReadsAfterTheFlood");
                         });

}  // namespace
