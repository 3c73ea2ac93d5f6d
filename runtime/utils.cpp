#include "runtime/utils.h"

#include <cstdio>
#include <map>
#include <vector>

#include "runtime/threads.h"
#include "winapi/windows.h"

void format_string(std::string& str, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    format_string_va(str, format, ap);
    va_end(ap);
}

void format_string_va(std::string& str, const char* format, va_list ap) {
    std::vector<char> buf(256);
    for (;;) {
        va_list args;
        va_copy(args, ap);
        int needed = vsnprintf(buf.data(), buf.size(), format, args);
        va_end(args);
        if (needed < 0) {
            // An encoding error formats nothing, however large the buffer.
            str.clear();
            return;
        }
        if (static_cast<size_t>(needed) < buf.size()) {
            str.assign(buf.data(), needed);
            return;
        }
        buf.resize(static_cast<size_t>(needed) + 1);
    }
}

const char* system_error_text(int error) {
    static Mutex* cache_lock = new Mutex();
    // Never destroyed: threads may still hold texts while the process exits.
    static std::map<int, std::string>* cache = new std::map<int, std::string>();

    Lock lock(*cache_lock);
    auto it = cache->find(error);
    if (it != cache->end()) {
        return it->second.c_str();
    }

    std::string text;
    char* message = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
        static_cast<DWORD>(error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&message), 0, nullptr);
    if (length != 0 && message) {
        text.assign(message, length);
        size_t cr = text.rfind('\r');
        if (cr != std::string::npos) {
            text.erase(cr);
        }
    } else {
        format_string(text, "errno %d", error);
    }
    if (message) {
        LocalFree(message);
    }
    return cache->emplace(error, text).first->second.c_str();
}

std::string qualified_function_name(const char* pretty_function) {
    std::string pretty(pretty_function ? pretty_function : "");

    // The parameter list starts at the first '(' outside template arguments, unless it is part of
    // "operator()".
    size_t open = std::string::npos;
    int depth = 0;
    for (size_t i = 0; i < pretty.size(); ++i) {
        char c = pretty[i];
        if (c == '<') {
            ++depth;
        } else if (c == '>') {
            --depth;
        } else if (c == '(' && depth == 0) {
            if (i >= 8 && pretty.compare(i - 8, 8, "operator") == 0) {
                ++i;  // skip the ')' of operator()
                continue;
            }
            open = i;
            break;
        }
    }
    if (open == std::string::npos) {
        return pretty;
    }

    // The name starts after the last blank outside template arguments: the return type ends there.
    size_t start = 0;
    depth = 0;
    for (size_t i = open; i-- > 0;) {
        char c = pretty[i];
        if (c == '>') {
            ++depth;
        } else if (c == '<') {
            --depth;
        } else if (c == ' ' && depth == 0) {
            start = i + 1;
            break;
        }
    }
    return pretty.substr(start, open - start);
}
