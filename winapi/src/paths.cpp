// PathAppendW.
#include "winapi/shlwapi.h"

#include <string>

BOOL WINAPI PathAppendW(LPWSTR path, LPCWSTR more) {
    if (!path || !more) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string joined(path);
    std::u16string tail(more);
    size_t skip = tail.find_first_not_of(u'\\');
    tail = skip == std::u16string::npos ? std::u16string() : tail.substr(skip);
    if (!joined.empty() && joined.back() != u'\\' && !tail.empty()) {
        joined += u'\\';
    }
    joined += tail;
    if (joined.size() >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    joined.copy(path, joined.size());
    path[joined.size()] = 0;
    return TRUE;
}
