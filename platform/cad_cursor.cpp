#include "platform/cad_cursor.h"
#include "platform/platform.h"

#include <cstring>
#include <map>
#include <mutex>

#include "runtime/log.h"

namespace {

// The process's CAD cursor state. Built on the thread that receives the cursor and read on the main thread,
// hence the lock; the layered cursors are the main thread's alone.
struct CadState {
    std::mutex lock;
    CadCursorData last{};                    // guarded by lock: the data the bitmaps were drawn for
    HBITMAP color = nullptr;                 // guarded by lock
    HBITMAP mask = nullptr;                  // guarded by lock
    HCURSOR cursor = nullptr;                // guarded by lock: the hardware cursor
    WinACADCursor* shared = nullptr;         // guarded by lock
    std::map<HWND, CLayerCursorEx*> layers;  // main thread only
};

CadState& cad() {
    static CadState state;
    return state;
}

// A square 32-bit DIB section drawn by draw_cad_bitmap.
HBITMAP draw_acad_bitmap(const CadCursorData& data, uint32_t background, uint32_t line) {
    const int size = cad_bitmap_size(data);
    BITMAPINFO info;
    std::memset(&info, 0, sizeof(info));
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = size;
    info.bmiHeader.biHeight = -size;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap) {
        draw_cad_bitmap(CadCanvas{static_cast<uint32_t*>(bits), size, size}, data, background, line);
    }
    return bitmap;
}

// Called with the state locked.
void create_full_cursor(CadState& state, const CadCursorData& data) {
    if (data == state.last) {
        return;
    }
    LOG_INFO("update acad cursor, color 0x%x, pickbox_size %u, cursor_size %u, (%u, %u, %u, %u)", data.color,
             data.pick_box, data.cross, data.area_left, data.area_top, data.area_right, data.area_bottom);
    if (state.color) {
        DeleteObject(state.color);
        state.color = nullptr;
    }
    if (state.mask) {
        DeleteObject(state.mask);
        state.mask = nullptr;
    }
    state.last = data;
    // The bitmaps serve only the hardware cursor, so a box too large for one (a pick box may be up to 65535
    // pixels) is never drawn, and no older hardware cursor stays in its place.
    const int size = cad_bitmap_size(data);
    if (size == 0 || size > kCadHardwareCursorMax) {
        if (state.cursor) {
            DestroyCursor(state.cursor);
            state.cursor = nullptr;
        }
        return;
    }
    state.color = draw_acad_bitmap(data, 0x000000, cad_pixel_of(data.color));
    state.mask = draw_acad_bitmap(data, 0xFFFFFF, 0x000000);
    if (state.cursor) {
        DestroyCursor(state.cursor);
        state.cursor = nullptr;
    }
    if (!state.color || !state.mask) {
        LOG_WARN("create icon failed %d", (int)GetLastError());
        return;
    }
    const DWORD hot = static_cast<DWORD>(cad_half_size(data));
    ICONINFO info = {FALSE, hot, hot, state.mask, state.color};
    state.cursor = CreateIconIndirect(&info);
    if (!state.cursor) {
        LOG_WARN("create icon failed %d", (int)GetLastError());
    }
}

CLayerCursorEx* get_layer_cursor(HWND window) {
    CadState& state = cad();
    auto found = state.layers.find(window);
    if (found != state.layers.end()) {
        return found->second;
    }
    CLayerCursorEx* layer = new CLayerCursorEx();
    if (!layer->Create(GetModuleHandleW(nullptr), window)) {
        LOG_WARN("create layercursor window failed");
        delete layer;
        return nullptr;
    }
    layer->Show();
    CAD_TRACE("add new layer cursor %x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(window)));
    state.layers[window] = layer;
    return layer;
}

HCURSOR update_cursor(HWND window, POINT point) {
    if (!window) {
        LOG_WARN("error param");
        return nullptr;
    }
    CLayerCursorEx* layer = get_layer_cursor(window);
    if (!layer) {
        LOG_WARN("get layer cursor failed");
        return nullptr;
    }
    CadState& state = cad();
    HCURSOR hardware;
    CadCursorData data;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        hardware = state.cursor;
        data = state.last;
    }
    if (!hardware || !cad_hardware_cursor_fits(data, point)) {
        if (!layer->IsVisible()) {
            for (int i = 0; i < 1000 && ShowCursor(FALSE) >= 0; ++i) {
            }
            CAD_TRACE("show layer cursor window");
            layer->Show();
        }
        layer->Update(data);
        return nullptr;
    }
    if (!layer->IsVisible()) {
        return hardware;
    }
    SetCursor(hardware);
    for (int i = 0; i < 1000 && ShowCursor(TRUE) < 0; ++i) {
    }
    CAD_TRACE("use hard cursor hide layer cursor");
    layer->Hide();
    return hardware;
}

}  // namespace

void WinACADCursor::Update(const GuestCursorShape& shape) {
    CadCursorData data;
    if (shape.type != GUEST_CURSOR_CAD || !parse_cad_cursor_data(shape.data, shape.data_size, &data)) {
        LOG_WARN("error acad data");
        _handle = LoadCursorW(nullptr, IDC_ARROW);
        return;
    }
    std::lock_guard<std::mutex> guard(cad().lock);
    _data = data;
    create_full_cursor(cad(), data);
}

void WinACADCursor::set(HWND window) {
    POINT point{};
    GetCursorPos(&point);
    SetCursor(update_cursor(window, point));
}

void WinACADCursor::hide(HWND window) {
    CAD_TRACE("cursor hide %x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(window)));
    if (window) {
        if (CLayerCursorEx* layer = get_layer_cursor(window)) {
            layer->Hide();
        }
    }
}

LocalCursor* create_cad_cursor(const GuestCursorShape& shape) {
    CadState& state = cad();
    WinACADCursor* cursor;
    bool created = false;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.shared) {
            // One reference for the caller, one the process keeps until exit.
            state.shared = new WinACADCursor();
            state.shared->ref();
            created = true;
        } else {
            state.shared->ref();
        }
        cursor = state.shared;
    }
    cursor->Update(shape);
    if (created) {
        LOG_INFO("create acad cursor %x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(cursor)));
    }
    return cursor;
}

void Platform::destroy_cad_cursor() {
    CadState& state = cad();
    for (auto& entry : state.layers) {
        entry.second->Destroy();
        delete entry.second;
    }
    state.layers.clear();
    WinACADCursor* shared;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.color) {
            DeleteObject(state.color);
        }
        if (state.mask) {
            DeleteObject(state.mask);
        }
        if (state.cursor) {
            DestroyCursor(state.cursor);
        }
        state.color = state.mask = nullptr;
        state.cursor = nullptr;
        state.last = CadCursorData{};
        shared = state.shared;
        state.shared = nullptr;
    }
    if (shared) {
        shared->unref();
    }
}

HCURSOR cad_hardware_cursor() {
    std::lock_guard<std::mutex> guard(cad().lock);
    return cad().cursor;
}

CLayerCursorEx* cad_layer_cursor_of(HWND window) {
    auto found = cad().layers.find(window);
    return found == cad().layers.end() ? nullptr : found->second;
}
