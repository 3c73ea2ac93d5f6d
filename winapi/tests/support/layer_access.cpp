#include "support/layer_access.h"

#include "../../src/cursor_internal.h"
#include "../../src/x11_connection.h"

namespace test_support {

Display* layer_x11_display() {
    return winapi_internal::x11_display();
}

void layer_pump_x11_events() {
    winapi_internal::x11_pump_events();
}

bool layer_cursor_exists(HCURSOR cursor) {
    return winapi_internal::cursor_lookup(cursor) != nullptr;
}

std::vector<uint32_t> layer_cursor_picture(HCURSOR cursor) {
    auto object = winapi_internal::cursor_lookup(cursor);
    return object ? object->picture.argb : std::vector<uint32_t>{};
}

}  // namespace test_support
