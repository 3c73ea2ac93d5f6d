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

struct Server {
    pid_t pid = -1;
    std::string display;

    ~Server() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

Server server;

bool start() {
    int fds[2];
    if (pipe(fds) != 0) {
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
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
    // Xvfb writes the display number once it accepts connections.
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (poll(&p, 1, 20000) > 0) {
        char c;
        ssize_t n = read(fds[0], &c, 1);
        if (n <= 0 || c == '\n') {
            break;
        }
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
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

const std::string& xvfb_display() { return server.display; }

}  // namespace test_support
