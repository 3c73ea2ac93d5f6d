#include "app/menu.h"

#include "runtime/exception.h"

Menu::Menu(CommandTarget& target, const std::string& title, int32_t id)
    : _target(target), _title(title), _id(id), _refs(1) {}

Menu::~Menu() {
    clear();
}

void Menu::add_command(const std::string& text, int32_t command_id, int32_t state) {
    _items.push_back({MENU_ITEM_TYPE_COMMAND, new CommandItem{text, command_id, state}});
}

void Menu::add_separator() {
    _items.push_back({MENU_ITEM_TYPE_SEPARATOR, nullptr});
}

void Menu::add_sub(Menu* sub) {
    _items.push_back({MENU_ITEM_TYPE_MENU, sub->ref()});
}

void Menu::remove_command(int32_t command_id) {
    for (auto it = _items.begin(); it != _items.end(); ++it) {
        if (it->type == MENU_ITEM_TYPE_COMMAND && static_cast<CommandItem*>(it->data)->id == command_id) {
            delete static_cast<CommandItem*>(it->data);
            _items.erase(it);
            return;
        }
    }
}

void Menu::remove_sub(Menu* sub) {
    for (auto it = _items.begin(); it != _items.end(); ++it) {
        if (it->type == MENU_ITEM_TYPE_MENU && it->data == sub) {
            _items.erase(it);
            sub->unref();
            return;
        }
    }
}

Menu::ItemType Menu::item_type_at(size_t position) const {
    return position < _items.size() ? _items[position].type : MENU_ITEM_TYPE_INVALID;
}

void Menu::command_at(size_t position, std::string& text, int32_t& command_id, int32_t& state) const {
    if (item_type_at(position) != MENU_ITEM_TYPE_COMMAND) {
        THROW("incorrect item type");
    }
    const CommandItem* item = static_cast<const CommandItem*>(_items[position].data);
    text = item->text;
    command_id = item->id;
    state = item->state;
}

Menu* Menu::sub_at(size_t position) {
    if (item_type_at(position) != MENU_ITEM_TYPE_MENU) {
        THROW("incorrect item type");
    }
    return static_cast<Menu*>(_items[position].data)->ref();
}

void Menu::clear() {
    std::vector<Item> items;
    items.swap(_items);
    for (const Item& item : items) {
        if (item.type == MENU_ITEM_TYPE_COMMAND) {
            delete static_cast<CommandItem*>(item.data);
        } else if (item.type == MENU_ITEM_TYPE_MENU) {
            static_cast<Menu*>(item.data)->unref();
        }
    }
}
