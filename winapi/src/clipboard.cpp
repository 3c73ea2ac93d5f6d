// The clipboard's Windows half: who has it open, who owns it, the formats the process put on it, delayed
// rendering, and the conversions between Windows formats and X targets. While the process owns the X
// selection the formats here are the clipboard; otherwise another X client's data is read on request.
#include "winapi/winuser_clipboard.h"

#include "winapi/processthreadsapi.h"
#include "winapi/stringapiset.h"
#include "winapi/winbase.h"
#include "winapi/winuser.h"

#include "clipboard_internal.h"
#include "image_codec.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <utility>

namespace winapi_internal {

namespace {

const char* const TARGET_UTF8 = "UTF8_STRING";
const char* const TARGET_TEXT_PLAIN = "text/plain;charset=utf-8";
const char* const TARGET_PNG = "image/png";
const char* const TARGET_BMP = "image/bmp";

struct Clipboard {
    std::mutex lock;  // guards every member
    bool open = false;
    DWORD open_thread = 0;
    HWND open_window = nullptr;
    // True from EmptyClipboard until another X client takes the selection: formats is then the clipboard.
    bool owned_here = false;
    uint64_t generation = 0;  // counts EmptyClipboard calls
    HWND owner = nullptr;
    std::vector<std::pair<UINT, HGLOBAL>> formats;  // in the order set; NULL data = rendered on request
    std::vector<std::pair<UINT, int>> rendering;  // formats whose WM_RENDERFORMAT is in progress, with counts
    // Blocks made from another client's data; freed when the clipboard is next opened or emptied.
    std::vector<HGLOBAL> foreign_blocks;
};

Clipboard& clipboard() {
    static auto* instance = new Clipboard();
    return *instance;
}

HGLOBAL* find_format(Clipboard& c, UINT format) {
    for (auto& entry : c.formats) {
        if (entry.first == format) {
            return &entry.second;
        }
    }
    return nullptr;
}

bool is_rendering(const Clipboard& c, UINT format) {
    for (const auto& entry : c.rendering) {
        if (entry.first == format) {
            return entry.second > 0;
        }
    }
    return false;
}

int* rendering_count(Clipboard& c, UINT format) {
    for (auto& entry : c.rendering) {
        if (entry.first == format) {
            return &entry.second;
        }
    }
    c.rendering.emplace_back(format, 0);
    return &c.rendering.back().second;
}

void free_formats(Clipboard& c) {
    for (auto& entry : c.formats) {
        if (entry.second) {
            GlobalFree(entry.second);
        }
    }
    c.formats.clear();
}

void free_foreign(Clipboard& c) {
    for (HGLOBAL block : c.foreign_blocks) {
        GlobalFree(block);
    }
    c.foreign_blocks.clear();
}

bool opened_by_caller(Clipboard& c) {
    return c.open && c.open_thread == GetCurrentThreadId();
}

HGLOBAL block_from(const void* bytes, size_t size) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (block) {
        if (size) {
            memcpy(GlobalLock(block), bytes, size);
            GlobalUnlock(block);
        }
    }
    return block;
}

std::vector<uint8_t> bytes_of(HGLOBAL block) {
    std::vector<uint8_t> bytes;
    SIZE_T size = GlobalSize(block);
    const uint8_t* data = (const uint8_t*)GlobalLock(block);
    if (data) {
        bytes.assign(data, data + size);
        GlobalUnlock(block);
    }
    return bytes;
}

// ---- text ----

// UTF-16 up to the first NUL unit (or the end of the block).
std::u16string utf16_of(HGLOBAL block) {
    std::vector<uint8_t> bytes = bytes_of(block);
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char16_t unit = (char16_t)(bytes[i] | (bytes[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        text.push_back(unit);
    }
    return text;
}

HGLOBAL utf16_block(const std::u16string& text) {
    std::u16string terminated = text + u'\0';
    return block_from(terminated.data(), terminated.size() * sizeof(char16_t));
}

bool to_multibyte(UINT code_page, const std::u16string& text, std::string* out) {
    out->clear();
    if (text.empty()) {
        return true;
    }
    if (text.size() > INT_MAX / 4) {
        return false;
    }
    int length = WideCharToMultiByte(code_page, 0, (LPCWSTR)text.data(), (int)text.size(), nullptr, 0,
                                     nullptr, nullptr);
    if (length <= 0) {
        return false;
    }
    out->resize(length);
    return WideCharToMultiByte(code_page, 0, (LPCWSTR)text.data(), (int)text.size(), &(*out)[0], length,
                               nullptr, nullptr) == length;
}

bool from_multibyte(UINT code_page, const char* bytes, size_t size, std::u16string* out) {
    out->clear();
    // Text stops at a NUL, as it would in a Windows text block.
    size = std::find(bytes, bytes + size, '\0') - bytes;
    if (size == 0) {
        return true;
    }
    if (size > INT_MAX) {
        return false;
    }
    int length = MultiByteToWideChar(code_page, 0, bytes, (int)size, nullptr, 0);
    if (length <= 0) {
        return false;
    }
    out->resize(length);
    return MultiByteToWideChar(code_page, 0, bytes, (int)size, (LPWSTR) & (*out)[0], length) == length;
}

// ---- the process's own formats ----

// The data of a format the process set, rendering it first when it was delayed. Lock held on entry and exit;
// released while the owner renders.
HGLOBAL owned_data(Clipboard& c, std::unique_lock<std::mutex>& held, UINT format) {
    HGLOBAL* data = find_format(c, format);
    if (!data) {
        return nullptr;
    }
    if (*data || !c.owner) {
        return *data;
    }
    HWND owner = c.owner;
    uint64_t generation = c.generation;
    ++*rendering_count(c, format);
    held.unlock();
    SendMessageW(owner, WM_RENDERFORMAT, format, 0);
    held.lock();
    --*rendering_count(c, format);
    if (c.generation != generation || !c.owned_here) {
        return nullptr;
    }
    data = find_format(c, format);
    return data ? *data : nullptr;
}

// CF_TEXT in the ANSI code page, made from CF_UNICODETEXT and kept with the formats.
HGLOBAL synthesized_text(Clipboard& c, std::unique_lock<std::mutex>& held) {
    HGLOBAL unicode = owned_data(c, held, CF_UNICODETEXT);
    std::string text;
    if (!unicode || !to_multibyte(CP_ACP, utf16_of(unicode), &text)) {
        return nullptr;
    }
    HGLOBAL block = block_from(text.c_str(), text.size() + 1);
    if (block) {
        c.formats.emplace_back(CF_TEXT, block);
    }
    return block;
}

std::vector<UINT> owned_formats(Clipboard& c) {
    std::vector<UINT> list;
    for (auto& entry : c.formats) {
        list.push_back(entry.first);
    }
    if (find_format(c, CF_UNICODETEXT) && !find_format(c, CF_TEXT)) {
        list.push_back(CF_TEXT);
    }
    return list;
}

// ---- another X client's data ----

bool has_target(const std::vector<std::string>& targets, const char* name) {
    return std::find(targets.begin(), targets.end(), name) != targets.end();
}

std::vector<UINT> foreign_formats() {
    std::vector<std::string> targets;
    std::vector<UINT> list;
    if (!clipboard_x11_offers({TARGET_UTF8, TARGET_TEXT_PLAIN, TARGET_PNG, TARGET_BMP}, &targets)) {
        return list;
    }
    if (has_target(targets, TARGET_UTF8) || has_target(targets, TARGET_TEXT_PLAIN)) {
        list.push_back(CF_UNICODETEXT);
        list.push_back(CF_TEXT);
    }
    if (has_target(targets, TARGET_PNG) || has_target(targets, TARGET_BMP)) {
        list.push_back(CF_DIB);
    }
    return list;
}

bool read_foreign_text(std::u16string* text) {
    std::vector<uint8_t> bytes;
    return (clipboard_x11_read(TARGET_UTF8, &bytes) || clipboard_x11_read(TARGET_TEXT_PLAIN, &bytes)) &&
           from_multibyte(CP_UTF8, (const char*)bytes.data(), bytes.size(), text);
}

HGLOBAL read_foreign(UINT format) {
    if (format == CF_UNICODETEXT || format == CF_TEXT) {
        std::u16string text;
        if (!read_foreign_text(&text)) {
            return nullptr;
        }
        if (format == CF_UNICODETEXT) {
            return utf16_block(text);
        }
        std::string ansi;
        return to_multibyte(CP_ACP, text, &ansi) ? block_from(ansi.c_str(), ansi.size() + 1) : nullptr;
    }
    if (format == CF_DIB) {
        std::vector<uint8_t> bytes, dib;
        if ((clipboard_x11_read(TARGET_PNG, &bytes) && image_png_to_dib(bytes.data(), bytes.size(), &dib)) ||
            (clipboard_x11_read(TARGET_BMP, &bytes) && image_bmp_to_dib(bytes.data(), bytes.size(), &dib))) {
            return block_from(dib.data(), dib.size());
        }
    }
    return nullptr;
}

}  // namespace

// ---- the X owner thread's side ----

std::vector<std::string> clipboard_export_targets() {
    Clipboard& c = clipboard();
    std::lock_guard<std::mutex> guard(c.lock);
    std::vector<std::string> targets;
    if (!c.owned_here) {
        return targets;
    }
    if (find_format(c, CF_UNICODETEXT) || find_format(c, CF_TEXT)) {
        targets.push_back(TARGET_UTF8);
        targets.push_back(TARGET_TEXT_PLAIN);
    }
    if (find_format(c, CF_DIB)) {
        targets.push_back(TARGET_PNG);
        targets.push_back(TARGET_BMP);
    }
    return targets;
}

bool clipboard_export(const std::string& target, std::vector<uint8_t>* bytes) {
    Clipboard& c = clipboard();
    std::unique_lock<std::mutex> held(c.lock);
    if (!c.owned_here) {
        return false;
    }
    if (target == TARGET_UTF8 || target == TARGET_TEXT_PLAIN) {
        std::u16string text;
        HGLOBAL data = owned_data(c, held, CF_UNICODETEXT);
        if (data) {
            text = utf16_of(data);
        } else if ((data = owned_data(c, held, CF_TEXT)) != nullptr) {
            std::vector<uint8_t> ansi = bytes_of(data);
            if (!from_multibyte(CP_ACP, (const char*)ansi.data(), ansi.size(), &text)) {
                return false;
            }
        } else {
            return false;
        }
        std::string utf8;
        if (!to_multibyte(CP_UTF8, text, &utf8)) {
            return false;
        }
        bytes->assign(utf8.begin(), utf8.end());
        return true;
    }
    if (target == TARGET_PNG || target == TARGET_BMP) {
        HGLOBAL data = owned_data(c, held, CF_DIB);
        if (!data) {
            return false;
        }
        std::vector<uint8_t> dib = bytes_of(data);
        held.unlock();
        return target == TARGET_PNG ? image_dib_to_png(dib.data(), dib.size(), bytes)
                                    : image_dib_to_bmp(dib.data(), dib.size(), bytes);
    }
    return false;
}

void clipboard_ownership_lost(uint64_t generation) {
    Clipboard& c = clipboard();
    HWND previous;
    {
        std::lock_guard<std::mutex> guard(c.lock);
        if (generation != c.generation || !c.owned_here) {
            return;
        }
        free_formats(c);
        c.owned_here = false;
        previous = c.owner;
        c.owner = nullptr;
    }
    if (previous) {
        SendMessageW(previous, WM_DESTROYCLIPBOARD, 0, 0);
    }
}

void clipboard_window_destroyed(HWND window) {
    Clipboard& c = clipboard();
    bool delayed = false;
    {
        std::lock_guard<std::mutex> guard(c.lock);
        if (!window || c.owner != window || !c.owned_here) {
            return;
        }
        for (auto& entry : c.formats) {
            delayed = delayed || !entry.second;
        }
    }
    if (delayed) {
        SendMessageW(window, WM_RENDERALLFORMATS, 0, 0);
    }
    std::lock_guard<std::mutex> guard(c.lock);
    if (c.owner != window) {
        return;
    }
    c.formats.erase(std::remove_if(c.formats.begin(), c.formats.end(),
                                   [](const std::pair<UINT, HGLOBAL>& entry) { return !entry.second; }),
                    c.formats.end());
    c.owner = nullptr;
}

}  // namespace winapi_internal

using namespace winapi_internal;

BOOL WINAPI OpenClipboard(HWND window) {
    Clipboard& c = clipboard();
    std::lock_guard<std::mutex> guard(c.lock);
    if (c.open) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    c.open = true;
    c.open_thread = GetCurrentThreadId();
    c.open_window = window;
    // Another client's data may have changed since the last time: read it afresh.
    free_foreign(c);
    return TRUE;
}

BOOL WINAPI CloseClipboard() {
    Clipboard& c = clipboard();
    std::lock_guard<std::mutex> guard(c.lock);
    if (!opened_by_caller(c)) {
        SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
        return FALSE;
    }
    c.open = false;
    c.open_window = nullptr;
    return TRUE;
}

BOOL WINAPI EmptyClipboard() {
    Clipboard& c = clipboard();
    HWND previous = nullptr;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(c.lock);
        if (!opened_by_caller(c)) {
            SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
            return FALSE;
        }
        if (c.owned_here && c.owner != c.open_window) {
            previous = c.owner;
        }
        free_formats(c);
        free_foreign(c);
        c.owned_here = true;
        c.owner = c.open_window;
        generation = ++c.generation;
    }
    clipboard_x11_claim(generation);
    if (previous) {
        SendMessageW(previous, WM_DESTROYCLIPBOARD, 0, 0);
    }
    return TRUE;
}

HANDLE WINAPI SetClipboardData(UINT format, HANDLE data) {
    Clipboard& c = clipboard();
    std::lock_guard<std::mutex> guard(c.lock);
    bool by_owner = opened_by_caller(c) && c.owned_here && c.owner && c.open_window == c.owner;
    bool renders = data && c.owned_here && is_rendering(c, format);
    if (format == 0 || (!by_owner && !renders)) {
        SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
        return nullptr;
    }
    HGLOBAL* existing = find_format(c, format);
    if (existing) {
        if (*existing && *existing != data) {
            GlobalFree(*existing);
        }
        *existing = data;
    } else {
        c.formats.emplace_back(format, data);
    }
    if (!data) {
        SetLastError(ERROR_SUCCESS);
    }
    return data;
}

HANDLE WINAPI GetClipboardData(UINT format) {
    Clipboard& c = clipboard();
    std::unique_lock<std::mutex> held(c.lock);
    if (!opened_by_caller(c)) {
        SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
        return nullptr;
    }
    if (c.owned_here) {
        HGLOBAL data = owned_data(c, held, format);
        if (!data && format == CF_TEXT && !find_format(c, CF_TEXT)) {
            data = synthesized_text(c, held);
        }
        return data;
    }
    held.unlock();
    HGLOBAL block = read_foreign(format);
    if (block) {
        held.lock();
        c.foreign_blocks.push_back(block);
    }
    return block;
}

BOOL WINAPI IsClipboardFormatAvailable(UINT format) {
    Clipboard& c = clipboard();
    std::vector<UINT> list;
    bool owned;
    {
        std::lock_guard<std::mutex> guard(c.lock);
        owned = c.owned_here;
        if (owned) {
            list = owned_formats(c);
        }
    }
    if (!owned) {
        list = foreign_formats();
    }
    return std::find(list.begin(), list.end(), format) != list.end();
}

UINT WINAPI EnumClipboardFormats(UINT previous) {
    Clipboard& c = clipboard();
    std::vector<UINT> list;
    bool owned;
    {
        std::lock_guard<std::mutex> guard(c.lock);
        if (!opened_by_caller(c)) {
            SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
            return 0;
        }
        owned = c.owned_here;
        if (owned) {
            list = owned_formats(c);
        }
    }
    if (!owned) {
        list = foreign_formats();
    }
    auto next = previous == 0 ? list.begin() : std::find(list.begin(), list.end(), previous);
    if (previous != 0 && next != list.end()) {
        ++next;
    }
    SetLastError(ERROR_SUCCESS);
    return next == list.end() ? 0 : *next;
}

HWND WINAPI GetClipboardOwner() {
    Clipboard& c = clipboard();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.owned_here ? c.owner : nullptr;
}
