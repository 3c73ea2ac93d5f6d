// Video streams from a real server: the real KTWSession program on a private X server against QEMU's SPICE
// server with streaming-video=all, running the motion guest (a 160x120 block animated 50 times a second,
// 320x240 on QEMU's doubled screen). The server sends the block as MJPEG streams; the program must create
// them, draw their frames (its log counts them per stream), and the window's block must move. A key freezes
// the guest on its last frame: the server ends its streams and the window must then come within a stated
// PSNR of QEMU's screendump over the block and equal it everywhere else. QEMU and the program are stopped by
// their process ids, also when the test fails.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "program/tests/support/session_process.h"
#include "qemu_peer.h"
#include "winapi/tests/support/peer_programs.h"
#include "winapi/tests/support/xvfb_server.h"

namespace {

namespace fs = std::filesystem;
using namespace session_process;

const int kScreenWidth = 640;
const int kScreenHeight = 400;
// The moving block on QEMU's screen.
const Area kBlock = {128, 80, 320, 240};
// The still block after the streams: the lowest peak signal-to-noise ratio accepted, in dB (MJPEG is lossy;
// the server may also repaint the area losslessly once its streams end).
const double kStillMinPsnr = 30.0;

struct StreamLog {
    int created = 0;
    int ended = 0;
    long drawn = 0;  // frames drawn by the streams that ended
};

StreamLog read_stream_log(const std::string& log) {
    StreamLog result;
    static const std::regex created("stream [0-9]+: [0-9]+x[0-9]+ MJPEG");
    static const std::regex ended("stream [0-9]+ ended: [0-9]+ frames received, ([0-9]+) drawn");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), created); it != std::sregex_iterator();
         ++it) {
        result.created++;
    }
    for (auto it = std::sregex_iterator(log.begin(), log.end(), ended); it != std::sregex_iterator(); ++it) {
        result.ended++;
        result.drawn += std::stol((*it)[1]);
    }
    return result;
}

std::vector<uint32_t> block_of(const std::vector<uint32_t>& pixels) {
    std::vector<uint32_t> block;
    for (int y = kBlock.y; y < kBlock.y + kBlock.height; y++) {
        for (int x = kBlock.x; x < kBlock.x + kBlock.width; x++) {
            block.push_back(pixels[size_t(y) * kScreenWidth + x]);
        }
    }
    return block;
}

class StreamQemuTest : public testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_PROGRAM("qemu-system-x86_64");
        KTW_REQUIRE_XVFB();
        home = fs::temp_directory_path() / ("ktw_stream_qemu_" + std::to_string(getpid()));
        fs::create_directories(home / "run");
        fs::permissions(home / "run", fs::perms::owner_all);
        display = XOpenDisplay(test_support::xvfb_display().c_str());
        ASSERT_NE(nullptr, display);
    }
    void TearDown() override {
        if (display) {
            XCloseDisplay(display);
        }
        qemu.stop();
        std::error_code ignored;
        fs::remove_all(home, ignored);
    }

    // The session window's pixels at the guest screen's size; empty while there is none.
    std::vector<uint32_t> window() {
        Window window = find_session_window(display);
        return window ? window_pixels(display, window, kScreenWidth, kScreenHeight) : std::vector<uint32_t>();
    }

    fs::path home;
    Display* display = nullptr;
    qemu_peer::Qemu qemu;
};

TEST_F(StreamQemuTest, SessionWindowPlaysTheGuestsVideoStreams) {
    ASSERT_TRUE(
        qemu.start("disable-ticketing=on,streaming-video=all",
                   "-drive file=" + qemu_peer::motion_guest_image() + ",format=raw,if=floppy,readonly=on"))
        << qemu.output();
    Session session(home.string(), qemu.port);

    // Streams begin once the server has seen the block change for a while; then the window's block moves.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(12);
    StreamLog streams;
    while (streams.created == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(session.running()) << "the session ended";
        streams = read_stream_log(session.log());
    }
    ASSERT_GT(streams.created, 0) << "no stream was created; the log:\n" << session.log();
    std::vector<uint32_t> first, moved;
    while ((first.empty() || moved.empty() || block_of(first) == block_of(moved)) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        first = moved;
        moved = window();
    }
    ASSERT_FALSE(moved.empty()) << "no session window of the guest's size appeared";
    ASSERT_FALSE(first.empty());
    EXPECT_NE(block_of(first), block_of(moved)) << "the streamed block did not move in the window";

    // Frozen: the server ends the streams; the window settles on the guest's last frame.
    ASSERT_TRUE(qemu.send_key({"spc"}));
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    Comparison block, outside;
    bool compared = false;
    bool settled = false;
    while (!settled && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_TRUE(session.running()) << "the session ended";
        streams = read_stream_log(session.log());
        qemu_peer::Screen screen;
        std::vector<uint32_t> pixels = window();
        if (!qemu.screendump(screen) || screen.width != kScreenWidth || screen.height != kScreenHeight ||
            pixels.empty()) {
            continue;
        }
        block = compare(screen, pixels, kBlock);
        // Outside the block: the rows above and below it, and the columns beside it.
        Comparison above = compare(screen, pixels, {0, 0, kScreenWidth, kBlock.y});
        Comparison below =
            compare(screen, pixels,
                    {0, kBlock.y + kBlock.height, kScreenWidth, kScreenHeight - kBlock.y - kBlock.height});
        Comparison left = compare(screen, pixels, {0, kBlock.y, kBlock.x, kBlock.height});
        Comparison right = compare(
            screen, pixels,
            {kBlock.x + kBlock.width, kBlock.y, kScreenWidth - kBlock.x - kBlock.width, kBlock.height});
        outside.differing = above.differing + below.differing + left.differing + right.differing;
        compared = true;
        settled = streams.ended >= streams.created && block.psnr >= kStillMinPsnr && outside.differing == 0;
    }
    ASSERT_TRUE(compared) << "no screendump of the guest's size";
    EXPECT_EQ(streams.created, streams.ended) << "streams still open after the guest froze";
    EXPECT_GT(streams.drawn, 0) << "the streams drew no frame; the log:\n" << session.log();
    EXPECT_GE(block.psnr, kStillMinPsnr);
    EXPECT_EQ(0u, outside.differing) << "pixels outside the block differing from the screendump";
    printf("%d streams, %ld frames drawn; still block: PSNR %.1f dB, %zu pixels differ\n", streams.created,
           streams.drawn, block.psnr, block.differing);
}

}  // namespace
