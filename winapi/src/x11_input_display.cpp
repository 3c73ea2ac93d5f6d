#include "x11_input_display.h"

#include <map>
#include <utility>

// Xlib's internal header declares the close-display hook; it also defines min and max as macros.
#include <X11/Xlibint.h>
#undef min
#undef max

namespace winapi_internal {

namespace {

// By display and the number Xlib gave the hook; GUI thread only.
std::map<std::pair<Display*, int>, void (*)()>& hooks() {
    static std::map<std::pair<Display*, int>, void (*)()> list;
    return list;
}

int on_close(Display* display, XExtCodes* codes) {
    auto found = hooks().find({display, codes->extension});
    if (found != hooks().end()) {
        void (*forget)() = found->second;
        hooks().erase(found);
        forget();
    }
    return 0;
}

}  // namespace

void x11_forget_on_close(Display* display, void (*forget)()) {
    // A private "extension" of the connection is Xlib's way to be told when it closes.
    XExtCodes* codes = XAddExtension(display);
    if (!codes) {
        return;
    }
    hooks()[{display, codes->extension}] = forget;
    XESetCloseDisplay(display, codes->extension, on_close);
}

}  // namespace winapi_internal
