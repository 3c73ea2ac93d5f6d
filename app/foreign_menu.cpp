#include "app/foreign_menu.h"

#include "runtime/exception.h"
#include "runtime/log.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        p[i] = uint8_t(v >> (8 * i));
    }
}

// The text from start to the record's end, whose last byte stands for the terminator.
std::string text_between(uint8_t* start, uint8_t* end) {
    if (end <= start) {
        return std::string();
    }
    end[-1] = 0;
    return std::string(reinterpret_cast<const char*>(start));
}

}  // namespace

// ---- ForeignMenuPipeConnection ----

ForeignMenuPipeConnection::ForeignMenuPipeConnection(ForeignMenuInterface* target, ForeignMenu& owner)
    : _target(target),
      _owner(owner),
      _menu(nullptr),
      _initialised(false),
      _write_pending(0),
      _write_start(0),
      _read_end(0),
      _write_lock(Mutex::RECURSIVE) {}

ForeignMenuPipeConnection::~ForeignMenuPipeConnection() {
    _pipe.reset();
    if (_target) {
        if (_menu) {
            if (Menu* app_menu = _target->get_app_menu()) {
                app_menu->remove_sub(_menu);
                app_menu->unref();
            }
            _target->update_menu();
        }
        _target->clear_menu_items(this);
    }
    if (_menu) {
        _menu->unref();
    }
}

void ForeignMenuPipeConnection::bind(WinConnection* connection) {
    _pipe.reset(connection);
    if (_owner.active()) {
        uint8_t message[ForeignMenu::HEADER_SIZE];
        put32(message, ForeignMenu::APP_ACTIVATED);
        put32(message + 4, sizeof(message));
        if (!write_msg(message, sizeof(message))) {
            return;
        }
    }
    on_data();
}

void ForeignMenuPipeConnection::on_data() {
    if (_write_pending) {
        LOG_INFO("Resume pending write %d", int(_write_pending));
        if (!write_msg(_write_buffer + _write_start, _write_pending)) {
            return;
        }
    }
    while (read_msgs()) {
    }
}

void ForeignMenuPipeConnection::remove() {
    _owner.remove_connection(this);
}

void ForeignMenuPipeConnection::write(const void* data, size_t size) {
    if (size > BUFFER_SIZE) {
        LOG_DEBUG("Dropping message, due to insufficient space in write buffer");
        return;
    }
    write_msg(data, uint32_t(size));
}

bool ForeignMenuPipeConnection::write_msg(const void* data, uint32_t size) {
    bool failed = false;
    {
        Lock lock(_write_lock);
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        bool pending_region = bytes == _write_buffer + _write_start;
        if (_write_pending && !pending_region) {
            if (uint64_t(_write_start) + _write_pending + size > BUFFER_SIZE &&
                !write_msg(_write_buffer + _write_start, _write_pending)) {
                return false;
            }
            if (_write_pending) {
                if (uint64_t(_write_start) + _write_pending + size > BUFFER_SIZE) {
                    LOG_DEBUG("Dropping message, due to insufficient space in write buffer");
                    return true;
                }
                // Goes out with the pending bytes.
                memcpy(_write_buffer + _write_start + _write_pending, bytes, size);
                _write_pending += size;
                return true;
            }
        }
        uint32_t sent = 0;
        while (sent < size) {
            int32_t taken = _pipe ? _pipe->write(bytes + sent, size - sent) : -1;
            if (taken < 0) {
                LOG_ERROR("Error writing to named pipe %d", int(taken));
                failed = true;
                break;
            }
            if (taken == 0) {
                break;
            }
            sent += uint32_t(taken);
        }
        if (!failed) {
            uint32_t rest = size - sent;
            if (rest == 0) {
                _write_pending = 0;
                _write_start = 0;
            } else if (pending_region) {
                _write_start += sent;
                _write_pending = rest;
            } else if (rest > BUFFER_SIZE) {
                LOG_DEBUG("Dropping message, due to insufficient space in write buffer");
            } else {
                memmove(_write_buffer, bytes + sent, rest);
                _write_start = 0;
                _write_pending = rest;
            }
        }
    }
    if (failed) {
        // After the lock: removing deletes the connection and its lock.
        remove();
        return false;
    }
    return true;
}

bool ForeignMenuPipeConnection::read_msgs() {
    int32_t count = _pipe->read(_read_buffer + _read_end, BUFFER_SIZE - _read_end);
    if (count == 0) {
        return false;
    }
    if (count < 0 || uint32_t(count) > BUFFER_SIZE - _read_end) {
        LOG_ERROR("Error reading from named pipe %d", int(count));
        remove();
        return false;
    }
    _read_end += uint32_t(count);
    return process_input();
}

bool ForeignMenuPipeConnection::feed(const uint8_t* data, uint32_t size) {
    uint32_t taken = std::min(size, BUFFER_SIZE - _read_end);
    memcpy(_read_buffer + _read_end, data, taken);
    _read_end += taken;
    return process_input();
}

bool ForeignMenuPipeConnection::process_input() {
    uint32_t pos = 0;
    for (;;) {
        uint8_t* record = _read_buffer + pos;
        uint32_t available = _read_end - pos;
        if (!_initialised) {
            if (available < ForeignMenu::INIT_HEADER_SIZE) {
                break;
            }
            uint32_t magic = get32(record);
            uint32_t version = get32(record + 4);
            if (magic != ForeignMenu::MAGIC || version != ForeignMenu::VERSION) {
                LOG_ERROR("Bad foreign menu init, magic=0x%x version=%u", magic, version);
                remove();
                return false;
            }
            uint32_t size = get32(record + 8);
            // Below 20 the credentials are missing; above the buffer the record could never complete.
            if (size < ForeignMenu::INIT_SIZE || size > BUFFER_SIZE) {
                LOG_ERROR("Bad foreign menu init, size=%u", size);
                remove();
                return false;
            }
            if (available < size) {
                break;
            }
            if (!handle_init(record, size)) {
                remove();
                return false;
            }
            _initialised = true;
            pos += size;
            continue;
        }
        if (available < ForeignMenu::HEADER_SIZE) {
            break;
        }
        uint32_t size = get32(record + 4);
        if (size < ForeignMenu::HEADER_SIZE || size > BUFFER_SIZE) {
            LOG_ERROR("Bad foreign menu message, size=%u", size);
            remove();
            return false;
        }
        if (available < size) {
            break;
        }
        if (!handle_message(record, size)) {
            remove();
            return false;
        }
        pos += size;
    }
    memmove(_read_buffer, _read_buffer + pos, _read_end - pos);
    _read_end -= pos;
    return true;
}

bool ForeignMenuPipeConnection::handle_init(uint8_t* record, uint32_t size) {
    uint32_t credentials_low = get32(record + 12);
    uint32_t credentials_high = get32(record + 16);
    if (credentials_low != 0 || credentials_high != 0) {
        LOG_ERROR("Foreign menu has wrong credentials 0x%x", credentials_low);
        return false;
    }
    if (!_target) {
        return false;
    }
    std::string title = "Untitled";
    if (size > ForeignMenu::INIT_SIZE) {
        title = text_between(record + ForeignMenu::INIT_SIZE, record + size);
    }
    _menu = new Menu(*_target, title);
    if (Menu* app_menu = _target->get_app_menu()) {
        app_menu->add_sub(_menu);
        app_menu->unref();
    }
    _target->update_menu();
    return true;
}

bool ForeignMenuPipeConnection::handle_message(uint8_t* start, uint32_t size) {
    uint8_t* end = start + size;
    uint32_t id = get32(start);
    if (!_target || !_menu) {
        return false;
    }
    switch (id) {
        case ForeignMenu::SET_TITLE:
            _menu->set_title(text_between(start + ForeignMenu::HEADER_SIZE, end));
            _target->update_menu();
            return true;
        case ForeignMenu::ADD_ITEM: {
            if (size < ForeignMenu::HEADER_SIZE + 12) {
                LOG_ERROR("Bad foreign menu add item, size=%u", size);
                return false;
            }
            int32_t item_id = int32_t(get32(start + 8));
            uint32_t flags = get32(start + 12);
            std::string text = text_between(start + ForeignMenu::HEADER_SIZE + 12, end);
            int command = _target->get_foreign_menu_item_id(this, item_id);
            if (command == 0) {
                LOG_WARN("no command id left for foreign menu item %d", item_id);
                return true;
            }
            _menu->add_command(text, command, int32_t(flags & 3));
            _target->update_menu();
            return true;
        }
        case ForeignMenu::REMOVE_ITEM: {
            if (size < ForeignMenu::HEADER_SIZE + 4) {
                LOG_ERROR("Bad foreign menu remove item, size=%u", size);
                return false;
            }
            int command = _target->get_foreign_menu_item_id(this, int32_t(get32(start + 8)));
            _menu->remove_command(command);
            _target->remove_menu_item(command);
            _target->update_menu();
            return true;
        }
        case ForeignMenu::CLEAR:
            _menu->clear();
            _target->clear_menu_items(this);
            _target->update_menu();
            return true;
        default:
            LOG_ERROR("Ignoring an unknown foreign menu identifier %u", id);
            return true;
    }
}

// ---- ForeignMenu ----

ForeignMenu::ForeignMenu(ForeignMenuInterface& target, ProcessLoop& loop, bool active)
    : _target(target), _active(active) {
    std::string name = pipe_name();
    LOG_INFO("Creating a foreign menu connection %s", name.c_str());
    try {
        _listener.reset(new WinListener(name.c_str(), *this, loop));
    } catch (...) {
        LOG_ERROR("Failed to create a foreign menu connection");
    }
}

ForeignMenu::~ForeignMenu() {
    _listener.reset();
    for (auto& entry : _connections) {
        entry.second->clear_target();
    }
    _connections.clear();
}

std::string ForeignMenu::pipe_name() {
    return "SpiceForeignMenu-" + std::to_string((unsigned long)GetCurrentProcessId());
}

NamedPipe::ConnectionInterface* ForeignMenu::create() {
    ForeignMenuPipeConnection* connection = new (std::nothrow) ForeignMenuPipeConnection(&_target, *this);
    if (!connection) {
        THROW("Error allocating a new foreign menu connection");
    }
    _connections[connection].reset(connection);
    return connection;
}

void ForeignMenu::remove_connection(ForeignMenuPipeConnection* connection) {
    auto it = _connections.find(connection);
    if (it == _connections.end()) {
        return;
    }
    std::unique_ptr<ForeignMenuPipeConnection> gone = std::move(it->second);
    _connections.erase(it);
}

void ForeignMenu::send_focus(uint32_t id) {
    uint8_t message[HEADER_SIZE];
    put32(message, id);
    put32(message + 4, sizeof(message));
    // A failed write removes its connection: walk a copy.
    std::vector<ForeignMenuPipeConnection*> connections;
    for (auto& entry : _connections) {
        connections.push_back(entry.first);
    }
    for (ForeignMenuPipeConnection* connection : connections) {
        if (_connections.count(connection)) {
            connection->write_msg(message, sizeof(message));
        }
    }
}

void ForeignMenu::on_activate() {
    _active = true;
    send_focus(APP_ACTIVATED);
}

void ForeignMenu::on_deactivate() {
    _active = false;
    send_focus(APP_DEACTIVATED);
}

void ForeignMenu::add_sub_menus() {
    Menu* app_menu = _target.get_app_menu();
    if (!app_menu) {
        return;
    }
    for (auto& entry : _connections) {
        if (Menu* menu = entry.second->menu()) {
            app_menu->add_sub(menu);
        }
    }
    app_menu->unref();
}
