#include "support/fake_agent_server.h"

#include <algorithm>
#include <chrono>

namespace fake_agent {

using fake_spice::get32;
using fake_spice::get64;
using fake_spice::put32;
using fake_spice::put64;

namespace {

// The reader's poll: short, so that closing the server ends it soon.
const uint32_t kReadSliceMs = 50;

}  // namespace

std::vector<uint8_t> agent_message_sized(uint32_t type, uint32_t size, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out;
    put32(out, 1);
    put32(out, type);
    put64(out, 0);
    put32(out, size);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::vector<uint8_t> agent_message(uint32_t type, const std::vector<uint8_t>& body, uint32_t protocol) {
    std::vector<uint8_t> out = agent_message_sized(type, uint32_t(body.size()), body);
    out[0] = uint8_t(protocol);
    out[1] = uint8_t(protocol >> 8);
    out[2] = uint8_t(protocol >> 16);
    out[3] = uint8_t(protocol >> 24);
    return out;
}

MainServer::MainServer() : _closed(false), _stop(false) {}

MainServer::~MainServer() {
    {
        std::lock_guard<std::mutex> lock(_lock);
        _stop = true;
    }
    if (_reader.joinable()) {
        _reader.join();
    }
    _connection.reset();
}

bool MainServer::accept_main(const std::vector<uint32_t>& main_caps, uint32_t timeout_ms) {
    _connection = _server.accept(timeout_ms);
    if (!_connection) {
        return false;
    }
    if (!_connection->accept_link(&_link, {fake_spice::kCommonCapMiniHeader}, main_caps)) {
        return false;
    }
    _reader = std::thread([this] { read_loop(); });
    return true;
}

void MainServer::read_loop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(_lock);
            if (_stop) {
                return;
            }
        }
        // A message starts within the slice or the loop checks for the stop again; once begun, its rest
        // arrives within the usual deadline.
        uint8_t head[6];
        if (_connection->stays_silent(kReadSliceMs)) {
            continue;
        }
        fake_spice::Message message;
        if (!_connection->recv_exact(head, sizeof head)) {
            std::lock_guard<std::mutex> lock(_lock);
            _closed = true;
            _changed.notify_all();
            return;
        }
        message.type = fake_spice::get16(head);
        uint32_t size = get32(head + 2);
        message.body.resize(size);
        if (size > (64u << 20) || (size > 0 && !_connection->recv_exact(message.body.data(), size))) {
            std::lock_guard<std::mutex> lock(_lock);
            _closed = true;
            _changed.notify_all();
            return;
        }
        std::lock_guard<std::mutex> lock(_lock);
        if (message.type == MSGC_MAIN_AGENT_DATA) {
            _agent_stream.insert(_agent_stream.end(), message.body.begin(), message.body.end());
            while (_agent_stream.size() >= kAgentHeaderSize) {
                uint64_t size = get32(&_agent_stream[16]);
                if (_agent_stream.size() < kAgentHeaderSize + size) {
                    break;
                }
                AgentMessage agent;
                agent.protocol = get32(&_agent_stream[0]);
                agent.type = get32(&_agent_stream[4]);
                agent.opaque = get64(&_agent_stream[8]);
                agent.body.assign(_agent_stream.begin() + kAgentHeaderSize,
                                  _agent_stream.begin() + kAgentHeaderSize + size);
                _agent_stream.erase(_agent_stream.begin(), _agent_stream.begin() + kAgentHeaderSize + size);
                _agent_messages.push_back(std::move(agent));
            }
        }
        _received.push_back(std::move(message));
        _changed.notify_all();
    }
}

void MainServer::send(uint16_t type, const std::vector<uint8_t>& body) {
    std::lock_guard<std::mutex> lock(_send_lock);
    if (_connection) {
        _connection->send_message(type, body);
    }
}

void MainServer::send_init(const InitOptions& o) {
    std::vector<uint8_t> body;
    for (uint32_t v : {o.session_id, o.display_channels_hint, o.supported_mouse_modes, o.current_mouse_mode,
                       uint32_t(o.agent_connected ? 1 : 0), o.agent_tokens, o.multi_media_time, o.ram_hint}) {
        put32(body, v);
    }
    send(MSG_MAIN_INIT, body);
}

void MainServer::send_agent_disconnected(uint32_t error) {
    std::vector<uint8_t> body;
    put32(body, error);
    send(MSG_MAIN_AGENT_DISCONNECTED, body);
}

void MainServer::send_agent_tokens(uint32_t tokens) {
    std::vector<uint8_t> body;
    put32(body, tokens);
    send(MSG_MAIN_AGENT_TOKEN, body);
}

void MainServer::send_agent_data(const std::vector<uint8_t>& bytes) {
    send(MSG_MAIN_AGENT_DATA, bytes);
}

void MainServer::send_agent_message(uint32_t type, const std::vector<uint8_t>& body, size_t chunk) {
    std::vector<uint8_t> stream = agent_message(type, body);
    if (chunk == 0) {
        chunk = stream.size();
    }
    for (size_t at = 0; at < stream.size(); at += chunk) {
        size_t n = std::min(chunk, stream.size() - at);
        send_agent_data(std::vector<uint8_t>(stream.begin() + at, stream.begin() + at + n));
    }
}

std::vector<fake_spice::Message> MainServer::received() {
    std::lock_guard<std::mutex> lock(_lock);
    return _received;
}

std::vector<AgentMessage> MainServer::agent_messages() {
    std::lock_guard<std::mutex> lock(_lock);
    return _agent_messages;
}

bool MainServer::wait_for(const std::function<bool()>& done, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(_lock);
    return _changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
}

int MainServer::wait_message(uint16_t type, uint32_t timeout_ms) {
    int index = -1;
    wait_for(
        [&] {
            for (size_t i = 0; i < _received.size(); i++) {
                if (_received[i].type == type) {
                    index = int(i);
                    return true;
                }
            }
            return false;
        },
        timeout_ms);
    return index;
}

bool MainServer::wait_agent_message(uint32_t type, AgentMessage* out, size_t count, uint32_t timeout_ms) {
    return wait_for(
        [&] {
            size_t seen = 0;
            for (const AgentMessage& m : _agent_messages) {
                if (m.type == type && ++seen == count) {
                    if (out) {
                        *out = m;
                    }
                    return true;
                }
            }
            return false;
        },
        timeout_ms);
}

size_t MainServer::count_messages(uint16_t type) {
    std::lock_guard<std::mutex> lock(_lock);
    return size_t(std::count_if(_received.begin(), _received.end(),
                                [&](const fake_spice::Message& m) { return m.type == type; }));
}

size_t MainServer::count_agent_messages(uint32_t type) {
    std::lock_guard<std::mutex> lock(_lock);
    return size_t(std::count_if(_agent_messages.begin(), _agent_messages.end(),
                                [&](const AgentMessage& m) { return m.type == type; }));
}

bool MainServer::wait_client_closed(uint32_t timeout_ms) {
    return wait_for([&] { return _closed; }, timeout_ms);
}

void MainServer::close() {
    {
        std::lock_guard<std::mutex> lock(_lock);
        _stop = true;
    }
    if (_reader.joinable()) {
        _reader.join();
    }
    std::lock_guard<std::mutex> lock(_send_lock);
    if (_connection) {
        _connection->close();
    }
}

}  // namespace fake_agent
