// The real KTWSession program as a test peer: started against a server on 127.0.0.1 with a private home (so
// its settings and its log stay in the test's folder), its session window found and read back from the X
// server, and pictures compared with a server's screendump. The program is stopped by its process id when the
// object goes, also when a test fails.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qemu_peer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace session_process {

class Session {
public:
    Session(const std::string& home, int port) : _home(home) {
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
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool running() {
        int status = 0;
        return _pid > 0 && waitpid(_pid, &status, WNOHANG) == 0;
    }
    pid_t pid() const { return _pid; }

    // The program's log file as written so far ("" before it exists).
    std::string log() const {
        std::error_code error;
        for (auto it = std::filesystem::recursive_directory_iterator(_home, error);
             !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
            if (it->path().filename() == "ktwlog.log") {
                std::ifstream in(it->path());
                std::stringstream text;
                text << in.rdbuf();
                return text.str();
            }
        }
        return "";
    }

private:
    std::string _home;
    pid_t _pid = 0;
};

// The session window of the program: a top-level window whose title starts with "QELT".
inline Window find_session_window(Display* display) {
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
inline std::vector<uint32_t> window_pixels(Display* display, Window window, int width, int height) {
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

// A part of a picture: x, y, width, height.
struct Area {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct Comparison {
    size_t differing = 0;
    double psnr = 0;  // infinity when equal
};

// The screendump against the window's pixels (of the screen's size), over the area or the whole screen.
inline Comparison compare(const qemu_peer::Screen& screen, const std::vector<uint32_t>& window,
                          Area area = {}) {
    if (area.width == 0) {
        area = {0, 0, screen.width, screen.height};
    }
    Comparison result;
    double squared = 0;
    for (int y = area.y; y < area.y + area.height; y++) {
        for (int x = area.x; x < area.x + area.width; x++) {
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
    double mse = squared / (double(area.width) * area.height * 3);
    result.psnr = mse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / mse);
    return result;
}

}  // namespace session_process
