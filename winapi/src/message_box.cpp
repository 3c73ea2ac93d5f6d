// MessageBoxW on X11. The box is a top-level window on a private connection of its own: any thread may show
// one, and the GUI thread's connection and event handlers stay as they are. While the box is up, the calling
// thread keeps running its messages, waiting on its queue and on the box's connection at once.
//
// Text is drawn with Xft; each character takes the first font that has it, fontconfig finding further fonts
// for the characters the first one lacks (Chinese text in a Latin default font).
#include "winapi/winuser_message_box.h"
#include "winapi/synchapi.h"
#include "winapi/winuser.h"

#include "kernel_object.h"
#include "text_internal.h"

#include <X11/Xatom.h>
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace winapi_internal {
namespace {

const char* const text_font = "sans-serif:pixelsize=15";
const char* const icon_font = "sans-serif:bold:pixelsize=22";
constexpr size_t max_fonts = 8;  // the base font and the fallbacks found for missing characters
constexpr int max_lookups = 64;  // fontconfig searches for missing characters, each a few milliseconds
constexpr size_t max_characters = 65536;  // longer text is cut: the box could not show it anyway
constexpr int margin = 16;
constexpr int icon_size = 32;
constexpr int icon_gap = 12;
constexpr int button_width = 88;
constexpr int button_height = 26;
constexpr int min_width = 240;

int ignore_x_error(Display*, XErrorEvent*) {
    return 0;
}

int report_io_error(Display* display) {
    fprintf(stderr, "X connection to %s broken\n", DisplayString(display));
    return 0;
}

// The server went away: the box ends instead of the process.
void note_connection_lost(Display*, void* lost) {
    *static_cast<bool*>(lost) = true;
}

std::u32string code_points(const char16_t* text) {
    std::u32string out;
    for (size_t i = 0; text[i] && out.size() < max_characters; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c == '\r') {
            continue;
        }
        out += c == '\t' ? U' ' : c;
    }
    return out;
}

class Fonts {
public:
    Fonts(Display* display, int screen) : display_(display), screen_(screen) {
        if (XftFont* font = XftFontOpenName(display, screen, text_font)) {
            fonts_.push_back(font);
        }
    }
    ~Fonts() {
        for (XftFont* font : fonts_) {
            XftFontClose(display_, font);
        }
    }
    Fonts(const Fonts&) = delete;
    Fonts& operator=(const Fonts&) = delete;

    bool valid() const { return !fonts_.empty(); }

    // The first font that has the character; the base font (which draws its missing-glyph box) when none has.
    XftFont* font_for(char32_t c) {
        for (XftFont* font : fonts_) {
            if (XftCharExists(display_, font, c)) {
                return font;
            }
        }
        if (fonts_.size() < max_fonts && lookups_ < max_lookups && c >= 0x20 && missing_.insert(c).second) {
            ++lookups_;
            if (XftFont* font = fallback_for(c)) {
                fonts_.push_back(font);
                return font;
            }
        }
        return fonts_.front();
    }

    int advance(char32_t c) {
        FcChar32 glyph = c;
        XGlyphInfo info;
        XftTextExtents32(display_, font_for(c), &glyph, 1, &info);
        return info.xOff;
    }

    int ascent() const {
        int value = 0;
        for (XftFont* font : fonts_) {
            value = std::max(value, font->ascent);
        }
        return value;
    }
    int line_height() const {
        int descent = 0;
        for (XftFont* font : fonts_) {
            descent = std::max(descent, font->descent);
        }
        return ascent() + descent + 2;
    }

    // Draws a line run by run, each run in one font; returns its width.
    int draw(XftDraw* draw, const XftColor& colour, int x, int baseline, const std::u32string& line) {
        int start_x = x;
        size_t i = 0;
        while (i < line.size()) {
            XftFont* font = font_for(line[i]);
            size_t end = i + 1;
            while (end < line.size() && font_for(line[end]) == font) {
                ++end;
            }
            std::vector<FcChar32> run(line.begin() + i, line.begin() + end);
            XGlyphInfo info;
            XftTextExtents32(display_, font, run.data(), static_cast<int>(run.size()), &info);
            XftDrawString32(draw, &colour, font, x, baseline, run.data(), static_cast<int>(run.size()));
            x += info.xOff;
            i = end;
        }
        return x - start_x;
    }

private:
    XftFont* fallback_for(char32_t c) {
        FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(text_font));
        if (!pattern) {
            return nullptr;
        }
        FcCharSet* set = FcCharSetCreate();
        FcCharSetAddChar(set, c);
        FcPatternAddCharSet(pattern, FC_CHARSET, set);
        FcCharSetDestroy(set);
        FcResult result;
        FcPattern* match = XftFontMatch(display_, screen_, pattern, &result);
        FcPatternDestroy(pattern);
        if (!match) {
            return nullptr;
        }
        XftFont* font = XftFontOpenPattern(display_, match);  // owns the pattern from here on
        if (!font) {
            FcPatternDestroy(match);
            return nullptr;
        }
        if (!XftCharExists(display_, font, c)) {
            XftFontClose(display_, font);
            return nullptr;
        }
        return font;
    }

    Display* display_;
    int screen_;
    std::vector<XftFont*> fonts_;
    std::set<char32_t> missing_;  // characters no installed font has
    int lookups_ = 0;
};

// Lines of at most max_width pixels: broken at '\n', and where a line is too wide after its last space, or
// between characters where it has none (Chinese text has no spaces).
std::vector<std::u32string> wrap(Fonts& fonts, const std::u32string& text, int max_width, int* widest) {
    std::vector<std::u32string> lines;
    *widest = 0;
    std::u32string line;
    int width = 0;
    auto finish = [&] {
        lines.push_back(line);
        *widest = std::max(*widest, width);
        line.clear();
        width = 0;
    };
    for (char32_t c : text) {
        if (c == '\n') {
            finish();
            continue;
        }
        int advance = fonts.advance(c);
        if (width + advance > max_width && !line.empty()) {
            size_t space = line.rfind(U' ');
            std::u32string rest;
            if (space != std::u32string::npos && space > 0) {
                rest = line.substr(space + 1);
                line.resize(space);
            }
            width = 0;
            for (char32_t kept : line) {
                width += fonts.advance(kept);
            }
            finish();
            line = rest;
            for (char32_t moved : line) {
                width += fonts.advance(moved);
            }
        }
        line += c;
        width += advance;
    }
    finish();
    return lines;
}

// Waitable form of the box's connection: signalled while events are waiting or once the server is gone.
class ConnectionWait : public KernelObject {
public:
    ConnectionWait(Display* display, const bool* lost) : display_(display), lost_(lost) {}
    int wait_fd() const override { return ConnectionNumber(display_); }
    AcquireResult try_acquire() override {
        if (*lost_) {
            return AcquireResult::acquired;
        }
        int pending = XPending(display_);
        return *lost_ || pending > 0 ? AcquireResult::acquired : AcquireResult::not_signalled;
    }

private:
    Display* display_;
    const bool* lost_;
};

enum class Icon { none, error, question, warning, information };

Icon icon_of(UINT type) {
    switch (type & MB_ICONMASK) {
        case MB_ICONERROR:
            return Icon::error;
        case MB_ICONQUESTION:
            return Icon::question;
        case MB_ICONWARNING:
            return Icon::warning;
        case MB_ICONINFORMATION:
            return Icon::information;
        default:
            return Icon::none;
    }
}

class Box {
public:
    // display: a connection of the box's own, closed by the caller after the box.
    Box(Display* display, const bool* lost)
        : display_(display), lost_(lost), fonts_(display, DefaultScreen(display)) {}
    ~Box() {
        if (icon_font_) {
            XftFontClose(display_, icon_font_);
        }
        if (draw_) {
            XftDrawDestroy(draw_);
        }
        for (int i = 0; i < allocated_colours_; ++i) {
            XftColorFree(display_, DefaultVisual(display_, screen()), DefaultColormap(display_, screen()),
                         &colours_[i]);
        }
        if (gc_) {
            XFreeGC(display_, gc_);
        }
        if (window_) {
            XDestroyWindow(display_, window_);
            XFlush(display_);
        }
    }
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;

    bool create(const std::u32string& text, const std::string& caption, UINT type);
    bool done() const { return done_ || *lost_; }
    // Handles every event that has arrived.
    void handle_events();

private:
    enum Colour {
        background,
        foreground,
        button_face,
        button_pressed,
        button_border,
        icon_face,
        icon_mark,
        count
    };

    int screen() const { return DefaultScreen(display_); }
    void paint();
    void paint_icon();
    bool in_button(int x, int y) const {
        return x >= button_.x && y >= button_.y && x < button_.x + button_.width &&
               y < button_.y + button_.height;
    }
    void set_properties(const std::string& caption, UINT type);

    Display* display_;
    const bool* lost_;
    Fonts fonts_;
    XftFont* icon_font_ = nullptr;
    Window window_ = 0;
    GC gc_ = nullptr;
    XftDraw* draw_ = nullptr;
    XftColor colours_[count]{};
    int allocated_colours_ = 0;
    Atom delete_window_ = 0;
    Icon icon_ = Icon::none;
    std::vector<std::u32string> lines_;
    int width_ = 0;
    int height_ = 0;
    int text_left_ = 0;
    int text_bottom_ = 0;  // lines below this would run into the button
    XRectangle button_{};
    bool pressed_ = false;
    bool done_ = false;
};

bool Box::create(const std::u32string& text, const std::string& caption, UINT type) {
    if (!fonts_.valid()) {
        return false;
    }
    Visual* visual = DefaultVisual(display_, screen());
    Colormap colormap = DefaultColormap(display_, screen());
    icon_ = icon_of(type);
    const XRenderColor wanted[count] = {
        {0xF0F0, 0xF0F0, 0xF0F0, 0xFFFF},  // background
        {0x0000, 0x0000, 0x0000, 0xFFFF},  // text
        {0xFDFD, 0xFDFD, 0xFDFD, 0xFFFF},  // button
        {0xCCCC, 0xE4E4, 0xF7F7, 0xFFFF},  // button held down
        {0x0000, 0x7878, 0xD7D7, 0xFFFF},  // default button's border
        icon_ == Icon::error     ? XRenderColor{0xD3D3, 0x2F2F, 0x2F2F, 0xFFFF}
        : icon_ == Icon::warning ? XRenderColor{0xF2F2, 0xC2C2, 0x0000, 0xFFFF}
                                 : XRenderColor{0x1E1E, 0x6363, 0xC8C8, 0xFFFF},
        icon_ == Icon::warning ? XRenderColor{0x0000, 0x0000, 0x0000, 0xFFFF}
                               : XRenderColor{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF},
    };
    for (const XRenderColor& colour : wanted) {
        if (!XftColorAllocValue(display_, visual, colormap, &colour, &colours_[allocated_colours_])) {
            return false;
        }
        ++allocated_colours_;
    }

    // Layout: icon at the left, text beside it, the button centred at the bottom; the box centred on the
    // screen, never wider than three quarters of it nor taller than it.
    int screen_width = DisplayWidth(display_, screen());
    int screen_height = DisplayHeight(display_, screen());
    int icon_part = icon_ == Icon::none ? 0 : icon_size + icon_gap;
    int max_text_width = std::max(100, screen_width * 3 / 4 - 2 * margin - icon_part);
    int text_width = 0;
    lines_ = wrap(fonts_, text, max_text_width, &text_width);
    int line_height = fonts_.line_height();
    int text_height = static_cast<int>(std::min<size_t>(lines_.size(), 4096)) * line_height;
    width_ = std::max({min_width, 2 * margin + icon_part + text_width, 2 * margin + button_width});
    int content_height = std::max(text_height, icon_part ? icon_size : 0);
    height_ =
        std::min(margin + content_height + margin + button_height + margin, std::max(screen_height, 120));
    text_left_ = margin + icon_part;
    button_ = XRectangle{static_cast<short>((width_ - button_width) / 2),
                         static_cast<short>(height_ - margin - button_height), button_width, button_height};
    text_bottom_ = button_.y - margin / 2;
    icon_font_ = XftFontOpenName(display_, screen(), icon_font);

    XSetWindowAttributes attributes{};
    attributes.event_mask =
        ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
    attributes.background_pixel = colours_[background].pixel;
    int x = std::max(0, (screen_width - width_) / 2);
    int y = std::max(0, (screen_height - height_) / 2);
    window_ = XCreateWindow(display_, RootWindow(display_, screen()), x, y, static_cast<unsigned>(width_),
                            static_cast<unsigned>(height_), 0, CopyFromParent, InputOutput, CopyFromParent,
                            CWEventMask | CWBackPixel, &attributes);
    if (!window_) {
        return false;
    }
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    draw_ = XftDrawCreate(display_, window_, visual, colormap);
    if (!gc_ || !draw_) {
        return false;
    }
    set_properties(caption, type);
    XMapRaised(display_, window_);
    XFlush(display_);
    return true;
}

void Box::set_properties(const std::string& caption, UINT type) {
    Atom utf8_string = XInternAtom(display_, "UTF8_STRING", False);
    auto set_text = [&](const char* name) {
        XChangeProperty(display_, window_, XInternAtom(display_, name, False), utf8_string, 8,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(caption.data()),
                        static_cast<int>(caption.size()));
    };
    set_text("_NET_WM_NAME");
    set_text("WM_NAME");

    char name[] = "messagebox";
    char class_name[] = "MessageBox";
    XClassHint class_hint{name, class_name};
    XSetClassHint(display_, window_, &class_hint);

    delete_window_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display_, window_, &delete_window_, 1);

    XWMHints wm_hints{};
    wm_hints.flags = InputHint | StateHint;
    wm_hints.input = True;
    wm_hints.initial_state = NormalState;
    XSetWMHints(display_, window_, &wm_hints);

    XSizeHints size_hints{};
    size_hints.flags = PPosition | PSize | PMinSize | PMaxSize;
    size_hints.min_width = size_hints.max_width = width_;
    size_hints.min_height = size_hints.max_height = height_;
    XSetWMNormalHints(display_, window_, &size_hints);

    Atom dialog = XInternAtom(display_, "_NET_WM_WINDOW_TYPE_DIALOG", False);
    XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&dialog), 1);
    // Set before mapping, this is the state the window manager starts the window in.
    if (type & (MB_TOPMOST | MB_SYSTEMMODAL)) {
        Atom above = XInternAtom(display_, "_NET_WM_STATE_ABOVE", False);
        XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_STATE", False), XA_ATOM, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&above), 1);
    }
}

void Box::handle_events() {
    while (!done() && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.xany.window != window_) {
            continue;
        }
        switch (event.type) {
            case Expose:
                if (event.xexpose.count == 0) {
                    paint();
                }
                break;
            case MapNotify:
                // Without a window manager nobody else gives the box the keyboard.
                XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
                break;
            case KeyPress: {
                KeySym key = XLookupKeysym(&event.xkey, 0);
                if (key == XK_Return || key == XK_KP_Enter || key == XK_Escape || key == XK_space) {
                    done_ = true;
                }
                break;
            }
            case ButtonPress:
                if (event.xbutton.button == Button1 && in_button(event.xbutton.x, event.xbutton.y)) {
                    pressed_ = true;
                    paint();
                }
                break;
            case ButtonRelease:
                if (event.xbutton.button == Button1 && pressed_) {
                    pressed_ = false;
                    done_ = in_button(event.xbutton.x, event.xbutton.y);
                    paint();
                }
                break;
            case ClientMessage:
                if (event.xclient.format == 32 &&
                    static_cast<Atom>(event.xclient.data.l[0]) == delete_window_) {
                    done_ = true;
                }
                break;
            default:
                break;
        }
    }
}

void Box::paint() {
    XftDrawRect(draw_, &colours_[background], 0, 0, static_cast<unsigned>(width_),
                static_cast<unsigned>(height_));
    paint_icon();
    int line_height = fonts_.line_height();
    int ascent = fonts_.ascent();
    int top = margin;
    if (icon_ != Icon::none && static_cast<int>(lines_.size()) * line_height < icon_size) {
        top +=
            (icon_size - static_cast<int>(lines_.size()) * line_height) / 2;  // a short text beside the icon
    }
    for (const std::u32string& line : lines_) {
        if (top + line_height > text_bottom_) {
            break;
        }
        fonts_.draw(draw_, colours_[foreground], text_left_, top + ascent, line);
        top += line_height;
    }

    XftDrawRect(draw_, &colours_[button_border], button_.x, button_.y, button_.width, button_.height);
    XftDrawRect(draw_, &colours_[pressed_ ? button_pressed : button_face], button_.x + 2, button_.y + 2,
                button_.width - 4u, button_.height - 4u);
    std::u32string label = U"OK";
    int label_width = 0;
    for (char32_t c : label) {
        label_width += fonts_.advance(c);
    }
    int baseline = button_.y + (button_.height + fonts_.ascent()) / 2 - 1;
    fonts_.draw(draw_, colours_[foreground], button_.x + (button_.width - label_width) / 2, baseline, label);
    XFlush(display_);
}

void Box::paint_icon() {
    if (icon_ == Icon::none) {
        return;
    }
    int x = margin;
    int y = margin;
    XSetForeground(display_, gc_, colours_[icon_face].pixel);
    if (icon_ == Icon::warning) {
        XPoint corners[] = {{static_cast<short>(x + icon_size / 2), static_cast<short>(y)},
                            {static_cast<short>(x + icon_size), static_cast<short>(y + icon_size - 1)},
                            {static_cast<short>(x), static_cast<short>(y + icon_size - 1)}};
        XFillPolygon(display_, window_, gc_, corners, 3, Convex, CoordModeOrigin);
    } else {
        XFillArc(display_, window_, gc_, x, y, icon_size, icon_size, 0, 360 * 64);
    }
    if (icon_ == Icon::error) {
        XSetForeground(display_, gc_, colours_[icon_mark].pixel);
        XSetLineAttributes(display_, gc_, 3, LineSolid, CapRound, JoinRound);
        XDrawLine(display_, window_, gc_, x + 10, y + 10, x + icon_size - 10, y + icon_size - 10);
        XDrawLine(display_, window_, gc_, x + icon_size - 10, y + 10, x + 10, y + icon_size - 10);
        return;
    }
    FcChar32 mark = icon_ == Icon::information ? 'i' : icon_ == Icon::question ? '?' : '!';
    XftFont* font = icon_font_ ? icon_font_ : fonts_.font_for(mark);
    XGlyphInfo info;
    XftTextExtents32(display_, font, &mark, 1, &info);
    int baseline = y + (icon_size + font->ascent - font->descent) / 2 + (icon_ == Icon::warning ? 3 : 0);
    XftDrawString32(draw_, &colours_[icon_mark], font, x + (icon_size - info.xOff) / 2, baseline, &mark, 1);
}

// Runs the box and the thread's messages until the box is closed, the server goes away or a WM_QUIT comes;
// false when the box's connection cannot be waited on.
bool run_modal(Box& box, Display* display, const bool* lost) {
    HANDLE connection = handle_insert(std::make_shared<ConnectionWait>(display, lost));
    if (!connection) {
        return false;
    }
    bool quit = false;
    WPARAM quit_code = 0;
    while (!quit) {
        box.handle_events();
        if (box.done()) {
            break;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                quit_code = msg.wParam;
                break;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (quit || box.done()) {
            break;
        }
        if (MsgWaitForMultipleObjectsEx(1, &connection, INFINITE, QS_ALLINPUT, 0) == WAIT_FAILED) {
            break;
        }
    }
    CloseHandle(connection);
    if (quit) {
        // The quit belongs to the caller's loop: the box ends and hands it on, as Windows' modal loops do.
        PostQuitMessage(static_cast<int>(quit_code));
    }
    return true;
}

// The boxes' connections to the X server. A connection is kept open once its box is closed and the next box
// takes it: Xft and Xrender keep per-connection state in lists keyed by the Display's address, and closing a
// connection can leave an entry behind (Xft's close hook frees glyph sets through Xrender after Xrender has
// dropped its own entry). A later connection given the same address then inherits extension codes freed with
// the old one and sends requests under a garbage opcode: the box hung waiting for a reply that never came, or
// Xlib aborted on a reply of the wrong length. Kept connections never give their address away. Only a
// connection whose server has gone is closed.
struct BoxConnection {
    Display* display = nullptr;
    bool lost = false;  // written by the connection's exit handler
};

class BoxConnections {
public:
    // An idle connection to the current display, or a new one (fresh set); null when the server cannot be
    // reached.
    static BoxConnection* take(bool* fresh) {
        const char* wanted = getenv("DISPLAY");
        std::string name = wanted ? wanted : "";
        {
            std::lock_guard<std::mutex> lock(mutex());
            auto& idle = pool();
            for (auto it = idle.begin(); it != idle.end(); ++it) {
                if (DisplayString((*it)->display) == name) {
                    BoxConnection* connection = *it;
                    idle.erase(it);
                    *fresh = false;
                    return connection;
                }
            }
        }
        Display* display = XOpenDisplay(nullptr);
        if (!display) {
            return nullptr;
        }
        auto* connection = new BoxConnection{display, false};
        XSetIOErrorExitHandler(display, note_connection_lost, &connection->lost);
        *fresh = true;
        return connection;
    }

    // Back to the pool once its box is gone, with the box's requests sent and its events dropped.
    static void give_back(BoxConnection* connection) {
        if (!connection->lost) {
            XSync(connection->display, True);
        }
        if (connection->lost) {
            XCloseDisplay(connection->display);
            delete connection;
            return;
        }
        std::lock_guard<std::mutex> lock(mutex());
        pool().push_back(connection);
    }

private:
    // Never destroyed: a box may be closing on another thread while the process exits.
    static std::mutex& mutex() {
        static auto* mutex = new std::mutex;
        return *mutex;
    }
    static std::vector<BoxConnection*>& pool() {
        static auto* pool = new std::vector<BoxConnection*>;
        return *pool;
    }
};

// The box cannot be shown: its text goes where someone may still read it.
int report_unshown(const char16_t* caption, const char16_t* text) {
    std::string line = utf16_to_utf8(caption) + ": " + utf16_to_utf8(text) + "\n";
    fputs(line.c_str(), stderr);
    fflush(stderr);
    return IDOK;
}

}  // namespace
}  // namespace winapi_internal

#if defined(__SANITIZE_ADDRESS__)
#define KTW_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KTW_LEAK_CHECKED 1
#endif
#endif
#ifdef KTW_LEAK_CHECKED
// Fontconfig loses a few bytes of its own while it parses its configuration the first time Xft opens a font
// (nothing of ours, and once per process); the leak checker of sanitizer builds is told so. The library has
// no frame pointers, so the checker's stacks end inside it and only the library's name can be matched.
// Defined here so that every program that can show a box carries it.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
#endif

int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    using namespace winapi_internal;
    if ((type & MB_TYPEMASK) != MB_OK) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char16_t* shown_caption = caption ? caption : u"Error";
    const char16_t* shown_text = text ? text : u"";

    // Protocol errors on the box's connection are of no consequence, as on the layer's other connections.
    // Xlib's default handler of a broken connection ends the process; this one only reports, and each
    // connection's exit handler decides (the box's ends the box).
    static std::once_flag errors_once;
    std::call_once(errors_once, [] {
        XSetErrorHandler(ignore_x_error);
        XSetIOErrorHandler(report_io_error);
    });
    // A kept connection may have lost its server since the last box: then one more try on a fresh one.
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool fresh = false;
        BoxConnection* connection = BoxConnections::take(&fresh);
        if (!connection) {
            break;
        }
        bool shown;
        {
            Box box(connection->display, &connection->lost);
            shown = box.create(code_points(shown_text), utf16_to_utf8(shown_caption), type) &&
                    run_modal(box, connection->display, &connection->lost);
        }
        bool lost = connection->lost;
        BoxConnections::give_back(connection);
        if (shown && !lost) {
            return IDOK;
        }
        if (!lost || fresh) {
            break;
        }
    }
    return report_unshown(shown_caption, shown_text);
}
