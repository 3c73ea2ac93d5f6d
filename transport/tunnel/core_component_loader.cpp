#include "transport/tunnel/core_component_loader.h"

#include "runtime/log.h"

#include <cstring>

namespace {

const size_t CLSID_TEXT_CHARS = 64;
const size_t KEY_PIECE_CHARS = 128;

size_t wide_length(const WCHAR* text) {
    size_t n = 0;
    while (text[n]) {
        n++;
    }
    return n;
}

// Appends at most `limit` characters of `piece` to the key path.
void append_piece(WCHAR* path, size_t capacity, const WCHAR* piece, size_t limit) {
    size_t used = wide_length(path);
    size_t n = 0;
    while (piece[n] && n < limit && used + 1 < capacity) {
        path[used++] = piece[n++];
    }
    path[used] = 0;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 0;
}

}  // namespace

int GetCoreComClsidString(WCHAR* buffer) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(CORE_COM_PROGID, &clsid);
    if (FAILED(hr)) {
        return hr;
    }
    return StringFromGUID2(clsid, buffer, (int)CLSID_TEXT_CHARS);
}

bool GetCoreComModulePath(WCHAR* buffer) {
    if (!buffer) {
        return false;
    }
    buffer[0] = 0;

    WCHAR clsid[CLSID_TEXT_CHARS] = {};
    if (GetCoreComClsidString(clsid) < 0) {
        return false;
    }

    WCHAR key_path[3 * KEY_PIECE_CHARS + 1] = {};
    append_piece(key_path, sizeof(key_path) / sizeof(WCHAR), u"CLSID\\", KEY_PIECE_CHARS);
    append_piece(key_path, sizeof(key_path) / sizeof(WCHAR), clsid, KEY_PIECE_CHARS);
    append_piece(key_path, sizeof(key_path) / sizeof(WCHAR), u"\\InprocServer32", KEY_PIECE_CHARS);

    HKEY key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key_path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    WCHAR value[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH * sizeof(WCHAR);
    LSTATUS status = RegQueryValueExW(key, nullptr, nullptr, nullptr, (BYTE*)value, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        return false;
    }
    // The stored string need not carry its terminator.
    value[MAX_PATH] = 0;
    if (size / sizeof(WCHAR) < MAX_PATH) {
        value[size / sizeof(WCHAR)] = 0;
    }
    size_t n = 0;
    while (value[n] && n < MAX_PATH - 1) {
        buffer[n] = value[n];
        n++;
    }
    buffer[n] = 0;
    return true;
}

HMODULE LoadCoreComModule() {
    WCHAR path[MAX_PATH] = {};
    if (!GetCoreComModulePath(path)) {
        return nullptr;
    }
    return LoadLibraryW(path);
}

bool HexToBytes64(const char* text, unsigned char* buffer) {
    const size_t digits = 128;
    if (!buffer || !text || strnlen(text, digits) < digits) {
        return false;
    }
    for (size_t i = 0; i < digits / 2; i++) {
        buffer[i] = (unsigned char)((hex_value(text[2 * i]) << 4) | hex_value(text[2 * i + 1]));
    }
    return true;
}

bool wide_to_utf8(size_t bufsize, const WCHAR* wide, char* utf8) {
    spice_assert(utf8 && bufsize);
    if (!wide) {
        return false;
    }
    int needed = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return false;
    }
    if ((size_t)needed > bufsize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, (int)bufsize, nullptr, nullptr) > 0;
}
