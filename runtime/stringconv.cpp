#include "runtime/stringconv.h"

#include <cstring>
#include <string>

#include "runtime/log.h"

namespace {

// A zero-filled block of count units of unit_size bytes plus one terminating unit, or null.
void* heap_alloc_terminated(uint64_t count, uint64_t unit_size) {
    uint64_t bytes = (count + 1) * unit_size;
    if (bytes > INT32_MAX) {
        return nullptr;
    }
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(bytes));
}

void set_size(int* size, int units, int unit_size) {
    if (size) {
        *size = (units + 1) * unit_size;
    }
}

char* wide_to_multibyte(UINT code_page, const WCHAR* pwstr, int* size) {
    size_t length = std::char_traits<WCHAR>::length(pwstr);
    if (length > INT32_MAX) {
        return nullptr;
    }
    int needed = 0;
    if (length != 0) {
        needed =
            WideCharToMultiByte(code_page, 0, pwstr, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
        if (needed <= 0) {
            return nullptr;
        }
    }
    auto* result = static_cast<char*>(heap_alloc_terminated(static_cast<uint64_t>(needed), 1));
    if (!result) {
        return nullptr;
    }
    if (length != 0 && WideCharToMultiByte(code_page, 0, pwstr, static_cast<int>(length), result, needed,
                                           nullptr, nullptr) != needed) {
        HeapFree(GetProcessHeap(), 0, result);
        return nullptr;
    }
    set_size(size, needed, 1);
    return result;
}

}  // namespace

char* WideToUtf8(const WCHAR* pwstr, int* size) {
    spice_assert(pwstr != NULL);
    if (!pwstr) {
        return nullptr;
    }
    return wide_to_multibyte(CP_UTF8, pwstr, size);
}

char* WideToAnsi(const WCHAR* pwstr, int* size) {
    spice_assert(pwstr != NULL);
    if (!pwstr) {
        return nullptr;
    }
    return wide_to_multibyte(CP_ACP, pwstr, size);
}

WCHAR* AnsiToWide(const char* pstr, int* size) {
    spice_assert(pstr != NULL);
    if (!pstr) {
        return nullptr;
    }
    size_t length = strlen(pstr);
    if (length > INT32_MAX) {
        return nullptr;
    }
    int needed = 0;
    if (length != 0) {
        needed = MultiByteToWideChar(CP_ACP, 0, pstr, static_cast<int>(length), nullptr, 0);
        if (needed <= 0) {
            return nullptr;
        }
    }
    auto* result = static_cast<WCHAR*>(heap_alloc_terminated(static_cast<uint64_t>(needed), sizeof(WCHAR)));
    if (!result) {
        return nullptr;
    }
    if (length != 0 &&
        MultiByteToWideChar(CP_ACP, 0, pstr, static_cast<int>(length), result, needed) != needed) {
        HeapFree(GetProcessHeap(), 0, result);
        return nullptr;
    }
    set_size(size, needed, sizeof(WCHAR));
    return result;
}

char* AnsiToUtf8(const char* pstr, int* size) {
    spice_assert(pstr != NULL);
    if (!pstr) {
        return nullptr;
    }
    WCHAR* wide = AnsiToWide(pstr);
    if (!wide) {
        return nullptr;
    }
    char* result = WideToUtf8(wide, size);
    HeapFree(GetProcessHeap(), 0, wide);
    return result;
}
