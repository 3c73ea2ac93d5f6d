#include "qemu_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace qemu_peer {

namespace {

const int kQmpWaitMs = 10000;

bool alive(long pid) {
    return pid > 0 && kill(pid_t(pid), 0) == 0;
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

bool installed() {
    return std::system("command -v qemu-system-x86_64 >/dev/null 2>&1") == 0;
}

int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        return 0;
    }
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(s);
    return port;
}

std::string demo_guest_image() {
    return KTW_DEMO_GUEST_IMAGE;
}

std::string motion_guest_image() {
    return KTW_MOTION_GUEST_IMAGE;
}

uint32_t Screen::pixel(int x, int y) const {
    size_t at = (size_t(y) * size_t(width) + size_t(x)) * 3;
    return uint32_t(rgb[at]) << 16 | uint32_t(rgb[at + 1]) << 8 | rgb[at + 2];
}

Qemu::Qemu() {
    static int counter = 0;
    _dir = (std::filesystem::temp_directory_path() /
            ("ktw_qemu_" + std::to_string(getpid()) + "_" + std::to_string(counter++)))
               .string();
    std::filesystem::create_directories(_dir);
}

Qemu::~Qemu() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(_dir, ignored);
}

bool Qemu::start(const std::string& spice_options, const std::string& extra, bool paused) {
    for (int attempt = 0; attempt < 3 && _pid <= 0; attempt++) {
        port = free_port();
        tls_port = free_port();
        std::string spice = "port=" + std::to_string(port) + ",addr=127.0.0.1";
        if (spice_options.find("x509-dir") != std::string::npos) {
            spice += ",tls-port=" + std::to_string(tls_port);
        }
        if (!spice_options.empty()) {
            spice += "," + spice_options;
        }
        std::string command =
            std::string("qemu-system-x86_64 ") + (paused ? "-S " : "") +
            "-machine pc,accel=tcg -m 96 -nodefaults -no-user-config -vga qxl -display none "
            "-spice " +
            spice + " " + extra + " -qmp unix:" + _dir + "/qmp.sock,server=on,wait=off" +
            " -daemonize -pidfile " + _dir + "/qemu.pid -D " + _dir + "/qemu.log >" + _dir + "/out.log 2>&1";
        if (std::system(command.c_str()) == 0) {
            std::ifstream pid_file(_dir + "/qemu.pid");
            pid_file >> _pid;
        }
    }
    return _pid > 0 && connect_qmp();
}

void Qemu::stop() {
    if (_qmp >= 0) {
        close(_qmp);
        _qmp = -1;
    }
    if (_pid <= 0) {
        return;
    }
    kill(pid_t(_pid), SIGTERM);
    for (int i = 0; i < 100 && alive(_pid); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (alive(_pid)) {
        kill(pid_t(_pid), SIGKILL);
    }
    _pid = 0;
}

std::string Qemu::output() const {
    return read_file(_dir + "/out.log") + read_file(_dir + "/qemu.log");
}

bool Qemu::connect_qmp() {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::string path = _dir + "/qmp.sock";
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    _qmp = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_qmp < 0 || connect(_qmp, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        return false;
    }
    std::string greeting;
    return read_line(greeting) &&
           qmp("{\"execute\": \"qmp_capabilities\"}").find("\"return\"") != std::string::npos;
}

bool Qemu::read_line(std::string& line) {
    line.clear();
    for (;;) {
        pollfd p = {_qmp, POLLIN, 0};
        char c;
        if (poll(&p, 1, kQmpWaitMs) <= 0 || recv(_qmp, &c, 1, 0) != 1) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        line += c;
    }
}

std::string Qemu::qmp(const std::string& command) {
    if (_qmp < 0) {
        return "";
    }
    std::string text = command + "\n";
    if (send(_qmp, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size())) {
        return "";
    }
    // Events may come before the reply.
    std::string line;
    while (read_line(line)) {
        if (line.find("\"return\"") != std::string::npos || line.find("\"error\"") != std::string::npos) {
            return line;
        }
    }
    return "";
}

bool Qemu::resume() {
    return qmp("{\"execute\": \"cont\"}").find("\"return\"") != std::string::npos;
}

bool Qemu::send_key(const std::vector<std::string>& qcodes) {
    std::string keys;
    for (const std::string& code : qcodes) {
        keys += std::string(keys.empty() ? "" : ", ") + "{\"type\": \"qcode\", \"data\": \"" + code + "\"}";
    }
    return qmp("{\"execute\": \"send-key\", \"arguments\": {\"keys\": [" + keys + "]}}").find("\"return\"") !=
           std::string::npos;
}

bool Qemu::screendump(Screen& screen) {
    std::string path = _dir + "/screen.ppm";
    std::remove(path.c_str());
    if (qmp("{\"execute\": \"screendump\", \"arguments\": {\"filename\": \"" + path + "\"}}")
            .find("\"return\"") == std::string::npos) {
        return false;
    }
    // Binary PPM: "P6", width, height, maximum 255, one white-space byte, then the pixels.
    std::string data = read_file(path);
    std::istringstream header(data);
    std::string magic;
    int max = 0;
    header >> magic >> screen.width >> screen.height >> max;
    if (!header || magic != "P6" || max != 255 || screen.width <= 0 || screen.height <= 0 ||
        screen.width > 16384 || screen.height > 16384) {
        return false;
    }
    size_t start = size_t(header.tellg()) + 1;
    size_t size = size_t(screen.width) * size_t(screen.height) * 3;
    if (data.size() < start || data.size() - start < size) {
        return false;
    }
    screen.rgb.assign(data.begin() + start, data.begin() + start + size);
    return true;
}

}  // namespace qemu_peer
