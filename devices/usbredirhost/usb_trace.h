#pragma once

// The USB trace log: one line per message, "\n[module][function][VDI][L] text", written to standard error
// when the level is at least VORANTH_USB_DEBUG (default 2, values above 3 count as 3).
enum UsbTraceLevel { USB_TRACE_D = 1, USB_TRACE_I = 2, USB_TRACE_W = 3, USB_TRACE_E = 4 };

void usb_trace(const char* module, const char* function, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Receives every trace line that passes the level filter as well (tests look at what was logged); none by
// default.
typedef void (*UsbTraceSink)(void* opaque, const char* module, const char* function, int level,
                             const char* text);
void usb_trace_set_sink(UsbTraceSink sink, void* opaque);

// Standard error output on or off (fuzzers turn it off); the sink still sees every line.
void usb_trace_set_output(bool enabled);

#define USBHOST_TRACE(level, ...) usb_trace("UsbHOST", __func__, (level), __VA_ARGS__)
