// ForeignMenu: another local program adds its own sub-menu to the session window's menu through the named
// pipe "SpiceForeignMenu-<process id>". It sends an init record with a title, then adds and removes items;
// the client tells it which item the user chose and when the session window gains or loses the focus.
//
// Wire (little-endian). Init record, first on every connection: u32 magic "FRGM", u32 version 1, u32 size of
// the record (20 and more), u64 credentials (0), title (its last byte stands for the terminator). Then
// messages {u32 id, u32 size of the whole message}: 1 title (text), 2 add item (u32 item id, u32 flags: bit 0
// checked, bit 1 dimmed, u32 position, text), 4 remove item (u32 item id), 5 remove all; towards the program
// 1001 item chosen (u32 item id, u32 event), 1002 focus gained, 1003 focus lost. A record, the init record
// included, is at most 4096 bytes: a longer or malformed one ends that program's connection.
//
// Everything runs on the loop's thread (the pipe's events are sources of the loop).
#pragma once

#include "app/menu.h"
#include "platform/named_pipe.h"
#include "runtime/process_loop.h"
#include "runtime/threads.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

// What the pipe's programs change in the application.
class ForeignMenuInterface : public CommandTarget {
public:
    // The command id for a program's item id (the same one again for the same item); 0 when none is free.
    virtual int get_foreign_menu_item_id(ForeignMenuConnection* connection, int32_t item_id) = 0;
    virtual void clear_menu_items(ForeignMenuConnection* connection) = 0;
    virtual void remove_menu_item(int command_id) = 0;
    // The application menu with one more reference; null when there is none.
    virtual Menu* get_app_menu() = 0;
    // The menu model changed: rebuild what shows it.
    virtual void update_menu() = 0;
};

class ForeignMenu;

// One connected program.
class ForeignMenuPipeConnection : public NamedPipe::ConnectionInterface, public ForeignMenuConnection {
public:
    static const uint32_t BUFFER_SIZE = 4096;

    ForeignMenuPipeConnection(ForeignMenuInterface* target, ForeignMenu& owner);
    // Closes the pipe; while the target is set its items leave the application menu.
    ~ForeignMenuPipeConnection() override;

    ForeignMenuPipeConnection(const ForeignMenuPipeConnection&) = delete;
    ForeignMenuPipeConnection& operator=(const ForeignMenuPipeConnection&) = delete;

    void bind(WinConnection* connection) override;
    void on_data() override;

    // Sends a message, or queues it behind bytes the pipe has not taken yet. False when the pipe failed:
    // the connection is then removed (deleted).
    bool write_msg(const void* data, uint32_t size);
    // ForeignMenuConnection: the application's 1001.
    void write(const void* data, size_t size) override;

    // Takes bytes as a pipe read would (what fits the read buffer) and handles the whole records: the fuzz
    // target's way in. False when the connection was removed (this is gone then).
    bool feed(const uint8_t* data, uint32_t size);

    void clear_target() { _target = nullptr; }
    Menu* menu() const { return _menu; }
    bool initialised() const { return _initialised; }

private:
    // False when nothing more can be read now or the connection was removed (this is gone then).
    bool read_msgs();
    // Handles the whole records buffered and keeps an incomplete rest. False when the connection was removed.
    bool process_input();
    bool handle_init(uint8_t* record, uint32_t size);
    // False when the message is malformed. The text's last byte becomes its terminator.
    bool handle_message(uint8_t* message, uint32_t size);
    // Logs, then removes this connection: this is gone on return.
    void remove();

    std::unique_ptr<WinConnection> _pipe;
    ForeignMenuInterface* _target;
    ForeignMenu& _owner;
    Menu* _menu;
    bool _initialised;
    uint32_t _write_pending;
    uint32_t _write_start;
    uint8_t _write_buffer[BUFFER_SIZE];
    uint32_t _read_end;
    uint8_t _read_buffer[BUFFER_SIZE];
    Mutex _write_lock;
};

class ForeignMenu : public NamedPipe::ListenerInterface {
public:
    enum : uint32_t {
        MAGIC = 0x4D475246,  // "FRGM"
        VERSION = 1,
        INIT_HEADER_SIZE = 12,
        INIT_SIZE = 20,  // header and credentials
        HEADER_SIZE = 8,
        SET_TITLE = 1,
        ADD_ITEM = 2,
        REMOVE_ITEM = 4,
        CLEAR = 5,
        ITEM_ACTIVATED = 1001,
        APP_ACTIVATED = 1002,
        APP_DEACTIVATED = 1003,
    };

    // Serves the process's pipe on the loop; without a pipe (it could not be created) it serves nobody.
    ForeignMenu(ForeignMenuInterface& target, ProcessLoop& loop, bool active);
    // Leaves the application menu alone: the connections go without touching it.
    ~ForeignMenu() override;

    ForeignMenu(const ForeignMenu&) = delete;
    ForeignMenu& operator=(const ForeignMenu&) = delete;

    // "SpiceForeignMenu-<process id>".
    static std::string pipe_name();
    bool listening() const { return _listener != nullptr; }

    NamedPipe::ConnectionInterface* create() override;
    // The session window gained or lost the focus: every connection is told.
    void on_activate();
    void on_deactivate();
    bool active() const { return _active; }
    // After the application rebuilt its menu: every program's menu as a sub-menu again.
    void add_sub_menus();
    size_t connection_count() const { return _connections.size(); }

    // Deletes the connection.
    void remove_connection(ForeignMenuPipeConnection* connection);

private:
    void send_focus(uint32_t id);

    ForeignMenuInterface& _target;
    std::map<ForeignMenuPipeConnection*, std::unique_ptr<ForeignMenuPipeConnection>> _connections;
    std::unique_ptr<WinListener> _listener;
    bool _active;
};
