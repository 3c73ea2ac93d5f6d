#include "platform/layer_cursor.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "runtime/log.h"

namespace {

PluginHwCursorProc plugin_cursor = nullptr;  // main thread only

// A top-down 32-bit DIB section.
HBITMAP create_bitmap(int width, int height, uint32_t** bits) {
    BITMAPINFO info;
    std::memset(&info, 0, sizeof(info));
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* pixels = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    *bits = static_cast<uint32_t*>(pixels);
    return bitmap;
}

RECT virtual_screen() {
    int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    int top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    return {left, top, left + GetSystemMetrics(SM_CXVIRTUALSCREEN),
            top + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

}  // namespace

void cad_trace(const char* function, int line, const char* format, ...) {
    char text[260];
    int prefix = std::snprintf(text, sizeof(text), "ktwsession:[P:%d][T:%d]-[%s|%d] ",
                               (int)GetCurrentProcessId(), (int)GetCurrentThreadId(), function, line);
    if (prefix >= 0 && static_cast<size_t>(prefix) < sizeof(text)) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(text + prefix, sizeof(text) - static_cast<size_t>(prefix), format, args);
        va_end(args);
    }
    OutputDebugStringA(text);
}

void set_cad_plugin_cursor(PluginHwCursorProc proc) {
    plugin_cursor = proc;
}

CLayerCursor::~CLayerCursor() {
    if (_hwnd) {
        Destroy();
    }
}

const WCHAR* CLayerCursor::GetClassName() {
    return u"CLayerCursor";
}

std::u16string CLayerCursor::GetWindowName() {
    char name[64];
    std::snprintf(name, sizeof(name), "layerwindow_%x",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    return std::u16string(name, name + std::strlen(name));
}

bool CLayerCursor::Create(HINSTANCE instance, HWND parent) {
    WNDCLASSW window_class;
    std::memset(&window_class, 0, sizeof(window_class));
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    window_class.lpszClassName = GetClassName();
    RegisterClassW(&window_class);  // a second registration fails harmlessly

    std::u16string name = GetWindowName();
    HWND hwnd = CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TRANSPARENT, GetClassName(),
                                name.c_str(), WS_POPUP, 0, 0, 0, 0, parent, nullptr, instance, this);
    if (!hwnd) {
        LOG_WARN("create window failed %d", (int)GetLastError());
        return false;
    }
    if (!_hwnd) {  // no WM_NCCREATE came
        _hwnd = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    if (!_window_dc) {
        OnCreate();
    }
    // Windows shows a layered window empty until its first picture; here it gets an empty one now.
    _key = 0xFFFF;
    if (_memory_dc && (_bitmap = create_bitmap(1, 1, &_bits)) != nullptr) {
        _old_bitmap = SelectObject(_memory_dc, _bitmap);
        _bitmap_rect = {0, 0, 1, 1};
        _bits[0] = cad_pixel_of(_key);
        POINT origin{0, 0};
        SIZE size{1, 1};
        UpdateLayeredWindow(_hwnd, _window_dc, &origin, &size, _memory_dc, &origin, _key, nullptr,
                            ULW_COLORKEY);
    }
    _last_report = GetTickCount();
    CAD_TRACE("create window suc %x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(hwnd)));
    return true;
}

LRESULT CALLBACK CLayerCursor::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CLayerCursor* cursor;
    if (message == WM_NCCREATE) {
        cursor = static_cast<CLayerCursor*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cursor));
        cursor->_hwnd = hwnd;
    } else {
        cursor = reinterpret_cast<CLayerCursor*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (cursor) {
        cursor->OnMessage(message, wParam, lParam);
    }
    if (message == WM_CLOSE) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    } else if (message == WM_DESTROY) {
        CAD_TRACE("destroy window");
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CLayerCursor::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate();
            break;
        case WM_CLOSE:
            OnDestroy();
            break;
        case WM_TIMER:
            if (wParam != 0) {
                break;
            }
            ++_timer_calls;
            if (_pending) {
                UpdateInner();
                _skipped += _pending - 1;
                _pending = 0;
            } else {
                KillTimer(_hwnd, 0);
                _active = false;
            }
            break;
        case WM_LAYER_CURSOR_REDRAW:
            UpdateInner();
            break;
        default:
            break;
    }
    return 0;
}

void CLayerCursor::OnCreate() {
    CAD_TRACE("create dc");
    _window_dc = GetDC(_hwnd);
    _memory_dc = CreateCompatibleDC(_window_dc);
}

void CLayerCursor::OnDestroy() {
    release_bitmap();
    if (_memory_dc) {
        DeleteDC(_memory_dc);
        _memory_dc = nullptr;
    }
    if (_window_dc) {
        ReleaseDC(_hwnd, _window_dc);
        _window_dc = nullptr;
    }
}

void CLayerCursor::release_bitmap() {
    if (_bitmap) {
        SelectObject(_memory_dc, _old_bitmap);
        DeleteObject(_bitmap);
        _bitmap = nullptr;
        _bits = nullptr;
    }
}

void CLayerCursor::Destroy() {
    if (_hwnd) {
        SendMessageW(_hwnd, WM_CLOSE, 0, 0);
        _hwnd = nullptr;
    }
}

bool CLayerCursor::IsCreated() {
    return _hwnd != nullptr;
}

bool CLayerCursor::IsVisible() {
    return _hwnd && IsWindowVisible(_hwnd);
}

void CLayerCursor::Show() {
    // Not activated: the session window keeps the keyboard.
    ShowWindow(_hwnd, SW_SHOWNOACTIVATE);
}

void CLayerCursor::make_layered() {
    LONG style = GetWindowLongW(_hwnd, GWL_EXSTYLE);
    if (!(style & WS_EX_LAYERED)) {
        SetWindowLongW(_hwnd, GWL_EXSTYLE, style | WS_EX_LAYERED);
    }
}

void CLayerCursor::Update(const CadCursorData& data) {
    _data = data;
    if (!_active) {
        ++_updates;
        _active = true;
        UpdateInner();
        SetTimer(_hwnd, 0, kLayerCursorTickMs, nullptr);
        return;
    }
    if (_pending > kLayerCursorMaxPending) {
        _pending = 0;
    }
    ++_queued;
    ++_pending;
}

void CLayerCursor::UpdateInner() {
    POINT point{};
    if (!GetCursorPos(&point)) {
        return;
    }
    const RECT area = cad_area(_data);
    const RECT box = cad_cursor_box(_data, point);
    RECT shown;
    // Only the part of the box inside the area shows, and never more than the screen holds.
    if (!intersect_rect(box, area, &shown) || !intersect_rect(shown, virtual_screen(), &shown)) {
        CAD_TRACE(
            "acad(%d %d %d %d),curpt(%d %d),hot(%d %d) show(%d %d %d %d) cursor(%d %d %d %d) actual cursor "
            "%d "
            "%d %d %d\n",
            (int)area.left, (int)area.top, (int)area.right, (int)area.bottom, (int)point.x, (int)point.y, 0,
            0, (int)area.left, (int)area.top, (int)area.right, (int)area.bottom, (int)box.left, (int)box.top,
            (int)box.right, (int)box.bottom, (int)shown.left, (int)shown.top, (int)shown.right,
            (int)shown.bottom);
        return;
    }
    const int width = shown.right - shown.left;
    const int height = shown.bottom - shown.top;
    release_bitmap();
    _bitmap = create_bitmap(width, height, &_bits);
    if (!_bitmap) {
        LOG_WARN("create bitmap failed %d", (int)GetLastError());
        return;
    }
    _old_bitmap = SelectObject(_memory_dc, _bitmap);
    _bitmap_rect = shown;
    // The key is the one colour left out of the window; a cursor of that very colour gets another key.
    _key = _data.color == 0xFFFF ? 0x1FFFF : 0xFFFF;
    CadCanvas canvas{_bits, width, height};
    cad_fill(canvas, cad_pixel_of(_key));
    draw_cad_layer(canvas, _data, point.x - shown.left, point.y - shown.top, cad_pixel_of(_data.color));

    make_layered();
    if (!IsWindowVisible(_hwnd)) {
        CAD_TRACE("windows not visible");
        return;
    }
    ++_redraws;
    DWORD now = GetTickCount();
    if (now - _last_report >= 1000) {
        CAD_TRACE("redraw %d times use %d update %d insert %d ignore %d call %d", _redraws,
                  (int)(now - _last_report), _updates, _queued, _skipped, _timer_calls);
        _redraws = _updates = _queued = _skipped = _timer_calls = 0;
        _last_report = now;
    }
    POINT position{shown.left, shown.top};
    SIZE size{width, height};
    POINT origin{0, 0};
    if (!UpdateLayeredWindow(_hwnd, _window_dc, &position, &size, _memory_dc, &origin, _key, nullptr,
                             ULW_COLORKEY)) {
        LOG_WARN("update layered window failed %d", (int)GetLastError());
    }
}

void CLayerCursor::Hide() {
    if (_bitmap) {
        CadCanvas canvas{_bits, _bitmap_rect.right - _bitmap_rect.left,
                         _bitmap_rect.bottom - _bitmap_rect.top};
        cad_fill(canvas, cad_pixel_of(_key));
        make_layered();
        RECT rect{};
        GetWindowRect(_hwnd, &rect);
        POINT position{rect.left, rect.top};
        SIZE size{canvas.width, canvas.height};
        POINT origin{0, 0};
        if (!UpdateLayeredWindow(_hwnd, _window_dc, &position, &size, _memory_dc, &origin, _key, nullptr,
                                 ULW_COLORKEY)) {
            LOG_WARN("update layered window failed %d", (int)GetLastError());
        }
    }
    ShowWindow(_hwnd, SW_HIDE);
}

CLayerCursorEx::~CLayerCursorEx() {}

void CLayerCursorEx::Update(const CadCursorData& data) {
    PluginCursorRecord record{sizeof(PluginCursorRecord), 0, 0, {}};
    serialize_cad_cursor_data(data, record.data);
    if (plugin_cursor && plugin_cursor(&record)) {
        _plugin_data = data;
        _plugin_mode = true;
        return;
    }
    _plugin_mode = false;
    if (!IsWindowVisible(_hwnd)) {
        LOG_INFO("try update use d3d failed retry use layer cursor");
        CLayerCursor::Show();
    }
    CLayerCursor::Update(data);
}

void CLayerCursorEx::Show() {
    if (_plugin_mode) {
        _plugin_visible = true;
    } else {
        CLayerCursor::Show();
    }
}

void CLayerCursorEx::Hide() {
    if (!_plugin_mode) {
        CLayerCursor::Hide();
        return;
    }
    if (plugin_cursor) {
        PluginCursorRecord record{sizeof(PluginCursorRecord), 0, 1, {}};
        serialize_cad_cursor_data(_plugin_data, record.data);
        plugin_cursor(&record);
    }
    _plugin_visible = false;
}

bool CLayerCursorEx::IsVisible() {
    return _plugin_mode ? _plugin_visible : CLayerCursor::IsVisible();
}
