// QEMU's SPICE server as a test peer: one machine with a QXL card and no OS (the BIOS screen drives the
// display channel) or the demo guest booted from its floppy image, listening on 127.0.0.1 only, driven over
// QMP and stopped by its process id when the object goes, also when a test fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qemu_peer {

// True when qemu-system-x86_64 is on the path.
bool installed();

// A port on 127.0.0.1 that was free a moment ago.
int free_port();

// The boot image of the demo guest built in the tree.
std::string demo_guest_image();

// The boot image of the motion guest: a block of the screen animated until a key is pressed.
std::string motion_guest_image();

// An RGB picture as QMP's screendump writes it.
struct Screen {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;

    uint32_t pixel(int x, int y) const;  // 0xRRGGBB
};

class Qemu {
public:
    Qemu();
    ~Qemu();

    Qemu(const Qemu&) = delete;
    Qemu& operator=(const Qemu&) = delete;

    // spice_options follow "port=P,addr=127.0.0.1" (e.g. "disable-ticketing=on"); extra is added to the
    // command line; paused starts the machine stopped until resume().
    bool start(const std::string& spice_options, const std::string& extra = "", bool paused = false);
    void stop();

    // One QMP command given as its JSON object; the reply line, or "" when there was none within 10 s.
    std::string qmp(const std::string& command);
    bool resume();
    // Presses and releases the keys together, named by their QEMU key codes ("a", "shift", "ret", ...).
    bool send_key(const std::vector<std::string>& qcodes);
    bool screendump(Screen& screen);

    long pid() const { return _pid; }
    // QEMU's own output, for failure messages.
    std::string output() const;

    int port = 0;
    int tls_port = 0;

private:
    bool connect_qmp();
    bool read_line(std::string& line);

    std::string _dir;
    long _pid = 0;
    int _qmp = -1;
};

}  // namespace qemu_peer
