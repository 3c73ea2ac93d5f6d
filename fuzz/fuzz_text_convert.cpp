// Text conversions on arbitrary bytes: UTF-8 and the ANSI code page (936) to UTF-16 and back through
// MultiByteToWideChar and WideCharToMultiByte, strict and lenient, measured then written into buffers of
// exactly the measured size (and one unit short), and the program's helpers in runtime/stringconv.h on the
// same text.
//
// Input: byte 0 picks the code page (bit 0: ANSI, else UTF-8) and the strict flag (bit 1), byte 1 the default
// character for the way back (0: none); the rest is the multi-byte text. Properties checked: the measured
// size is the size written; a buffer one unit short fails; valid UTF-8 comes back unchanged; a lenient UTF-8
// decode of anything yields UTF-16 that encodes strictly.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/stringconv.h"
#include "winapi/windows.h"

namespace {

void heap_free(void* p) {
    if (p) {
        HeapFree(GetProcessHeap(), 0, p);
    }
}

// To UTF-16: measured, written, and refused one unit short. Empty when the conversion fails.
std::vector<WCHAR> to_wide(UINT code_page, DWORD flags, const char* text, int length) {
    int needed = MultiByteToWideChar(code_page, flags, text, length, nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::vector<WCHAR> wide(static_cast<size_t>(needed));
    if (MultiByteToWideChar(code_page, flags, text, length, wide.data(), needed) != needed) {
        abort();
    }
    if (needed > 1) {
        std::vector<WCHAR> short_buffer(static_cast<size_t>(needed - 1));
        if (MultiByteToWideChar(code_page, flags, text, length, short_buffer.data(), needed - 1) != 0) {
            abort();
        }
    }
    return wide;
}

std::string to_multi_byte(UINT code_page, DWORD flags, const WCHAR* wide, int length,
                          const char* default_char, BOOL* used_default) {
    int needed = WideCharToMultiByte(code_page, flags, wide, length, nullptr, 0, default_char, used_default);
    if (needed <= 0) {
        return {};
    }
    std::string out(size_t(needed), '\0');
    if (WideCharToMultiByte(code_page, flags, wide, length, &out[0], needed, default_char, used_default) !=
        needed) {
        abort();
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1 << 16)) {
        return 0;
    }
    const bool ansi = data[0] & 1;
    const bool strict = data[0] & 2;
    const UINT code_page = ansi ? 936 : CP_UTF8;
    const char default_char[3] = {char(data[1]), char(data[1] ? 'x' : 0), 0};
    const char* text = reinterpret_cast<const char*>(data + 2);
    const int length = int(size - 2);
    if (length == 0) {
        return 0;
    }

    std::vector<WCHAR> wide = to_wide(code_page, strict ? MB_ERR_INVALID_CHARS : 0, text, length);
    if (!wide.empty()) {
        if (ansi) {
            BOOL used = FALSE;
            to_multi_byte(code_page, 0, wide.data(), int(wide.size()), data[1] ? default_char : nullptr,
                          &used);
        } else {
            std::string back =
                to_multi_byte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), int(wide.size()), nullptr, nullptr);
            // Lenient decoding replaces what is ill-formed, so its result always encodes; a strict decode
            // succeeded only on valid UTF-8, which comes back byte for byte.
            if (back.empty() || (strict && back != std::string(text, size_t(length)))) {
                abort();
            }
        }
    }

    // The helpers take zero-terminated strings: the text up to its first NUL.
    std::string terminated(text, strnlen(text, size_t(length)));
    int out_size = 0;
    WCHAR* from_ansi = AnsiToWide(terminated.c_str(), &out_size);
    if (from_ansi) {
        heap_free(WideToUtf8(from_ansi));
        heap_free(WideToAnsi(from_ansi));
    }
    heap_free(from_ansi);
    heap_free(AnsiToUtf8(terminated.c_str()));
    std::vector<WCHAR> wide_terminated = to_wide(CP_UTF8, 0, terminated.c_str(), -1);
    if (!wide_terminated.empty()) {
        heap_free(WideToUtf8(wide_terminated.data()));
        heap_free(WideToAnsi(wide_terminated.data()));
    }
    return 0;
}
