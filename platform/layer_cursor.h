// The CAD cursor drawn in a layered, click-through pop-up window that follows the pointer, for cursors too
// large for a hardware cursor or crossing the edge of their area. Main thread only.
#pragma once

#include <cstdint>
#include <string>

#include "platform/cad_cursor_shape.h"

// Redraws the layered cursor at once (posted or sent to its window).
#define WM_LAYER_CURSOR_REDRAW 2024
// Pending redraws are dropped beyond this many.
constexpr unsigned kLayerCursorMaxPending = 200;
constexpr UINT kLayerCursorTickMs = 15;

// Every drawing step's debugger trace: "ktwsession:[P:%d][T:%d]-[%s|%d] " and the text, at most 259
// characters.
void cad_trace(const char* function, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
#define CAD_TRACE(...) cad_trace(__func__, __LINE__, __VA_ARGS__)

class CLayerCursor {
public:
    CLayerCursor() = default;
    virtual ~CLayerCursor();
    CLayerCursor(const CLayerCursor&) = delete;
    CLayerCursor& operator=(const CLayerCursor&) = delete;

    // Creates the hidden window, owned by parent.
    virtual bool Create(HINSTANCE instance, HWND parent);
    // Draws the cursor for the data at once when idle; otherwise queues a redraw for the next 15 ms tick.
    virtual void Update(const CadCursorData& data);
    virtual void Show();
    virtual void Hide();
    // Closes the window.
    virtual void Destroy();
    virtual void UpdateInner();
    virtual bool IsCreated();
    virtual bool IsVisible();
    virtual void OnCreate();
    virtual void OnDestroy();
    virtual const WCHAR* GetClassName();
    virtual std::u16string GetWindowName();
    virtual LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

    HWND window() const { return _hwnd; }
    // Counters since the last statistics trace.
    unsigned redraws() const { return _redraws; }
    unsigned updates() const { return _updates; }
    unsigned queued() const { return _queued; }
    unsigned skipped() const { return _skipped; }
    unsigned timer_calls() const { return _timer_calls; }
    unsigned pending() const { return _pending; }

protected:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void make_layered();
    void release_bitmap();

    HWND _hwnd = nullptr;
    HDC _window_dc = nullptr;
    HDC _memory_dc = nullptr;
    HBITMAP _bitmap = nullptr;
    HGDIOBJ _old_bitmap = nullptr;
    uint32_t* _bits = nullptr;  // the bitmap's pixels
    RECT _bitmap_rect{};        // where the bitmap shows, screen coordinates
    COLORREF _key = 0;          // the bitmap's transparent colour
    unsigned _pending = 0;
    bool _active = false;
    CadCursorData _data{};
    unsigned _updates = 0;
    unsigned _queued = 0;
    unsigned _skipped = 0;
    unsigned _timer_calls = 0;
    unsigned _redraws = 0;
    DWORD _last_report = 0;
};

// The 3D plug-in's cursor record: size 36, 0, action (0 draw or move, 1 hide), the 24 data bytes.
struct PluginCursorRecord {
    uint32_t size;
    uint32_t zero;
    uint32_t action;
    uint8_t data[24];
};
static_assert(sizeof(PluginCursorRecord) == 36, "the plug-in reads 36 bytes");
// The plug-in's entry: non-zero when the plug-in draws the cursor itself.
typedef int (*PluginHwCursorProc)(PluginCursorRecord* record);
// Set by the 3D plug-in wrapper once the plug-in is loaded; null while there is none.
void set_cad_plugin_cursor(PluginHwCursorProc proc);

class CLayerCursorEx : public CLayerCursor {
public:
    ~CLayerCursorEx() override;
    void Update(const CadCursorData& data) override;
    void Show() override;
    void Hide() override;
    bool IsVisible() override;

    bool plugin_mode() const { return _plugin_mode; }

private:
    CadCursorData _plugin_data{};
    bool _plugin_mode = false;
    bool _plugin_visible = false;
};
