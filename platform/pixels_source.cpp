#include "platform/pixels_source.h"

#include "platform/platform_utils.h"
#include "runtime/threads.h"

namespace {

const int ALPHA_IMAGE_RES_ID = 104;

}  // namespace

PixelsSource::PixelsSource() : _origin{0, 0}, _platform{NULL, NULL, NULL} {}

PixelsSource::~PixelsSource() {
    delete _platform.lock;
}

AlphaImageFromRes::AlphaImageFromRes() {
    _platform.lock = new RecurciveMutex();
    _platform.dc = create_compatible_dc();
    HGDIOBJ bitmap = NULL;
    try {
        bitmap = get_alpha_bitmap_res(ALPHA_IMAGE_RES_ID);
    } catch (...) {
        release_dc(&_platform.dc);
        throw;
    }
    _platform.prev_bitmap = (HBITMAP)SelectObject(_platform.dc, bitmap);
}

AlphaImageFromRes::~AlphaImageFromRes() {
    HGDIOBJ image = SelectObject(_platform.dc, _platform.prev_bitmap);
    delete_gdi_object(&image);
    release_dc(&_platform.dc);
}

SIZE AlphaImageFromRes::get_size() {
    Lock lock(*_platform.lock);
    BITMAP info;
    SIZE size = {0, 0};
    if (GetObjectW(GetCurrentObject(_platform.dc, OBJ_BITMAP), sizeof(info), &info) == (int)sizeof(info)) {
        size.cx = info.bmWidth;
        size.cy = info.bmHeight;
    }
    return size;
}

WatermarkSource::WatermarkSource() : _window(NULL) {
    _platform.lock = new RecurciveMutex();
}

SIZE WatermarkSource::get_size() {
    SIZE size = {0, 0};
    RECT client;
    if (_window && IsWindow(_window) && GetClientRect(_window, &client)) {
        size.cx = client.right - client.left;
        size.cy = client.bottom - client.top;
    }
    return size;
}
