// Menu: the application's menu model (the session window's system menu and its sub-menus). Items are
// commands, sub-menus and separators; a command runs through the menu's target. Reference counted with a
// plain counter: main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CommandTarget {
public:
    virtual ~CommandTarget() {}
    virtual void do_command(int command) = 0;
};

class Menu {
public:
    enum ItemType : int32_t {
        MENU_ITEM_TYPE_INVALID = 0,
        MENU_ITEM_TYPE_COMMAND = 1,
        MENU_ITEM_TYPE_MENU = 2,
        MENU_ITEM_TYPE_SEPARATOR = 3,
    };

    Menu(CommandTarget& target, const std::string& title, int32_t id = 0);

    Menu(const Menu&) = delete;
    Menu& operator=(const Menu&) = delete;

    Menu* ref() {
        _refs++;
        return this;
    }
    void unref() {
        if (--_refs == 0) {
            delete this;
        }
    }

    CommandTarget& target() { return _target; }
    const std::string& title() const { return _title; }
    void set_title(const std::string& title) { _title = title; }
    int32_t id() const { return _id; }
    size_t item_count() const { return _items.size(); }

    void add_command(const std::string& text, int32_t command_id, int32_t state = 0);
    void add_separator();
    // Takes a reference to the sub-menu.
    void add_sub(Menu* sub);
    // The first command item with the id; nothing when there is none.
    void remove_command(int32_t command_id);
    // The first sub-menu item holding the menu, released; nothing when there is none.
    void remove_sub(Menu* sub);

    // MENU_ITEM_TYPE_INVALID past the end.
    ItemType item_type_at(size_t position) const;
    // Throw "incorrect item type" when the item at the position is of another type (or there is none).
    void command_at(size_t position, std::string& text, int32_t& command_id, int32_t& state) const;
    // The sub-menu with one more reference.
    Menu* sub_at(size_t position);

    // Frees every command item and releases every sub-menu.
    void clear();

private:
    ~Menu();

    struct CommandItem {
        std::string text;
        int32_t id;
        int32_t state;
    };
    struct Item {
        ItemType type;
        void* data;
    };

    CommandTarget& _target;
    std::string _title;
    int32_t _id;
    std::vector<Item> _items;
    int _refs;
};

// A foreign-menu client's pipe connection, as the application writes to it.
class ForeignMenuConnection {
public:
    virtual ~ForeignMenuConnection() {}
    virtual void write(const void* data, size_t size) = 0;
};
