// How a session gets its parameters: from its start command, or from the parent client that started it.
//
// Debug start: "debug ip A.B.C.D port N vmid N" names the server, and the connection starts at once.
// Parent start: "<session index> <number> [title]": the session window is announced to the parent client's
// window (0x502), and the parent then sends its blocks as WM_COPYDATA to the session window; the session
// block (0x201) starts the connection. The session screen hands its start command and every WM_COPYDATA here.
//
// Everything the parent sends is untrusted: a block of the wrong size, a size word that is not within the
// message or a count that does not fit the block is refused with a logged error and changes nothing.
//
// Main thread only.
#pragma once

#include "platform/parent_blocks.h"
#include "platform/session_block.h"
#include "winapi/windows.h"

#include <cstdint>
#include <string>
#include <vector>

namespace session_command {

// The parent client's window.
inline constexpr const char16_t* PARENT_CLASS = u"ReRezEdurorAraRezeveDivur";
inline constexpr const char16_t* PARENT_TITLE = u"RemoteApp_Client_VDI";

// Messages posted to the parent.
enum ParentMessage : UINT {
    MSG_ANNOUNCE = 0x502,     // wParam session index, lParam session window
    MSG_ACKNOWLEDGE = 0x545,  // wParam session index, lParam ACK_SESSION_BLOCK
    MSG_SESSION_ENDED = 0x607,
};
enum : LPARAM { ACK_SESSION_BLOCK = 6 };

// WM_COPYDATA codes (dwData) from the parent.
enum BlockCode : ULONG_PTR {
    CODE_SESSION_BLOCK = 0x201,
    CODE_USB_RULES = 0x203,
    CODE_SYSTEM_HUBS = 0x204,
    CODE_USB_ACCELERATION_BLACK_LIST = 0x205,
    CODE_GUEST_POLICY = 0x206,
    CODE_CAMERA_LIST = 0x207,
    CODE_CAMERA_CONFIGS = 0x208,
    CODE_WATERMARK = 0x209,
    CODE_TIME_STAMP = 0x20A,
};

// Entry sizes of the list blocks, each behind a header {u32 size of the whole block, u32 count}.
enum : size_t {
    LIST_HEADER = 8,
    USB_RULE_ENTRY = 524,       // char pattern[520], u32 quirks
    CAMERA_ENTRY = 12,          // u32 vendor, product, third word
    CAMERA_CONFIG_ENTRY = 316,  // fourteen u32, char text[260]
    HUB_ENTRY = 8,              // u32 vendor, product; no header
    TIME_STAMP_MAX = 20,        // decimal digits of a Unix time, no terminator
};

// The session window's timer that ends a session whose window never got its first size.
enum : UINT { START_TIMEOUT_TIMER = 1000, START_TIMEOUT_MS = 120000 };

// The texts' room in the titles, terminator included.
enum : size_t { TITLE_ROOM = 720 };

}  // namespace session_command

// What the start command and the parent's blocks need of the application and the session screen.
class SessionCommandHost {
public:
    virtual ~SessionCommandHost() = default;

    // Starts the connection; false when refused (one has been started already).
    virtual bool connect(const std::string& host, int port, int secure_port, const std::string& logon_user,
                         const std::string& link_password, const uint64_t* vm_id, uint32_t logon_mode,
                         const std::string& vdi_user_name) = 0;
    // Reads the per-user window state the block names; false when it cannot.
    virtual bool reg_read_userinfo(const SessionBlock::Bytes& block) = 0;
    // Ends the main loop when it next turns.
    virtual void quit() = 0;
    // The session was started by the debug command: the first resize starts no navigation bar, sends no
    // 0x545.
    virtual void set_debug_connect() = 0;
    // The main channel client's second automatic-logon text.
    virtual void set_auto_logon_password(const std::string& password) = 0;
    // The navigation bar is not to be restarted.
    virtual void clear_nav_bar_restart() = 0;
    // A system hub's ids for the USB redirection.
    virtual void add_system_hub(uint32_t vendor, uint32_t product) = 0;
    // New watermark settings (kept in ParentBlocks already): start the watermark and write its settings file.
    virtual void watermark_settings_changed() = 0;
    // The time text changed while the watermark shows the time.
    virtual void update_watermark() = 0;
};

class SessionCommand {
public:
    // session_window: the session screen's window (may be null while it has none).
    SessionCommand(SessionCommandHost& host, HWND session_window);

    // args: the start command's arguments after the program name. False, logged, when the command is bad
    // or, in parent mode, the parent's window or the session window is missing: the application then quits.
    bool parse_command(const std::vector<std::u16string>& args);

    // A WM_COPYDATA that reached the session window: 0 for a null record, otherwise 1.
    int on_copy_data(HWND window, const COPYDATASTRUCT* copy);

    uint32_t session_index() const { return session_index_; }
    HWND parent_window() const { return parent_window_; }
    HWND nav_bar_target() const { return nav_bar_target_; }
    const std::string& title() const { return title_; }
    const std::u16string& wide_title() const { return wide_title_; }

    // The automatic-logon user of a logon mode, from the block's user name "domain\user": 0 none, 1 the
    // user alone, 2 the whole name; any other mode none.
    static std::string logon_user(const std::string& user_name, uint32_t logon_mode);
    // A Unix time in decimal (at most TIME_STAMP_MAX digits) as local "%Y/%m/%d %H:%M"; false when the
    // text is not such a number.
    static bool format_time_stamp(const std::string& digits, std::string* text);

private:
    bool parse_debug(const std::vector<std::u16string>& args, const std::string& line);
    bool parse_parent(const std::vector<std::u16string>& args);

    void take_session_block(const uint8_t* data, size_t size);
    void take_usb_list(ULONG_PTR code, const uint8_t* data, size_t size);
    void take_system_hubs(const uint8_t* data, size_t size);
    void take_guest_policy(const uint8_t* data, size_t size);
    void take_camera_list(ULONG_PTR code, const uint8_t* data, size_t size);
    void take_watermark(const uint8_t* data, size_t size);
    void take_time_stamp(const uint8_t* data, size_t size);

    SessionCommandHost& host_;
    HWND session_window_;
    HWND parent_window_ = nullptr;
    HWND nav_bar_target_ = nullptr;
    uint32_t session_index_ = 0;
    std::string title_;
    std::u16string wide_title_;
};
