#include "display/session_dialogs.h"

#include "runtime/log.h"

namespace {

const char16_t* const DIALOG_CLASS = u"ktw_session_dialog";

void register_class() {
    static bool registered = false;
    if (registered) {
        return;
    }
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = DIALOG_CLASS;
    registered = RegisterClassW(&wc) != 0;
}

}  // namespace

bool SessionDialog::create(HWND owner) {
    destroy();
    register_class();
    _window = CreateWindowExW(0, DIALOG_CLASS, u"", WS_POPUP, 0, 0, 1, 1, owner, nullptr, nullptr, nullptr);
    if (!_window) {
        LOG_ERROR("%s dialog: create window failed", _name);
        return false;
    }
    return true;
}

void SessionDialog::show() {
    LOG_INFO("%s dialog opened (its contents are not built yet)", _name);
}

void SessionDialog::destroy() {
    if (_window) {
        DestroyWindow(_window);
        _window = nullptr;
    }
}

void SessionDialog::set_title(const std::string& title) {
    LOG_DEBUG("%s dialog title %s", _name, title.c_str());
}

LRESULT SessionDialog::on_timeout(WPARAM code) {
    LOG_INFO("%s dialog: result %lu", _name, static_cast<unsigned long>(code));
    return 0;
}

void SessionDialog::on_restart_sent() {
    LOG_INFO("%s dialog: restart sent", _name);
}
