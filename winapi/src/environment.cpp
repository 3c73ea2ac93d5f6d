// ExpandEnvironmentStrings over the process environment.
#include "winapi/fileapi.h"

#include "text_internal.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

extern char** environ;

namespace winapi_internal {

namespace {

bool equals_ignoring_ascii_case(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

// Windows names are case-insensitive: an exact match first, then any spelling.
bool lookup_variable(const std::u16string& name, std::u16string& value) {
    std::string key = utf16_to_utf8(name.data(), name.size());
    if (key.find('=') != std::string::npos || key.find('\0') != std::string::npos) {
        return false;
    }
    if (equals_ignoring_ascii_case(key, "TEMP") || equals_ignoring_ascii_case(key, "TMP")) {
        const char* tmpdir = getenv("TMPDIR");
        value = utf8_to_utf16(tmpdir && tmpdir[0] ? tmpdir : "/tmp");
        return true;
    }
    const char* found = getenv(key.c_str());
    if (!found) {
        for (char** entry = environ; entry && *entry; entry++) {
            if (strncasecmp(*entry, key.c_str(), key.size()) == 0 && (*entry)[key.size()] == '=') {
                found = *entry + key.size() + 1;
                break;
            }
        }
    }
    if (!found) {
        return false;
    }
    value = utf8_to_utf16(found);
    return true;
}

std::u16string expand(const std::u16string& source) {
    std::u16string out;
    size_t i = 0;
    while (i < source.size()) {
        size_t open = source.find(u'%', i);
        if (open == std::u16string::npos) {
            out.append(source, i, std::u16string::npos);
            break;
        }
        out.append(source, i, open - i);
        size_t close = source.find(u'%', open + 1);
        if (close == std::u16string::npos) {
            out.append(source, open, std::u16string::npos);
            break;
        }
        std::u16string name = source.substr(open + 1, close - open - 1);
        std::u16string value;
        if (!name.empty() && lookup_variable(name, value)) {
            out += value;
        } else {
            out.append(source, open, close - open + 1);
        }
        i = close + 1;
    }
    return out;
}

}  // namespace

}  // namespace winapi_internal

using namespace winapi_internal;

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
    if (!source) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string expanded = expand(source);
    uint64_t needed = (uint64_t)expanded.size() + 1;
    if (needed > 0xFFFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (destination && needed <= size) {
        memcpy(destination, expanded.c_str(), needed * sizeof(WCHAR));
    }
    return (DWORD)needed;
}

DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size) {
    if (!source) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string expanded = utf16_to_ansi(expand(ansi_to_utf16(source)));
    uint64_t needed = (uint64_t)expanded.size() + 1;
    if (needed > 0xFFFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (destination && needed <= size) {
        memcpy(destination, expanded.c_str(), needed);
    }
    return (DWORD)needed;
}
