// The remote desktop in the session window: the real KTWSession program on a private X server against QEMU's
// SPICE server running the demo guest, one server per image-compression setting. The window's pixels, read
// back from the X server, must equal QEMU's own screendump pixel for pixel under every lossless setting, and
// come within a stated PSNR of it when the server sends JPEG. QEMU and the program are stopped by their
// process ids, also when a row fails.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "qemu_peer.h"
#include "winapi/tests/support/peer_programs.h"
#include "winapi/tests/support/xvfb_server.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

namespace fs = std::filesystem;

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

class Session {
public:
    Session(const std::string& home, int port) {
        _pid = fork();
        if (_pid == 0) {
            setenv("HOME", home.c_str(), 1);
            setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
            setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
            setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
            std::string port_text = std::to_string(port);
            const char* argv[] = {KTWSESSION_PATH,   "debug", "ip", "127.0.0.1", "port",
                                  port_text.c_str(), "vmid",  "1",  nullptr};
            execv(KTWSESSION_PATH, const_cast<char**>(argv));
            _exit(127);
        }
    }
    ~Session() {
        if (_pid > 0) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
    }
    bool running() {
        int status = 0;
        return _pid > 0 && waitpid(_pid, &status, WNOHANG) == 0;
    }

private:
    pid_t _pid = 0;
};

// The session window of the program: a top-level window whose title starts with "QELT".
Window find_session_window(Display* display) {
    Window root_return, parent;
    Window* children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root_return, &parent, &children, &count)) {
        return 0;
    }
    for (unsigned int i = 0; i < count && !found; i++) {
        char* name = nullptr;
        if (XFetchName(display, children[i], &name) && name) {
            if (std::string(name).rfind("QELT", 0) == 0) {
                found = children[i];
            }
            XFree(name);
        }
    }
    if (children) {
        XFree(children);
    }
    return found;
}

// The window's pixels (0xRRGGBB) when it has the given size; empty otherwise.
std::vector<uint32_t> window_pixels(Display* display, Window window, int width, int height) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes) || attributes.width != width ||
        attributes.height != height || attributes.map_state != IsViewable) {
        return {};
    }
    XImage* image = XGetImage(display, window, 0, 0, width, height, AllPlanes, ZPixmap);
    if (!image) {
        return {};
    }
    std::vector<uint32_t> pixels(size_t(width) * height);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            pixels[size_t(y) * width + x] = uint32_t(XGetPixel(image, x, y)) & 0xffffff;
        }
    }
    XDestroyImage(image);
    return pixels;
}

struct Comparison {
    size_t differing = 0;
    double psnr = 0;  // infinity when equal
};

Comparison compare(const qemu_peer::Screen& screen, const std::vector<uint32_t>& window) {
    Comparison result;
    double squared = 0;
    for (int y = 0; y < screen.height; y++) {
        for (int x = 0; x < screen.width; x++) {
            uint32_t a = screen.pixel(x, y);
            uint32_t b = window[size_t(y) * screen.width + x];
            if (a != b) {
                result.differing++;
            }
            for (int shift = 0; shift < 24; shift += 8) {
                double d = double((a >> shift) & 0xff) - double((b >> shift) & 0xff);
                squared += d * d;
            }
        }
    }
    double mse = squared / (double(screen.width) * screen.height * 3);
    result.psnr = mse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / mse);
    return result;
}

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
