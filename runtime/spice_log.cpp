#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "runtime/log.h"
#include "runtime/utils.h"
#include "winapi/windows.h"

namespace {

const char* const SPICE_LEVEL_WORDS[] = {"ERROR", "CRITICAL", "Warning", "Info", "Debug"};

// Fixed at the first line of the process.
int spice_debug_level = -1;
std::atomic<int> spice_abort_level{-1};
std::once_flag spice_levels_read;

void read_spice_levels() {
    const char* debug = getenv("SPICE_DEBUG_LEVEL");
    spice_debug_level = debug ? atoi(debug) : SPICE_LOG_LEVEL_WARNING;
    const char* abort_level = getenv("SPICE_ABORT_LEVEL");
    spice_abort_level = abort_level ? atoi(abort_level) : SPICE_LOG_LEVEL_CRITICAL;
}

std::atomic<bool> canvas_trace_on{false};

// The program's own file, which names it at the start of each line: the environment's "_" is only what the
// shell ran last, a wrapper such as timeout when there is one.
const std::string& program_name() {
    static const std::string name = [] {
        char path[MAX_PATH * 4];
        DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
        return n > 0 && n < sizeof(path) ? std::string(path, n) : std::string();
    }();
    return name;
}

}  // namespace

void spice_log(const char* domain, int level, const char* position, const char* function, const char* format,
               ...) {
    va_list args;
    va_start(args, format);
    spice_logv(domain, level, position, function, format, args);
    va_end(args);
}

void spice_logv(const char* domain, int level, const char* position, const char* function, const char* format,
                va_list args) {
    std::call_once(spice_levels_read, read_spice_levels);
    if (spice_debug_level < level) {
        return;
    }

    // Built whole and written with one call, so lines of different threads do not mix.
    std::string line;
    format_string(line, "(%s:%d): ", program_name().c_str(), static_cast<int>(GetCurrentProcessId()));
    std::string part;
    if (domain) {
        format_string(part, "%s-", domain);
        line += part;
    }
    if (level >= 0 && level <= SPICE_LOG_LEVEL_DEBUG) {
        format_string(part, "%s **: ", SPICE_LEVEL_WORDS[level]);
        line += part;
    }
    if (position && function) {
        format_string(part, "%s:%s: ", position, function);
        line += part;
    }
    if (format) {
        format_string_va(part, format, args);
        line += part;
    }
    line += '\n';
    fputs(line.c_str(), stderr);

    const int abort_level = spice_abort_level.load();
    if (abort_level != -1 && abort_level >= level) {
        abort();
    }
}

int spice_log_swap_abort_level(int level) {
    std::call_once(spice_levels_read, read_spice_levels);
    return spice_abort_level.exchange(level);
}

void canvas_debug_trace(const char* format, ...) {
    if (!canvas_trace_on.load(std::memory_order_relaxed)) {
        return;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (length >= 0) {
        OutputDebugStringA(text);
    }
}

void set_canvas_debug_trace(bool on) {
    canvas_trace_on.store(on, std::memory_order_relaxed);
}

bool canvas_debug_trace_enabled() {
    return canvas_trace_on.load(std::memory_order_relaxed);
}
