#include "runtime/file_md5.h"

#include <cstring>

#include "runtime/stringconv.h"

namespace {

const size_t MD5_HEX_LENGTH = 32;

bool hash_file(HANDLE file, HCRYPTHASH hash) {
    BYTE block[1024];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, block, sizeof(block), &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            return true;
        }
        if (!CryptHashData(hash, block, read, 0)) {
            return false;
        }
    }
}

bool write_hex_digest(HCRYPTHASH hash, char* hex) {
    static const char digits[] = "0123456789abcdef";
    BYTE digest[16];
    DWORD length = sizeof(digest);
    if (!CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) || length != sizeof(digest)) {
        return false;
    }
    for (DWORD i = 0; i < length; i++) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 0x0f];
    }
    return true;
}

// A string value of at most capacity - 1 characters, terminated even when the registry holds it without
// its terminator. False when the value is missing, not a string or too long.
bool read_string_value(HKEY key, const WCHAR* name, WCHAR* value, DWORD capacity) {
    DWORD type = 0;
    DWORD bytes = (capacity - 1) * sizeof(WCHAR);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return false;
    }
    value[bytes / sizeof(WCHAR)] = 0;
    return true;
}

bool equal_ignoring_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char ca = (*a >= 'A' && *a <= 'Z') ? char(*a - 'A' + 'a') : *a;
        char cb = (*b >= 'A' && *b <= 'Z') ? char(*b - 'A' + 'a') : *b;
        if (ca != cb) {
            return false;
        }
    }
    return *a == *b;
}

}  // namespace

bool GetFileMd5Hex(const char* path, char* hex) {
    if (!path || !hex) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = false;
    HCRYPTPROV provider = 0;
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        HCRYPTHASH hash = 0;
        if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
            ok = hash_file(file, hash) && write_hex_digest(hash, hex);
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(provider, 0);
    }
    CloseHandle(file);
    return ok;
}

HBITMAP LoadBannerBitmap() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Voranth\\VDI\\VoranthCSClient", 0,
                      KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    WCHAR banner[MAX_PATH + 1];
    WCHAR banner_hash[MD5_HEX_LENGTH + 2];
    bool found = read_string_value(key, u"Banner", banner, MAX_PATH + 1) &&
                 read_string_value(key, u"BannerHash", banner_hash, MD5_HEX_LENGTH + 2);
    RegCloseKey(key);
    if (!found) {
        return nullptr;
    }

    char* path = WideToAnsi(banner);
    char* expected = WideToAnsi(banner_hash);
    HBITMAP bitmap = nullptr;
    char digest[MD5_HEX_LENGTH + 1] = {};
    if (path && expected && GetFileMd5Hex(path, digest) && equal_ignoring_case(digest, expected)) {
        bitmap = static_cast<HBITMAP>(LoadImageA(nullptr, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
    }
    if (path) {
        HeapFree(GetProcessHeap(), 0, path);
    }
    if (expected) {
        HeapFree(GetProcessHeap(), 0, expected);
    }
    return bitmap;
}
