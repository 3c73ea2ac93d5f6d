#include "x11_keyboard.h"

#include <X11/XKBlib.h>

#include <array>
#include <cstring>

#include "winapi/winuser_display.h"
#include "x11_connection.h"
#include "x11_input_display.h"

namespace winapi_internal {

namespace {

struct KeyEntry {
    char name[5];    // XKB key name
    unsigned evdev;  // Linux input code (X key code - 8 on evdev servers)
    BYTE scancode;   // set-1 make code without E0
    bool extended;
};

// Every key with a PC scan code that a PC keyboard sends.
// clang-format off
constexpr KeyEntry kKeys[] = {
    {"ESC", 1, 0x01, false},   {"AE01", 2, 0x02, false},  {"AE02", 3, 0x03, false},  {"AE03", 4, 0x04, false},
    {"AE04", 5, 0x05, false},  {"AE05", 6, 0x06, false},  {"AE06", 7, 0x07, false},  {"AE07", 8, 0x08, false},
    {"AE08", 9, 0x09, false},  {"AE09", 10, 0x0A, false}, {"AE10", 11, 0x0B, false}, {"AE11", 12, 0x0C, false},
    {"AE12", 13, 0x0D, false}, {"BKSP", 14, 0x0E, false}, {"TAB", 15, 0x0F, false},  {"AD01", 16, 0x10, false},
    {"AD02", 17, 0x11, false}, {"AD03", 18, 0x12, false}, {"AD04", 19, 0x13, false}, {"AD05", 20, 0x14, false},
    {"AD06", 21, 0x15, false}, {"AD07", 22, 0x16, false}, {"AD08", 23, 0x17, false}, {"AD09", 24, 0x18, false},
    {"AD10", 25, 0x19, false}, {"AD11", 26, 0x1A, false}, {"AD12", 27, 0x1B, false}, {"RTRN", 28, 0x1C, false},
    {"LCTL", 29, 0x1D, false}, {"AC01", 30, 0x1E, false}, {"AC02", 31, 0x1F, false}, {"AC03", 32, 0x20, false},
    {"AC04", 33, 0x21, false}, {"AC05", 34, 0x22, false}, {"AC06", 35, 0x23, false}, {"AC07", 36, 0x24, false},
    {"AC08", 37, 0x25, false}, {"AC09", 38, 0x26, false}, {"AC10", 39, 0x27, false}, {"AC11", 40, 0x28, false},
    {"TLDE", 41, 0x29, false}, {"LFSH", 42, 0x2A, false}, {"BKSL", 43, 0x2B, false}, {"AB01", 44, 0x2C, false},
    {"AB02", 45, 0x2D, false}, {"AB03", 46, 0x2E, false}, {"AB04", 47, 0x2F, false}, {"AB05", 48, 0x30, false},
    {"AB06", 49, 0x31, false}, {"AB07", 50, 0x32, false}, {"AB08", 51, 0x33, false}, {"AB09", 52, 0x34, false},
    {"AB10", 53, 0x35, false}, {"RTSH", 54, 0x36, false}, {"KPMU", 55, 0x37, false}, {"LALT", 56, 0x38, false},
    {"SPCE", 57, 0x39, false}, {"CAPS", 58, 0x3A, false}, {"FK01", 59, 0x3B, false}, {"FK02", 60, 0x3C, false},
    {"FK03", 61, 0x3D, false}, {"FK04", 62, 0x3E, false}, {"FK05", 63, 0x3F, false}, {"FK06", 64, 0x40, false},
    {"FK07", 65, 0x41, false}, {"FK08", 66, 0x42, false}, {"FK09", 67, 0x43, false}, {"FK10", 68, 0x44, false},
    // Windows lists Num Lock among the extended keys although its make code has no E0.
    {"NMLK", 69, 0x45, true},  {"SCLK", 70, 0x46, false}, {"KP7", 71, 0x47, false},  {"KP8", 72, 0x48, false},
    {"KP9", 73, 0x49, false},  {"KPSU", 74, 0x4A, false}, {"KP4", 75, 0x4B, false},  {"KP5", 76, 0x4C, false},
    {"KP6", 77, 0x4D, false},  {"KPAD", 78, 0x4E, false}, {"KP1", 79, 0x4F, false},  {"KP2", 80, 0x50, false},
    {"KP3", 81, 0x51, false},  {"KP0", 82, 0x52, false},  {"KPDL", 83, 0x53, false}, {"LSGT", 86, 0x56, false},
    {"FK11", 87, 0x57, false}, {"FK12", 88, 0x58, false}, {"AB11", 89, 0x73, false}, {"HENK", 92, 0x79, false},
    {"HKTG", 93, 0x70, false}, {"MUHE", 94, 0x7B, false}, {"KPEN", 96, 0x1C, true},  {"RCTL", 97, 0x1D, true},
    {"KPDV", 98, 0x35, true},  {"PRSC", 99, 0x37, true},  {"RALT", 100, 0x38, true}, {"HOME", 102, 0x47, true},
    {"UP", 103, 0x48, true},   {"PGUP", 104, 0x49, true}, {"LEFT", 105, 0x4B, true}, {"RGHT", 106, 0x4D, true},
    {"END", 107, 0x4F, true},  {"DOWN", 108, 0x50, true}, {"PGDN", 109, 0x51, true}, {"INS", 110, 0x52, true},
    {"DELE", 111, 0x53, true}, {"MUTE", 113, 0x20, true}, {"VOL-", 114, 0x2E, true}, {"VOL+", 115, 0x30, true},
    {"POWR", 116, 0x5E, true},
    // Pause sends E1 1D 45; Windows reports scan 0x45 without the extended flag.
    {"PAUS", 119, 0x45, false}, {"I129", 121, 0x7E, false},
    // Hangul and Hanja send the single bytes F2 and F1, which set 1 reads as the break codes of 0x72 and 0x71.
    {"HNGL", 122, 0x72, false}, {"HJCV", 123, 0x71, false}, {"AE13", 124, 0x7D, false}, {"LWIN", 125, 0x5B, true},
    {"RWIN", 126, 0x5C, true},  {"COMP", 127, 0x5D, true},  {"I150", 142, 0x5F, true}, {"I151", 143, 0x63, true},
};
// clang-format on

const KeyEntry* find_by_name(const char* name) {
    char key[5] = {};
    std::strncpy(key, name, 4);
    for (const KeyEntry& entry : kKeys) {
        if (std::strcmp(entry.name, key) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

const KeyEntry* find_by_evdev(unsigned code) {
    for (const KeyEntry& entry : kKeys) {
        if (entry.evdev == code) {
            return &entry;
        }
    }
    return nullptr;
}

// Scan code per X key code of the display the table was read from; main (GUI) thread only. Read again after a
// keyboard mapping change.
struct KeycodeTable {
    Display* display = nullptr;
    bool valid = false;
    bool have_names = false;
    std::array<const KeyEntry*, 256> keys{};
};

KeycodeTable& keycode_table() {
    static KeycodeTable table;
    return table;
}

void load_keycode_table(Display* display, KeycodeTable& table) {
    if (table.display != display) {
        x11_forget_on_close(display, [] { keycode_table() = KeycodeTable{}; });
    }
    table = KeycodeTable{};
    table.display = display;
    table.valid = true;
    int opcode, event, error, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &event, &error, &major, &minor)) {
        return;
    }
    XkbDescPtr desc = XkbGetMap(display, 0, XkbUseCoreKbd);
    if (!desc) {
        return;
    }
    if (XkbGetNames(display, XkbKeyNamesMask, desc) == Success && desc->names && desc->names->keys) {
        table.have_names = true;
        for (unsigned code = desc->min_key_code; code <= desc->max_key_code && code < table.keys.size();
             ++code) {
            table.keys[code] = find_by_name(desc->names->keys[code].name);
        }
    }
    XkbFreeKeyboard(desc, 0, True);
}

}  // namespace

bool scancode_of_key_name(const char* name, UINT* scancode, bool* extended) {
    const KeyEntry* entry = find_by_name(name);
    if (!entry) {
        return false;
    }
    *scancode = entry->scancode;
    *extended = entry->extended;
    return true;
}

namespace {

// The table for this display, read when it is stale.
const KeycodeTable& current_keycode_table(Display* display) {
    KeycodeTable& table = keycode_table();
    if (!table.valid || table.display != display) {
        static bool watching = false;
        if (!watching) {
            watching = true;
            x11_add_event_handler([](XEvent& event) {
                if (event.type == MappingNotify) {
                    keycode_table().valid = false;
                }
                return false;
            });
        }
        load_keycode_table(display, table);
    }
    return table;
}

const KeyEntry* entry_of_keycode(const KeycodeTable& table, unsigned keycode) {
    return table.have_names ? table.keys[keycode] : (keycode >= 8 ? find_by_evdev(keycode - 8) : nullptr);
}

}  // namespace

bool x11_key_to_scancode(Display* display, unsigned keycode, UINT* scancode, bool* extended) {
    if (!display || keycode > 255) {
        return false;
    }
    const KeyEntry* entry = entry_of_keycode(current_keycode_table(display), keycode);
    if (!entry) {
        return false;
    }
    *scancode = entry->scancode;
    *extended = entry->extended;
    return true;
}

unsigned x11_scancode_to_key(Display* display, UINT scancode, bool extended) {
    if (!display) {
        return 0;
    }
    const KeycodeTable& table = current_keycode_table(display);
    for (unsigned keycode = 8; keycode < table.keys.size(); ++keycode) {
        const KeyEntry* entry = entry_of_keycode(table, keycode);
        if (entry && entry->scancode == scancode && entry->extended == extended) {
            return keycode;
        }
    }
    return 0;
}

namespace {

struct VkEntry {
    BYTE scancode;
    bool extended;
    BYTE vk;        // generic, as WM_KEYDOWN carries it
    BYTE sided_vk;  // left/right form for the modifiers, else the same as vk
};

// clang-format off
constexpr VkEntry kVirtualKeys[] = {
    {0x01, false, VK_ESCAPE, VK_ESCAPE},
    {0x02, false, '1', '1'}, {0x03, false, '2', '2'}, {0x04, false, '3', '3'}, {0x05, false, '4', '4'},
    {0x06, false, '5', '5'}, {0x07, false, '6', '6'}, {0x08, false, '7', '7'}, {0x09, false, '8', '8'},
    {0x0A, false, '9', '9'}, {0x0B, false, '0', '0'},
    {0x0C, false, VK_OEM_MINUS, VK_OEM_MINUS}, {0x0D, false, VK_OEM_PLUS, VK_OEM_PLUS},
    {0x0E, false, VK_BACK, VK_BACK}, {0x0F, false, VK_TAB, VK_TAB},
    {0x10, false, 'Q', 'Q'}, {0x11, false, 'W', 'W'}, {0x12, false, 'E', 'E'}, {0x13, false, 'R', 'R'},
    {0x14, false, 'T', 'T'}, {0x15, false, 'Y', 'Y'}, {0x16, false, 'U', 'U'}, {0x17, false, 'I', 'I'},
    {0x18, false, 'O', 'O'}, {0x19, false, 'P', 'P'},
    {0x1A, false, VK_OEM_4, VK_OEM_4}, {0x1B, false, VK_OEM_6, VK_OEM_6},
    {0x1C, false, VK_RETURN, VK_RETURN}, {0x1D, false, VK_CONTROL, VK_LCONTROL},
    {0x1E, false, 'A', 'A'}, {0x1F, false, 'S', 'S'}, {0x20, false, 'D', 'D'}, {0x21, false, 'F', 'F'},
    {0x22, false, 'G', 'G'}, {0x23, false, 'H', 'H'}, {0x24, false, 'J', 'J'}, {0x25, false, 'K', 'K'},
    {0x26, false, 'L', 'L'},
    {0x27, false, VK_OEM_1, VK_OEM_1}, {0x28, false, VK_OEM_7, VK_OEM_7}, {0x29, false, VK_OEM_3, VK_OEM_3},
    {0x2A, false, VK_SHIFT, VK_LSHIFT}, {0x2B, false, VK_OEM_5, VK_OEM_5},
    {0x2C, false, 'Z', 'Z'}, {0x2D, false, 'X', 'X'}, {0x2E, false, 'C', 'C'}, {0x2F, false, 'V', 'V'},
    {0x30, false, 'B', 'B'}, {0x31, false, 'N', 'N'}, {0x32, false, 'M', 'M'},
    {0x33, false, VK_OEM_COMMA, VK_OEM_COMMA}, {0x34, false, VK_OEM_PERIOD, VK_OEM_PERIOD},
    {0x35, false, VK_OEM_2, VK_OEM_2}, {0x36, false, VK_SHIFT, VK_RSHIFT},
    {0x37, false, VK_MULTIPLY, VK_MULTIPLY}, {0x38, false, VK_MENU, VK_LMENU}, {0x39, false, VK_SPACE, VK_SPACE},
    {0x3A, false, VK_CAPITAL, VK_CAPITAL},
    {0x3B, false, VK_F1, VK_F1}, {0x3C, false, VK_F2, VK_F2}, {0x3D, false, VK_F3, VK_F3},
    {0x3E, false, VK_F4, VK_F4}, {0x3F, false, VK_F5, VK_F5}, {0x40, false, VK_F6, VK_F6},
    {0x41, false, VK_F7, VK_F7}, {0x42, false, VK_F8, VK_F8}, {0x43, false, VK_F9, VK_F9},
    {0x44, false, VK_F10, VK_F10},
    {0x45, false, VK_PAUSE, VK_PAUSE}, {0x46, false, VK_SCROLL, VK_SCROLL},
    // Keypad without Num Lock; the Num Lock forms are in kKeypadDigits.
    {0x47, false, VK_HOME, VK_HOME}, {0x48, false, VK_UP, VK_UP}, {0x49, false, VK_PRIOR, VK_PRIOR},
    {0x4A, false, VK_SUBTRACT, VK_SUBTRACT}, {0x4B, false, VK_LEFT, VK_LEFT}, {0x4C, false, VK_CLEAR, VK_CLEAR},
    {0x4D, false, VK_RIGHT, VK_RIGHT}, {0x4E, false, VK_ADD, VK_ADD}, {0x4F, false, VK_END, VK_END},
    {0x50, false, VK_DOWN, VK_DOWN}, {0x51, false, VK_NEXT, VK_NEXT}, {0x52, false, VK_INSERT, VK_INSERT},
    {0x53, false, VK_DELETE, VK_DELETE},
    {0x54, false, VK_SNAPSHOT, VK_SNAPSHOT}, {0x56, false, VK_OEM_102, VK_OEM_102},
    {0x57, false, VK_F11, VK_F11}, {0x58, false, VK_F12, VK_F12},
    {0x71, false, VK_HANJA, VK_HANJA}, {0x72, false, VK_HANGUL, VK_HANGUL},
    {0x79, false, VK_CONVERT, VK_CONVERT}, {0x7B, false, VK_NONCONVERT, VK_NONCONVERT},
    {0x1C, true, VK_RETURN, VK_RETURN}, {0x1D, true, VK_CONTROL, VK_RCONTROL},
    {0x20, true, VK_VOLUME_MUTE, VK_VOLUME_MUTE}, {0x2E, true, VK_VOLUME_DOWN, VK_VOLUME_DOWN},
    {0x30, true, VK_VOLUME_UP, VK_VOLUME_UP}, {0x35, true, VK_DIVIDE, VK_DIVIDE},
    {0x37, true, VK_SNAPSHOT, VK_SNAPSHOT}, {0x38, true, VK_MENU, VK_RMENU},
    {0x45, true, VK_NUMLOCK, VK_NUMLOCK}, {0x46, true, VK_CANCEL, VK_CANCEL},
    {0x47, true, VK_HOME, VK_HOME}, {0x48, true, VK_UP, VK_UP}, {0x49, true, VK_PRIOR, VK_PRIOR},
    {0x4B, true, VK_LEFT, VK_LEFT}, {0x4D, true, VK_RIGHT, VK_RIGHT}, {0x4F, true, VK_END, VK_END},
    {0x50, true, VK_DOWN, VK_DOWN}, {0x51, true, VK_NEXT, VK_NEXT}, {0x52, true, VK_INSERT, VK_INSERT},
    {0x53, true, VK_DELETE, VK_DELETE},
    {0x5B, true, VK_LWIN, VK_LWIN}, {0x5C, true, VK_RWIN, VK_RWIN}, {0x5D, true, VK_APPS, VK_APPS},
    {0x5F, true, VK_SLEEP, VK_SLEEP},
};
// clang-format on

// Keypad scan codes 0x47 ... 0x53 (not extended) while Num Lock is on; 0 where Num Lock changes nothing.
constexpr BYTE kKeypadDigits[] = {
    VK_NUMPAD7, VK_NUMPAD8, VK_NUMPAD9, 0,          VK_NUMPAD4, VK_NUMPAD5, VK_NUMPAD6,
    0,          VK_NUMPAD1, VK_NUMPAD2, VK_NUMPAD3, VK_NUMPAD0, VK_DECIMAL,
};

const VkEntry* find_scancode(UINT scancode, bool extended) {
    for (const VkEntry& entry : kVirtualKeys) {
        if (entry.scancode == scancode && entry.extended == extended) {
            return &entry;
        }
    }
    return nullptr;
}

// The key a virtual key stands for: the first entry (not extended before extended) whose generic, sided or
// Num Lock form it is.
bool find_vk(UINT vk, UINT* scancode, bool* extended) {
    if (vk == 0 || vk > 0xFF) {
        return false;
    }
    for (size_t i = 0; i < sizeof(kKeypadDigits); ++i) {
        if (kKeypadDigits[i] == vk) {
            *scancode = 0x47 + static_cast<UINT>(i);
            *extended = false;
            return true;
        }
    }
    for (const VkEntry& entry : kVirtualKeys) {
        if (entry.vk == vk || entry.sided_vk == vk) {
            *scancode = entry.scancode;
            *extended = entry.extended;
            return true;
        }
    }
    return false;
}

}  // namespace

UINT scancode_to_vk(UINT scancode, bool extended, bool num_lock) {
    if (num_lock && !extended && scancode >= 0x47 && scancode <= 0x53 && kKeypadDigits[scancode - 0x47]) {
        return kKeypadDigits[scancode - 0x47];
    }
    const VkEntry* entry = find_scancode(scancode, extended);
    return entry ? entry->vk : 0;
}

}  // namespace winapi_internal

UINT WINAPI MapVirtualKeyW(UINT code, UINT mapType) {
    using namespace winapi_internal;
    UINT scancode = 0;
    bool extended = false;
    switch (mapType) {
        case MAPVK_VK_TO_VSC:
            return find_vk(code, &scancode, &extended) ? scancode : 0;
        case MAPVK_VK_TO_VSC_EX:
            return find_vk(code, &scancode, &extended) ? (extended ? 0xE000 | scancode : scancode) : 0;
        case MAPVK_VSC_TO_VK:
            return scancode_to_vk(code & 0xFF, false);
        case MAPVK_VSC_TO_VK_EX: {
            if ((code & 0xFF00) != 0 && (code & 0xFF00) != 0xE000) {
                return 0;
            }
            const VkEntry* entry = find_scancode(code & 0xFF, (code & 0xFF00) == 0xE000);
            return entry ? entry->sided_vk : 0;
        }
        default:
            return 0;
    }
}
