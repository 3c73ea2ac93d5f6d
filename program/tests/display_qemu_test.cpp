// The remote desktop in the session window: the real KTWSession program on a private X server against QEMU's
// SPICE server running the demo guest, one server per image-compression setting. The window's pixels, read
// back from the X server, must equal QEMU's own screendump pixel for pixel under every lossless setting, and
// come within a stated PSNR of it when the server sends JPEG. QEMU and the program are stopped by their
// process ids, also when a row fails.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
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

// Lossy rows: the lowest peak signal-to-noise ratio accepted, in dB.
const double kJpegMinPsnr = 30.0;

struct Setting {
    const char* name;
    const char* spice_options;
    bool lossless;
};

std::ostream& operator<<(std::ostream& out, const Setting& setting) {
    return out << setting.name;
}

const Setting kSettings[] = {
    {"off", "image-compression=off", true},
    {"quic", "image-compression=quic", true},
    {"lz", "image-compression=lz", true},
    {"glz", "image-compression=glz", true},
    {"auto_glz", "image-compression=auto_glz", true},
    {"zlib_glz", "image-compression=glz,zlib-glz-wan-compression=always", true},
    {"jpeg", "image-compression=auto_glz,jpeg-wan-compression=always", false},
};

class DisplayQemuTest : public testing::TestWithParam<Setting> {
protected:
    void SetUp() override {
        KTW_REQUIRE_PROGRAM("qemu-system-x86_64");
        KTW_REQUIRE_XVFB();
        home = fs::temp_directory_path() /
               ("ktw_display_qemu_" + std::to_string(getpid()) + "_" + GetParam().name);
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

    fs::path home;
    Display* display = nullptr;
    qemu_peer::Qemu qemu;
};

TEST_P(DisplayQemuTest, SessionWindowShowsTheGuestScreen) {
    const Setting& setting = GetParam();
    ASSERT_TRUE(
        qemu.start(std::string("disable-ticketing=on,") + setting.spice_options,
                   "-drive file=" + qemu_peer::demo_guest_image() + ",format=raw,if=floppy,readonly=on"))
        << qemu.output();
    Session session(home.string(), qemu.port);

    // The guest draws its picture once; the window follows. Both are read until they agree (or come close
    // enough for a lossy row), 30 s at most.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    Comparison last;
    bool compared = false;
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_TRUE(session.running()) << "the session ended";
        qemu_peer::Screen screen;
        Window window = find_session_window(display);
        if (!window || !qemu.screendump(screen) || screen.width != 640 || screen.height != 400) {
            continue;
        }
        // The demo picture is drawn: the title row is not black any more.
        bool drawn = false;
        for (int x = 0; x < screen.width && !drawn; x++) {
            drawn = screen.pixel(x, 150) != 0;
        }
        std::vector<uint32_t> pixels = window_pixels(display, window, screen.width, screen.height);
        if (!drawn || pixels.empty()) {
            continue;
        }
        last = compare(screen, pixels);
        compared = true;
        done = setting.lossless ? last.differing == 0 : last.psnr >= kJpegMinPsnr;
    }
    ASSERT_TRUE(compared) << "no session window of the guest's size appeared";
    if (setting.lossless) {
        EXPECT_EQ(0u, last.differing) << "pixels differing from the screendump";
    } else {
        EXPECT_GE(last.psnr, kJpegMinPsnr);
        printf("%s: PSNR %.1f dB, %zu pixels differ\n", setting.name, last.psnr, last.differing);
    }
}

INSTANTIATE_TEST_SUITE_P(ImageCompression, DisplayQemuTest, testing::ValuesIn(kSettings),
                         [](const testing::TestParamInfo<Setting>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
