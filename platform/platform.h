// The process-wide face of the system for the rest of the client: the hidden platform window on the main
// thread, the listeners that hear what reaches it, and stateless services.
#pragma once

#include "platform/audio.h"
#include "platform/clipboard.h"
#include "runtime/event_sources.h"
#include "winapi/windows.h"

#include <cstdint>
#include <string>

#include <list>

class TimersQueue;
class Monitor;
class LocalCursor;
struct GuestCursorShape;
typedef std::list<Monitor*> MonitorsList;

class Platform {
public:
    class EventListener {
    public:
        virtual ~EventListener() {}
        virtual void on_app_activated() = 0;
        virtual void on_app_deactivated() = 0;
        virtual void on_monitors_change() = 0;
    };

    typedef ::ClipboardListener ClipboardListener;

    // What a recorder reaches of its record channel. The recorder is made and used on the channel's thread;
    // its trigger joins the channel's loop there and fires from the capture device's thread.
    class RecordClient {
    public:
        virtual ~RecordClient() {}
        virtual void add_event_source(EventSources::Trigger& trigger) = 0;
        virtual void remove_event_source(EventSources::Trigger& trigger) = 0;
        // One whole frame of captured sound; the channel's thread.
        virtual void push_frame(const uint8_t* frame, uint32_t size) = 0;
    };

    // The default output device for frames of frame_samples samples of 16 bits on each channel. A device
    // that cannot be opened is retried at each write. Throws Exception for a rate or frame size the ring
    // cannot hold.
    static WavePlaybackAbstract* create_player(uint32_t samples_per_sec, uint32_t channels,
                                               uint32_t frame_samples);
    // The default capture device, handing frames of frame_samples samples to client. Throws Exception when
    // the device cannot be opened or the rate gives no capture buffer.
    static WaveRecordAbstract* create_recorder(RecordClient& client, uint32_t samples_per_sec,
                                               uint32_t channels, uint32_t frame_samples);

    // Main thread, once, before the main loop runs: registers the platform window's class, creates the
    // window, the clipboard event and the clipboard bridge that renders on the window. main_timers is the
    // main loop's timers queue, which the window runs while a modal loop blocks the main loop. Throws on
    // failure.
    static void create_message_wind(TimersQueue& main_timers);
    static HWND platform_window();
    // An auto-reset event that releases a waiting clipboard render.
    static HANDLE clipboard_event();
    // The clipboard bridge; exists from create_message_wind on.
    static PlatformClipboard& clipboard();

    // Null puts back a listener that does nothing, so a late message never reaches a destroyed object.
    static void set_event_listener(EventListener* listener);
    // Any thread; kept for the clipboard bridge when it does not exist yet.
    static void set_clipboard_listener(ClipboardListener* listener);

    // The user's roaming application-data folder with name below it, created when missing.
    // Throws Exception when the folder cannot be found or created.
    static std::string app_data_folder(const std::string& name);
    static uint64_t get_process_id();
    // 1 (time critical) to 7 (idle), for the calling thread; throws for any other value.
    static void set_thread_priority(int priority);
    // Bits of the modifier keys held down: left/right Shift 1/2, left/right Ctrl 4/8, left/right Alt 16/32.
    static uint32_t get_keyboard_modifiers();
    // One ICMP echo to the host (dotted address or name): true with the round trip in milliseconds (a random
    // value below 1 when it measured 0), false with 100000 on any failure.
    static bool get_icmp_ping(const char* host, double* round_trip_ms);
    // Whether the Direct3D 9 hardware device does transform and lighting; there is no such device here.
    static bool is_d3d9_hw_tnl();

    static void open_console();
    static void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // Monitors (platform/monitor.h). init_monitors: the display devices attached to the desktop and not
    // mirroring, in enumeration order, each a WinMonitor with the next id; the device flagged primary becomes
    // the primary monitor. Called once at start on the main thread; the list lives until destroy_monitors,
    // which deletes the monitors (restoring changed modes).
    static const MonitorsList& init_monitors();
    static void destroy_monitors();
    // The list init_monitors built (empty before it ran), without enumerating again.
    static const MonitorsList& current_monitors();
    // The primary monitor, or null when no device is flagged primary.
    static Monitor* primary_monitor();
    // The devices attached to the desktop and not mirroring.
    static int count_display_devices();
    // Display-mode changes this client has in progress; display-change notices are ignored while it is not 0.
    static int display_mode_changes();

    // Local cursors (platform/local_cursor.h): type 7 gives the shared CAD cursor, every other type a new
    // WinLocalCursor; the default cursor is the arrow.
    static LocalCursor* create_local_cursor(const GuestCursorShape& shape);
    static LocalCursor* create_default_cursor();
    // At exit: closes every layered cursor window, deletes the bitmaps and the hardware cursor of the CAD
    // cursor, and drops its shared reference.
    static void destroy_cad_cursor();
};

// The modal-loop timer: while a window's move, size or menu loop blocks the main loop, the platform window
// runs the main loop's timers. Main thread.
class WinPlatform {
public:
    static void enter_modal_loop();
    static void exit_modal_loop();
};
