#include "support/host_harness.h"

#include <algorithm>

namespace {

HostHarness* self(void* owner) {
    return static_cast<HostHarness*>(owner);
}

void log_line(void* owner, int, const char* text) {
    self(owner)->log.push_back(text);
}

int read_bytes(void* owner, uint8_t* data, int count) {
    HostHarness* h = self(owner);
    size_t n = std::min(static_cast<size_t>(count), h->to_host.size());
    for (size_t i = 0; i < n; ++i) {
        data[i] = h->to_host.front();
        h->to_host.pop_front();
    }
    return static_cast<int>(n);
}

int write_bytes(void* owner, uint8_t* data, int count) {
    if (self(owner)->write_blocked) {
        return 0;
    }
    self(owner)->server.feed(std::vector<uint8_t>(data, data + count));
    return count;
}

void flush(void* owner) {
    // The host flushes inside its creation too, before the owner holds it.
    if (self(owner)->host) {
        usbredirparser_do_write(self(owner)->host->parser);
    }
}

void dispatch(void* owner, usb_transfer* transfer, usbredirhost_completion_handler handler) {
    HostHarness* h = self(owner);
    if (h->immediate_completions) {
        handler(transfer);
        return;
    }
    std::lock_guard<std::mutex> guard(h->completions_lock);
    h->completions.emplace_back(transfer, handler);
}

usb_endpoint_descriptor endpoint(uint8_t address, uint8_t attributes, uint16_t max_packet,
                                 uint8_t interval = 0) {
    return usb_endpoint_descriptor{address, attributes, max_packet, interval, false, 0};
}

}  // namespace

std::shared_ptr<FakeUsbScript> make_test_device() {
    auto s = std::make_shared<FakeUsbScript>();
    s->desc = usb_device_descriptor{18, 1, 0x0200, 0, 0, 0, 64, 0x1234, 0xABCD, 0x0123, 0, 0, 0, 1};
    s->config.bConfigurationValue = 1;
    // Interface 0: interrupt IN 0x81. Interface 1: bulk 0x82 / 0x02 in setting 0; interrupt IN 0x83 in
    // setting 2, which the descriptor lists second.
    usb_interface if0;
    if0.altsetting.push_back({0, 0, 3, 1, 1, {endpoint(0x81, 3, 8, 10)}});
    usb_interface if1;
    if1.altsetting.push_back({1, 0, 8, 6, 0x50, {endpoint(0x82, 2, 512), endpoint(0x02, 2, 512)}});
    if1.altsetting.push_back({1, 2, 8, 6, 0x50, {endpoint(0x83, 3, 16, 4)}});
    s->config.interfaces = {if0, if1};
    s->configs = {s->config};
    return s;
}

HostHarness::HostHarness(uint32_t server_caps, bool exchange_hellos, uint32_t host_flags)
    : server(false, server_caps) {
    usbredirhost_callbacks cb{};
    cb.log = log_line;
    cb.read = read_bytes;
    cb.write = write_bytes;
    cb.flush = flush;
    cb.completion_dispatch = dispatch;
    host = usbredirhost_create(this, &cb, host_flags, 0);
    usbredirparser_do_write(host->parser);
    server.read_all();
    if (exchange_hellos) {
        pump();
    }
}

HostHarness::~HostHarness() {
    // Whatever the test left in flight completes, so that closing does not wait.
    immediate_completions = true;
    run_completions();
    for (auto& script : scripts) {
        script->cancel_async = true;
        script->finish_cancelled();
    }
    if (host) {
        usbredirhost_close(host);
    }
}

int HostHarness::attach(std::shared_ptr<FakeUsbScript> script) {
    scripts.push_back(script);
    int status = usbredirhost_set_device(host, new FakeUsbDevice(std::move(script)));
    pump();
    return status;
}

int HostHarness::pump() {
    int result = 0;
    for (int round = 0; round < 8; ++round) {
        usbredirparser_do_write(host->parser);
        server.read_all();
        auto out = server.take_output();
        to_host.insert(to_host.end(), out.begin(), out.end());
        if (to_host.empty()) {
            break;
        }
        result = usbredirparser_do_read(host->parser);
        if (result < 0) {
            break;
        }
    }
    usbredirparser_do_write(host->parser);
    server.read_all();
    return result;
}

void HostHarness::send(uint32_t type, uint64_t id, const void* header, const std::vector<uint8_t>& data) {
    usbredirparser_queue(server.parser, type, id, header, data.empty() ? nullptr : data.data(),
                         static_cast<uint32_t>(data.size()));
    pump();
}

void HostHarness::run_completions() {
    for (;;) {
        std::vector<std::pair<usb_transfer*, usbredirhost_completion_handler>> list;
        {
            std::lock_guard<std::mutex> guard(completions_lock);
            list.swap(completions);
        }
        if (list.empty()) {
            break;
        }
        for (auto& c : list) {
            c.second(c.first);
        }
    }
    pump();
}

std::vector<ReceivedPacket> HostHarness::take() {
    std::vector<ReceivedPacket> out;
    out.swap(server.received);
    return out;
}
