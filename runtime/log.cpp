#include "runtime/log.h"

#include <atomic>
#include <cinttypes>
#include <mutex>
#include <string>
#include <time.h>

#include "runtime/utils.h"
#include "winapi/windows.h"

namespace {

const char* const LEVEL_FILE_WORDS[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
const char* const LEVEL_STDERR_WORDS[] = {"Debug", "Info", "Warning", "Error", "Fatal error"};
const char* const PROGRAM_TAG = "KTWSession";

// Set before the worker threads start (Application::main), read by every thread.
std::atomic<unsigned> log_threshold{LOG_LEVEL_INFO};

// Guards log_file: a line is never written to a stream that log_close is closing.
std::mutex log_file_lock;
FILE* log_file = nullptr;

uint64_t process_id() {
    static const uint64_t pid = GetCurrentProcessId();
    return pid;
}

}  // namespace

void write_log(unsigned level, const char* function, unsigned line, const char* format, ...) {
    if (level < log_threshold.load(std::memory_order_relaxed)) {
        return;
    }

    std::string message;
    va_list ap;
    va_start(ap, format);
    format_string_va(message, format, ap);
    va_end(ap);

    unsigned word = level < LOG_LEVEL_FATAL ? level : LOG_LEVEL_FATAL;
    std::string name = qualified_function_name(function);
    {
        std::lock_guard<std::mutex> guard(log_file_lock);
        if (log_file) {
            uint64_t pid = process_id();
            uint64_t tid = GetCurrentThreadId();
            time_t now = time(nullptr);
            struct tm local;
            if (localtime_r(&now, &local)) {
                fprintf(log_file,
                        "%d-%02d-%02d %02d:%02d:%02d [%5" PRIu64 ":%5" PRIu64
                        "] [%-5s] [VDI]%s: %s {%s:%u}\n",
                        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                        local.tm_sec, pid, tid, LEVEL_FILE_WORDS[word], PROGRAM_TAG, message.c_str(),
                        name.c_str(), line);
            } else {
                fprintf(log_file, "%" PRId64 " [%5" PRIu64 ":%5" PRIu64 "] [%-5s] [VDI]%s: %s {%s:%u}\n",
                        static_cast<int64_t>(now), pid, tid, LEVEL_FILE_WORDS[word], PROGRAM_TAG,
                        message.c_str(), name.c_str(), line);
            }
            fflush(log_file);
        }
    }
    if (level >= LOG_LEVEL_WARN) {
        fprintf(stderr, "%s: %s\n", LEVEL_STDERR_WORDS[word], message.c_str());
    }
}

void log_set_threshold(unsigned level) {
    log_threshold.store(level, std::memory_order_relaxed);
}

void log_set_file(FILE* file) {
    std::lock_guard<std::mutex> guard(log_file_lock);
    if (log_file && log_file != file) {
        fclose(log_file);
    }
    log_file = file;
}

bool log_file_is_open() {
    std::lock_guard<std::mutex> guard(log_file_lock);
    return log_file != nullptr;
}

void log_close() {
    log_set_file(nullptr);
}
