#pragma once

// A usbredir host wired to a device-role parser that plays the server, with a scripted device behind the
// host. Completions queued by the host are run by run_completions() (the channel's worker thread), or at once
// on the completing thread when immediate_completions is set.
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "devices/usbredirhost/usbredirhost.h"
#include "support/fake_usb_device.h"
#include "support/parser_end.h"

std::shared_ptr<FakeUsbScript> make_test_device();

class HostHarness {
public:
    explicit HostHarness(uint32_t server_caps = 0xFF, bool exchange_hellos = true, uint32_t host_flags = 0);
    ~HostHarness();

    // Attaches a fresh device on the script; returns set_device's status.
    int attach(std::shared_ptr<FakeUsbScript> script);
    // Moves bytes both ways until quiet; returns the host's last do_read result.
    int pump();
    // The server sends a packet to the host.
    void send(uint32_t type, uint64_t id, const void* header, const std::vector<uint8_t>& data = {});
    void run_completions();
    // Packets the server has received since the last take.
    std::vector<ReceivedPacket> take();

    usbredirhost* host = nullptr;
    ParserEnd server;
    std::deque<uint8_t> to_host;
    bool immediate_completions = false;
    bool write_blocked = false;  // the connection takes nothing
    std::mutex completions_lock;
    std::vector<std::pair<usb_transfer*, usbredirhost_completion_handler>> completions;
    std::vector<std::string> log;
    std::vector<std::shared_ptr<FakeUsbScript>> scripts;
};
