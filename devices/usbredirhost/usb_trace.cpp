#include "devices/usbredirhost/usb_trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex sink_lock;
UsbTraceSink trace_sink;
void* trace_sink_opaque;
std::atomic<bool> output_enabled{true};

int threshold() {
    static const int value = [] {
        const char* text = getenv("VORANTH_USB_DEBUG");
        int level = text ? atoi(text) : 2;
        return level > 3 ? 3 : level;
    }();
    return value;
}

}  // namespace

void usb_trace_set_output(bool enabled) {
    output_enabled = enabled;
}

void usb_trace_set_sink(UsbTraceSink sink, void* opaque) {
    std::lock_guard<std::mutex> guard(sink_lock);
    trace_sink = sink;
    trace_sink_opaque = opaque;
}

void usb_trace(const char* module, const char* function, int level, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    {
        std::lock_guard<std::mutex> guard(sink_lock);
        if (trace_sink) {
            trace_sink(trace_sink_opaque, module, function, level, text);
        }
    }
    if (level < threshold() || !output_enabled) {
        return;
    }
    static const char letters[] = "?DIWE";
    fprintf(stderr, "\n[%s][%s][VDI][%c] %s", module, function, letters[level >= 1 && level <= 4 ? level : 0],
            text);
}
