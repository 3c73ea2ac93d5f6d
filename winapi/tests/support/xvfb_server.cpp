#include "support/xvfb_server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace test_support {

namespace {

// Xvfb writes its display number once it accepts connections; a machine loaded by parallel builds and
// sanitizer runs has been seen to take over 20 s for it.
constexpr int kStartSeconds = 60;

struct Server {
    pid_t pid = -1;
    std::string display;
    std::string error;

    ~Server() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

Server server;

// Waits a second at most for the child to end.
bool reaped(pid_t pid, int* status) {
    for (int i = 0; i < 100; i++) {
        if (waitpid(pid, status, WNOHANG) == pid) {
            return true;
        }
        usleep(10000);
    }
    return false;
}

bool start() {
    int fds[2];
    if (pipe(fds) != 0) {
        server.error = "no pipe for Xvfb";
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        server.error = "cannot fork for Xvfb";
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        std::string fd = std::to_string(fds[1]);
        // 24-bit screen large enough for the monitor and window tests; no TCP listener.
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
               "-noreset", "+extension", "RANDR", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    server.pid = pid;
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    int ready;
    while ((ready = poll(&p, 1, kStartSeconds * 1000)) > 0) {
        char c;
        ssize_t n = read(fds[0], &c, 1);
        if (n <= 0 || c == '\n') {
            break;
        }
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        int status = 0;
        if (ready == 0) {
            server.error = "Xvfb gave no display number within " + std::to_string(kStartSeconds) + " s";
        } else if (reaped(pid, &status)) {
            server.pid = -1;
            server.error =
                "Xvfb ended before it gave a display number (status " + std::to_string(status) + ")";
        } else {
            server.error = "Xvfb closed its display-number pipe without a number";
        }
        return false;
    }
    server.display = ":" + number;
    setenv("DISPLAY", server.display.c_str(), 1);
    return true;
}

}  // namespace

bool ensure_xvfb() {
    static bool started = start();
    return started;
}

const std::string& xvfb_display() {
    return server.display;
}

const std::string& xvfb_error() {
    return server.error;
}

}  // namespace test_support
