// The demo guest under QEMU: its picture is on the screen and the keys sent to the machine are echoed, read
// back through QMP's screendump. QEMU doubles the 320x200 mode to 640x400, so a character cell is 16x16
// pixels there.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <set>
#include <thread>

#include "qemu_peer.h"

namespace {

const uint32_t kBlack = 0x000000;
const uint32_t kWhite = 0xFFFFFF;
const uint32_t kYellow = 0xFFFF57;

// The colours of one character cell (text row, column).
std::set<uint32_t> cell(const qemu_peer::Screen& screen, int row, int column) {
    std::set<uint32_t> colours;
    for (int y = row * 16; y < row * 16 + 16; y++) {
        for (int x = column * 16; x < column * 16 + 16; x++) {
            colours.insert(screen.pixel(x, y));
        }
    }
    return colours;
}

// The lit pixels of one character cell: the glyph drawn there.
std::vector<bool> glyph(const qemu_peer::Screen& screen, int row, int column) {
    std::vector<bool> lit;
    for (int y = row * 16; y < row * 16 + 16; y++) {
        for (int x = column * 16; x < column * 16 + 16; x++) {
            lit.push_back(screen.pixel(x, y) != kBlack);
        }
    }
    return lit;
}

class DemoGuestTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qemu_peer::installed()) {
            if (std::getenv("CI")) {
                FAIL() << "qemu-system-x86_64 is not installed (tools/deps.sh installs it)";
            }
            GTEST_SKIP() << "qemu-system-x86_64 is not installed";
        }
        ASSERT_TRUE(qemu.start("disable-ticketing=on", "-drive file=" + qemu_peer::demo_guest_image() +
                                                           ",format=raw,if=floppy,readonly=on"))
            << qemu.output();
    }

    // Takes screendumps until the condition holds (the guest runs on an emulated CPU); 20 s at most.
    bool screen_until(const std::function<bool()>& condition) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (qemu.screendump(screen) && screen.width == 640 && screen.height == 400 && condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    bool type(const std::vector<std::vector<std::string>>& keys) {
        for (const auto& key : keys) {
            if (!qemu.send_key(key)) {
                return false;
            }
        }
        return true;
    }

    qemu_peer::Qemu qemu;
    qemu_peer::Screen screen;
};

TEST_F(DemoGuestTest, DrawsItsPicture) {
    ASSERT_TRUE(screen_until([&] { return cell(screen, 18, 1).count(kWhite); })) << qemu.output();
    // The first hue column in its three bands, the grey ramp's two ends, the title and the empty text box.
    EXPECT_EQ(screen.pixel(8, 8), 0x0000FFu);
    EXPECT_EQ(screen.pixel(8, 100), 0x7F7FFFu);
    EXPECT_EQ(screen.pixel(8, 200), 0xB7B7FFu);
    EXPECT_EQ(screen.pixel(8, 264), kBlack);
    EXPECT_NE(screen.pixel(630, 264), kBlack);
    EXPECT_NE(screen.pixel(8, 8), screen.pixel(632, 8));
    EXPECT_EQ(cell(screen, 18, 1), (std::set<uint32_t>{kBlack, kWhite}));
    EXPECT_EQ(cell(screen, 20, 0), std::set<uint32_t>{kBlack});
}

TEST_F(DemoGuestTest, EchoesTypedKeysWithEnterAndBackspace) {
    ASSERT_TRUE(screen_until([&] { return cell(screen, 18, 1).count(kWhite); })) << qemu.output();
    ASSERT_TRUE(type({{"h"}, {"shift", "i"}, {"x"}, {"backspace"}, {"ret"}, {"h"}}));
    ASSERT_TRUE(screen_until([&] { return cell(screen, 21, 0).count(kYellow); }));
    EXPECT_EQ(cell(screen, 20, 0), (std::set<uint32_t>{kBlack, kYellow}));
    EXPECT_EQ(cell(screen, 20, 1), (std::set<uint32_t>{kBlack, kYellow}));
    EXPECT_NE(glyph(screen, 20, 0), glyph(screen, 20, 1));       // "h" and "I"
    EXPECT_EQ(glyph(screen, 20, 0), glyph(screen, 21, 0));       // "h" again, on the next line
    EXPECT_EQ(cell(screen, 20, 2), std::set<uint32_t>{kBlack});  // "x", erased
    EXPECT_EQ(cell(screen, 21, 1), std::set<uint32_t>{kBlack});
}

}  // namespace
