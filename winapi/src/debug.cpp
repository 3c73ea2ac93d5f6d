// Debugger output: standard error when KTW_DEBUG_OUTPUT is set, else nothing, as on Windows without a
// debugger.
#include "winapi/debugapi.h"

#include "text_internal.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void debug_output(const char* text, size_t length) {
    if (!getenv("KTW_DEBUG_OUTPUT")) {
        return;
    }
    // One write per text, so texts from several threads do not interleave.
    fwrite(text, 1, length, stderr);
    fflush(stderr);
}

}  // namespace

void WINAPI OutputDebugStringA(LPCSTR text) {
    if (text) {
        // The text is in the ANSI code page; standard error takes UTF-8.
        std::string utf8 = winapi_internal::utf16_to_utf8(winapi_internal::ansi_to_utf16(text).c_str());
        debug_output(utf8.data(), utf8.size());
    }
}

void WINAPI OutputDebugStringW(LPCWSTR text) {
    if (text) {
        std::string utf8 = winapi_internal::utf16_to_utf8(text);
        debug_output(utf8.data(), utf8.size());
    }
}

BOOL WINAPI IsDebuggerPresent() {
    return FALSE;
}

void WINAPI DebugBreak() {
    raise(SIGTRAP);
}
