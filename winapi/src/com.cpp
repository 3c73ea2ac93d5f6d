// CLSIDFromProgID and StringFromGUID2: the registry walk the program does to find a COM server's file.
#include "winapi/combaseapi.h"
#include "winapi/winreg.h"

#include <cstring>
#include <string>

namespace {

const int GUID_TEXT_CHARS = 38;  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" without the terminator

int hex_digit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

// Reads `digits` hexadecimal digits at text[*at], advancing *at.
bool read_hex(const std::u16string& text, size_t* at, int digits, uint64_t* value) {
    *value = 0;
    for (int i = 0; i < digits; i++, (*at)++) {
        int d = *at < text.size() ? hex_digit(text[*at]) : -1;
        if (d < 0) {
            return false;
        }
        *value = (*value << 4) | (uint64_t)d;
    }
    return true;
}

bool expect(const std::u16string& text, size_t* at, char16_t c) {
    if (*at >= text.size() || text[*at] != c) {
        return false;
    }
    (*at)++;
    return true;
}

// Parses the registry form of a GUID, digits in either case.
bool parse_guid(const std::u16string& text, GUID* guid) {
    if (text.size() != (size_t)GUID_TEXT_CHARS) {
        return false;
    }
    size_t at = 0;
    uint64_t v;
    if (!expect(text, &at, u'{') || !read_hex(text, &at, 8, &v)) {
        return false;
    }
    guid->Data1 = (uint32_t)v;
    if (!expect(text, &at, u'-') || !read_hex(text, &at, 4, &v)) {
        return false;
    }
    guid->Data2 = (uint16_t)v;
    if (!expect(text, &at, u'-') || !read_hex(text, &at, 4, &v)) {
        return false;
    }
    guid->Data3 = (uint16_t)v;
    if (!expect(text, &at, u'-')) {
        return false;
    }
    for (int i = 0; i < 8; i++) {
        if (i == 2 && !expect(text, &at, u'-')) {
            return false;
        }
        if (!read_hex(text, &at, 2, &v)) {
            return false;
        }
        guid->Data4[i] = (uint8_t)v;
    }
    return expect(text, &at, u'}');
}

// The default value of a key as text, without the terminator it may or may not have been stored with.
bool read_default_string(HKEY key, std::u16string& text) {
    WCHAR buffer[64];
    DWORD type = 0;
    DWORD size = sizeof(buffer);
    if (RegQueryValueExW(key, nullptr, nullptr, &type, (BYTE*)buffer, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return false;
    }
    text.assign(buffer, size / sizeof(WCHAR));
    while (!text.empty() && text.back() == 0) {
        text.pop_back();
    }
    return true;
}

}  // namespace

HRESULT WINAPI CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) {
    if (!progId || !clsid) {
        return E_INVALIDARG;
    }
    std::u16string path = std::u16string(progId) + u"\\CLSID";
    HKEY key;
    if (progId[0] == 0 ||
        RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return CO_E_CLASSSTRING;
    }
    std::u16string text;
    bool read = read_default_string(key, text);
    RegCloseKey(key);
    GUID parsed;
    if (!read || !parse_guid(text, &parsed)) {
        return CO_E_CLASSSTRING;
    }
    *clsid = parsed;
    return S_OK;
}

int WINAPI StringFromGUID2(REFGUID guid, LPOLESTR text, int size) {
    if (!text || size < GUID_TEXT_CHARS + 1) {
        return 0;
    }
    static const char digits[] = "0123456789ABCDEF";
    std::u16string out = u"{";
    auto put = [&](uint64_t value, int count) {
        for (int i = count - 1; i >= 0; i--) {
            out.push_back((char16_t)digits[(value >> (4 * i)) & 0xF]);
        }
    };
    put(guid.Data1, 8);
    out.push_back(u'-');
    put(guid.Data2, 4);
    out.push_back(u'-');
    put(guid.Data3, 4);
    out.push_back(u'-');
    for (int i = 0; i < 8; i++) {
        if (i == 2) {
            out.push_back(u'-');
        }
        put(guid.Data4[i], 2);
    }
    out.push_back(u'}');
    memcpy(text, out.c_str(), (out.size() + 1) * sizeof(WCHAR));
    return (int)out.size() + 1;
}
