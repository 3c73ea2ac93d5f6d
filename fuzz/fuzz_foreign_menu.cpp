// Foreign-menu pipe records from a local program, fed to one connection in reads of the sizes the input
// chooses: the first byte of each read is its length, the bytes after it its data. Whatever arrives, records
// change the menu, are skipped or end the connection; never a crash, an over-read or a stall.
#include "app/foreign_menu.h"
#include "runtime/log.h"

#include <cstdint>
#include <cstdlib>

namespace {

class FuzzApplication : public ForeignMenuInterface {
public:
    FuzzApplication() : _app_menu(new Menu(*this, "")) {}
    void do_command(int) override {}
    int get_foreign_menu_item_id(ForeignMenuConnection*, int32_t item_id) override {
        return 1024 + (item_id & 1023);
    }
    void clear_menu_items(ForeignMenuConnection*) override {}
    void remove_menu_item(int) override {}
    Menu* get_app_menu() override { return _app_menu->ref(); }
    void update_menu() override {
        for (size_t i = 0; i < _app_menu->item_count(); i++) {
            Menu* sub = _app_menu->sub_at(i);
            for (size_t j = 0; j < sub->item_count(); j++) {
                std::string text;
                int32_t id;
                int32_t state;
                sub->command_at(j, text, id, state);
            }
            sub->unref();
        }
    }

private:
    Menu* _app_menu;
};

struct Setup {
    Setup() : loop(nullptr), menu(application, loop, false) { log_set_threshold(4); }
    ProcessLoop loop;
    FuzzApplication application;
    ForeignMenu menu;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    unsetenv("DISPLAY");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup* setup = new Setup();
    ForeignMenuPipeConnection* connection = static_cast<ForeignMenuPipeConnection*>(setup->menu.create());
    bool alive = true;
    size_t pos = 0;
    while (alive && pos < size) {
        size_t length = data[pos++];
        if (length > size - pos) {
            length = size - pos;
        }
        alive = connection->feed(data + pos, uint32_t(length));
        pos += length;
    }
    if (alive) {
        setup->menu.remove_connection(connection);
    }
    return 0;
}
